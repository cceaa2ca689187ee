#include "deviceinfo/xml_helper.h"

#include <sstream>
#include <thread>

#include "log/log_stream.h"
#include "platform/paths.h"

namespace {

// Developer trace of the helper: kept at debug level, since the callers log
// what a failure means for them.
void xmlTrace(const char* text) {
    DD_LOG(LOG_DEBUG) << text;
}

}  // namespace

pugi::xml_node CXmlHelper::contextOrDocument(pugi::xml_node context) {
    return context ? context : pugi::xml_node(m_document);
}

int CXmlHelper::LoadFromFile(const std::string& path) {
    if (path.empty()) {
        return kInvalidParameter;
    }
    m_document.reset();
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
    pugi::xml_parse_result result = m_document.load_buffer(text.data(), text.size());
    if (result && m_document.document_element()) {
        m_loaded = true;
        m_loadProblem = LoadProblem::None;
        m_lastError.clear();
        return kOk;
    }
    m_loadProblem = LoadProblem::Damaged;
    m_lastError = text.empty() ? std::string("the file is empty") : result.description();
    ShowXmlError();
    m_document.reset();
    return kOpenFailed;
}

void CXmlHelper::CreateDocument(std::string_view rootName) {
    m_document.reset();
    m_document.append_child(pugi::node_declaration).append_attribute("version") = "1.0";
    m_document.append_child(std::string(rootName).c_str());
    m_loaded = true;
}

int CXmlHelper::GetNode(std::string_view xpath, pugi::xml_node& out, pugi::xml_node context) {
    out = pugi::xml_node();
    if (xpath.empty()) {
        return kInvalidParameter;
    }
    try {
        out = contextOrDocument(context).select_node(std::string(xpath).c_str()).node();
        return out ? kOk : kNoMatch;
    } catch (const std::exception&) {
        xmlTrace("Error: GetNode()");
        return kParserError;
    }
}

int CXmlHelper::GetNodeList(std::string_view xpath, pugi::xpath_node_set& out,
                            pugi::xml_node context) {
    out = pugi::xpath_node_set();
    if (xpath.empty()) {
        return kInvalidParameter;
    }
    try {
        out = contextOrDocument(context).select_nodes(std::string(xpath).c_str());
        return kOk;
    } catch (const std::exception&) {
        xmlTrace("Error: GetNodeList()");
        return kParserError;
    }
}

int CXmlHelper::GetNodeAttribeValue(std::string_view xpath, std::string_view name, std::string& out,
                                    pugi::xml_node context) {
    pugi::xml_node node;
    int result = GetNode(xpath, node, context);
    if (result != kOk) {
        if (result == kParserError) {
            xmlTrace("Error: GetNodeAttribeValue()");
        }
        return result;
    }
    pugi::xml_attribute attribute = node.attribute(std::string(name).c_str());
    if (!attribute) {
        return kNoMatch;
    }
    out = attribute.value();
    return kOk;
}

int CXmlHelper::CreateAppendNode(pugi::xml_node parent, std::string_view name,
                                 pugi::xml_node& out) {
    out = pugi::xml_node();
    if (!parent || name.empty()) {
        return kOk;
    }
    out = parent.append_child(std::string(name).c_str());
    if (!out) {
        xmlTrace("Error: CreateAppendNode()");
        return kParserError;
    }
    return kOk;
}

int CXmlHelper::SetNodeAttrib(pugi::xml_node node, std::string_view name, std::string_view value) {
    if (!node || name.empty() || value.empty() || node.type() != pugi::node_element) {
        return kInvalidParameter;
    }
    std::string key(name);
    pugi::xml_attribute attribute = node.attribute(key.c_str());
    if (!attribute) {
        attribute = node.append_attribute(key.c_str());
    }
    if (!attribute || !attribute.set_value(std::string(value).c_str())) {
        xmlTrace("Error: SetNodeAttrib()");
        return kParserError;
    }
    return kOk;
}

bool CXmlHelper::SetNodeText(pugi::xml_node node, std::string_view text) {
    if (!node || HasChildren(node)) {
        return false;
    }
    while (node.first_child()) {
        node.remove_child(node.first_child());
    }
    return node.text().set(std::string(text).c_str());
}

bool CXmlHelper::HasChildren(pugi::xml_node node) const {
    for (pugi::xml_node child : node.children()) {
        if (child.type() == pugi::node_element) {
            return true;
        }
    }
    return false;
}

int CXmlHelper::RemoveAssignNode(pugi::xml_node parent, pugi::xml_node child) {
    if (!parent || !child) {
        return 1;
    }
    return parent.remove_child(child) ? kOk : kParserError;
}

bool CXmlHelper::SaveXml(const std::string& path) {
    std::ostringstream text;
    m_document.save(text, "  ");
    for (int retries = 10;; --retries) {
        dd::platform::FileProblem problem;
        if (dd::platform::writeFileAtomically(path, text.str(), &problem)) {
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
            xmlTrace("Error: SaveXml()");
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
