// The parts of CXmlHelper that do not depend on the DOM library: reading
// and writing the files, the retry of a failed save, and XPath quoting.
#include "deviceinfo/xml_helper.h"

#include <thread>

#include "log/log_stream.h"
#include "platform/paths.h"

int CXmlHelper::LoadFromFile(const std::string& path) {
    if (path.empty()) {
        return kInvalidParameter;
    }
    dropDocument();
    m_loaded = false;
    std::string text;
    dd::platform::FileProblem problem;
    if (!dd::platform::readFileBounded(path, kMaxFileBytes, text, &problem)) {
        switch (problem.kind) {
            case dd::platform::FileRefusal::Missing:
                m_loadProblem = LoadProblem::Missing;
                break;
            case dd::platform::FileRefusal::TooLarge:
                m_loadProblem = LoadProblem::Damaged;
                break;
            default:
                m_loadProblem = LoadProblem::Unreadable;
                break;
        }
        m_lastError = problem.text;
        DD_LOG(LOG_DEBUG) << "cannot load " << m_lastError;
        return kOpenFailed;
    }
    return parseLoaded(text);
}

int CXmlHelper::LoadFromText(std::string_view text) {
    dropDocument();
    m_loaded = false;
    if (text.size() > kMaxFileBytes) {
        m_loadProblem = LoadProblem::Damaged;
        m_lastError = "the text is over " + std::to_string(kMaxFileBytes) + " bytes";
        return kOpenFailed;
    }
    return parseLoaded(std::string(text));
}

bool CXmlHelper::SaveXml(const std::string& path) {
    const std::string text = serialize();
    for (int retries = 10;; --retries) {
        dd::platform::FileProblem problem;
        if (dd::platform::writeFileAtomically(path, text, &problem)) {
            return true;
        }
        if (problem.kind == dd::platform::FileRefusal::Link ||
            problem.kind == dd::platform::FileRefusal::NotRegular) {
            // Something that is not our file stands there: waiting changes nothing.
            DD_LOG(LOG_ERR) << "Save XML fail: " << problem.text;
            return false;
        }
        DD_LOG(LOG_DEBUG) << "Save XML fail: " << path << " and will retry after "
                          << static_cast<long>(m_retryPause.count()) << "ms";
        std::this_thread::sleep_for(m_retryPause);
        if (retries <= 0) {
            DD_LOG(LOG_DEBUG) << "Error: SaveXml()";
            return false;
        }
    }
}

void CXmlHelper::ShowXmlError() const {
    if (!m_lastError.empty()) {
        DD_LOG(LOG_DEBUG) << "xml parse error: " << m_lastError;
    }
}

std::string CXmlHelper::xpathLiteral(std::string_view text) {
    if (text.find('\'') == std::string_view::npos) {
        return "'" + std::string(text) + "'";
    }
    if (text.find('"') == std::string_view::npos) {
        return "\"" + std::string(text) + "\"";
    }
    // Both quote kinds: XPath 1.0 has no escape, so glue pieces with concat().
    std::string out = "concat(";
    size_t start = 0;
    bool first = true;
    while (start <= text.size()) {
        size_t quote = text.find('\'', start);
        std::string_view piece = text.substr(
            start, quote == std::string_view::npos ? std::string_view::npos : quote - start);
        if (!first) {
            out += ",";
        }
        out += "'" + std::string(piece) + "'";
        first = false;
        if (quote == std::string_view::npos) {
            break;
        }
        out += ",\"'\"";
        start = quote + 1;
    }
    return out + ")";
}
