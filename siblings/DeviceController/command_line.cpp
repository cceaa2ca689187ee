#include "command_line.h"

#include <cstdlib>

namespace devctl {
namespace {

bool parsePort(const std::string& text, uint16_t& port) {
    if (text.empty() || text.size() > 5) {
        return false;
    }
    unsigned value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value == 0 || value > 65535) {
        return false;
    }
    port = static_cast<uint16_t>(value);
    return true;
}

}  // namespace

std::vector<std::string> splitCommandLine(std::string_view text) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    bool quoted = false;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\\' && i + 1 < text.size() && text[i + 1] == '"') {
            word += '"';
            inWord = true;
            ++i;
        } else if (c == '"') {
            quoted = !quoted;
            inWord = true;  // "" is an empty word
        } else if (!quoted && (c == ' ' || c == '\t' || c == '\r' || c == '\n')) {
            if (inWord) {
                words.push_back(std::move(word));
                word.clear();
                inWord = false;
            }
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord) {
        words.push_back(std::move(word));
    }
    return words;
}

bool parseInvocation(std::string_view text, AdbInvocation& invocation) {
    invocation = AdbInvocation{};
    invocation.words = splitCommandLine(text);
    const std::vector<std::string>& words = invocation.words;
    size_t i = 0;
    for (; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (word.empty() || word[0] != '-') {
            break;
        }
        if (word == "-s" || word == "-P" || word == "-t" || word == "-H" || word == "-L") {
            if (i + 1 >= words.size()) {
                return false;
            }
            const std::string& value = words[++i];
            if (word == "-s") {
                invocation.serial = value;
            } else if (word == "-P") {
                if (!parsePort(value, invocation.port)) {
                    return false;
                }
            } else {
                invocation.otherGlobalOptions = true;
            }
        } else {
            invocation.otherGlobalOptions = true;  // -d, -e, -a, --one-device ...
        }
    }
    invocation.command.assign(words.begin() + static_cast<std::ptrdiff_t>(i), words.end());
    return true;
}

uint16_t serverPortFromEnvironment() {
    uint16_t port = 5037;
    if (const char* text = std::getenv("ANDROID_ADB_SERVER_PORT"); text != nullptr) {
        uint16_t configured = 0;
        if (parsePort(text, configured)) {
            port = configured;
        }
    }
    return port;
}

}  // namespace devctl
