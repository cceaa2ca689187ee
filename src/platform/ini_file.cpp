#include "platform/ini_file.h"

#include <cstdlib>
#include <mutex>

#include "base/text_codec.h"
#include "platform/paths.h"

namespace dd::platform {
namespace {

constexpr size_t kMaxIniBytes = 1 << 20;  // settings files are small; refuse anything huge
std::mutex g_writeMutex;                  // serialises read-modify-write of INI files

}  // namespace

IniDocument IniDocument::parse(std::string_view text) {
    IniDocument doc;
    doc.m_sections.push_back(Section{});  // keys before any header land in a nameless section
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        std::string_view line = trim(
            text.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos));
        pos = (end == std::string_view::npos) ? text.size() : end + 1;
        if (line.empty() || line.front() == ';' || line.front() == '#') {
            continue;
        }
        if (line.front() == '[') {
            size_t close = line.find(']');
            if (close == std::string_view::npos) {
                continue;
            }
            doc.m_sections.push_back(Section{std::string(trim(line.substr(1, close - 1))), {}});
            continue;
        }
        size_t eq = line.find('=');
        if (eq == std::string_view::npos) {
            continue;
        }
        std::string_view key = trim(line.substr(0, eq));
        if (key.empty()) {
            continue;
        }
        doc.m_sections.back().entries.push_back(
            Entry{std::string(key), std::string(trim(line.substr(eq + 1)))});
    }
    return doc;
}

std::string IniDocument::render() const {
    std::string out;
    for (const Section& section : m_sections) {
        if (section.name.empty() && section.entries.empty()) {
            continue;
        }
        if (!section.name.empty()) {
            out += "[" + section.name + "]\n";
        }
        for (const Entry& entry : section.entries) {
            out += entry.key + "=" + entry.value + "\n";
        }
    }
    return out;
}

std::optional<std::string> IniDocument::get(std::string_view section, std::string_view key) const {
    for (const Section& s : m_sections) {
        if (!equalsIgnoreCase(s.name, section)) {
            continue;
        }
        for (const Entry& e : s.entries) {
            if (equalsIgnoreCase(e.key, key)) {
                return e.value;
            }
        }
    }
    return std::nullopt;
}

bool IniDocument::isSafeName(std::string_view name) {
    // A leading '#' would make the written line a comment: the key would be lost.
    if (name.empty() || trim(name).size() != name.size() || name.front() == '#') {
        return false;
    }
    for (char c : name) {
        if (c == '=' || c == '[' || c == ']' || c == ';' || c == '\r' || c == '\n' || c == '\0') {
            return false;
        }
    }
    return true;
}

bool IniDocument::set(std::string_view section, std::string_view key, std::string_view value) {
    if (!isSafeName(section) || !isSafeName(key) ||
        value.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos) {
        return false;
    }
    for (Section& s : m_sections) {
        if (!equalsIgnoreCase(s.name, section)) {
            continue;
        }
        for (Entry& e : s.entries) {
            if (equalsIgnoreCase(e.key, key)) {
                e.value = std::string(value);
                return true;
            }
        }
        s.entries.push_back(Entry{std::string(key), std::string(value)});
        return true;
    }
    m_sections.push_back(
        Section{std::string(section), {Entry{std::string(key), std::string(value)}}});
    return true;
}

namespace {

void setProblem(std::string* problem, std::string text) {
    if (problem != nullptr) {
        *problem = std::move(text);
    }
}

}  // namespace

std::string readIniString(const std::string& path, std::string_view section, std::string_view key,
                          std::string_view fallback, size_t maxChars, std::string* problem) {
    setProblem(problem, {});
    std::string text;
    FileProblem refusal;
    if (!readFileBounded(path, kMaxIniBytes, text, &refusal)) {
        if (refusal.kind != FileRefusal::Missing) {
            setProblem(problem, "cannot read " + refusal.text + "; using the default for " +
                                    std::string(key));
        }
        return std::string(fallback.substr(0, maxChars));
    }
    std::optional<std::string> value = IniDocument::parse(text).get(section, key);
    std::string result = value ? *value : std::string(fallback);
    if (result.size() > maxChars) {
        result.resize(maxChars);
    }
    return result;
}

int readIniInt(const std::string& path, std::string_view section, std::string_view key,
               int fallback, std::string* problem) {
    std::string text = readIniString(path, section, key, "", 64, problem);
    if (text.empty()) {
        return fallback;
    }
    char* end = nullptr;
    long value = std::strtol(text.c_str(), &end, 10);
    return end == text.c_str() ? fallback : static_cast<int>(value);
}

std::string iniFileSetting(const std::vector<std::string>& files, std::string_view section,
                           std::string_view key) {
    for (const std::string& file : files) {
        std::string text;
        if (readFileBounded(file, kMaxIniBytes, text) &&
            IniDocument::parse(text).get(section, key).has_value()) {
            return file;
        }
    }
    return files.empty() ? std::string() : files.back();
}

bool writeIniString(const std::string& path, std::string_view section, std::string_view key,
                    std::string_view value, std::string* problem) {
    setProblem(problem, {});
    std::lock_guard<std::mutex> lock(g_writeMutex);
    std::string text;
    FileProblem refusal;
    if (!readFileBounded(path, kMaxIniBytes, text, &refusal)) {
        // Only a file that is not there starts empty. One that cannot be
        // read whole would lose its other keys if it were rewritten, and
        // anything but a regular file is not ours to replace.
        if (refusal.kind != FileRefusal::Missing) {
            setProblem(problem, "cannot read " + refusal.text + "; not rewriting it for " +
                                    std::string(key));
            return false;
        }
        text.clear();
    }
    IniDocument doc = IniDocument::parse(text);
    if (!doc.set(section, key, value)) {
        return false;
    }
    if (!writeFileAtomically(path, doc.render(), &refusal)) {
        setProblem(problem, "cannot write " + path + ": " + refusal.text);
        return false;
    }
    return true;
}

}  // namespace dd::platform
