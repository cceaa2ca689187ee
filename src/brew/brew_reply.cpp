#include "brew/brew_reply.h"

#include <charconv>

#include "base/text_codec.h"
#include "brew/brew_frame.h"
#include "deviceinfo/device_record.h"

namespace dd::brew {

namespace {

constexpr std::string_view kLineBreak = "\r\n";

// Calls visit(line, offsetAfterLine) for each "\r\n"-separated line; stops
// when visit returns false.
template <typename Visit>
void forEachLine(std::string_view text, Visit visit) {
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(kLineBreak, start);
        std::string_view line = text.substr(
            start, end == std::string_view::npos ? std::string_view::npos : end - start);
        size_t next = end == std::string_view::npos ? text.size() + 1 : end + kLineBreak.size();
        if (!visit(line, start + line.size()) || end == std::string_view::npos) {
            return;
        }
        start = next;
    }
}

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// Length of the UTF-8 sequence at text[pos], 0 when invalid.
size_t utf8SequenceLength(std::string_view text, size_t pos) {
    auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char lead = byte(pos);
    size_t length;
    char32_t cp;
    if (lead < 0x80) {
        return 1;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2;
        cp = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        cp = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        cp = lead & 0x07;
    } else {
        return 0;
    }
    if (pos + length > text.size()) {
        return 0;
    }
    for (size_t i = 1; i < length; ++i) {
        if ((byte(pos + i) & 0xC0) != 0x80) {
            return 0;
        }
        cp = (cp << 6) | (byte(pos + i) & 0x3F);
    }
    bool overlong =
        (length == 2 && cp < 0x80) || (length == 3 && cp < 0x800) || (length == 4 && cp < 0x10000);
    if (overlong || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        return 0;
    }
    return length;
}

}  // namespace

std::string detectPhoneRequest() {
    return "DetectPhone" + std::string(kEndTag);
}

std::string getPhoneInfoRequest() {
    return "GetPhoneInfo" + std::string(kEndTag);
}

std::string readPictureRequest(std::string_view path) {
    return "ReadPicture " + std::string(path) + std::string(kEndTag);
}

std::string getSyncSettingRequest() {
    return "GetSyncSetting" + std::string(kEndTag);
}

std::vector<std::string> writePictureRequests(std::string_view path, std::string_view content) {
    std::vector<std::string> requests;
    size_t offset = 0;
    do {
        std::string_view block = content.substr(offset, kWritePictureBlock);
        std::string request = "WritePicture\r\nDataBegin:\r\nFullPath<Tag0x0d0c00>:";
        request += path;
        request += "\r\nPosition<Tag0x0d0c11>:";
        request += offset == 0 ? "Begin" : "Continue";
        request += "\r\nFileBegin<Tag0x0d0c01>:\r\n";
        request += block;
        request += "FileEnd<Tag0x0d0c01>\r\nDataEnd";
        request += kEndTag;
        requests.push_back(std::move(request));
        offset += block.size();
    } while (offset < content.size());
    return requests;
}

bool setSyncSettingRequest(std::string_view list, std::string& request) {
    request = "SetSyncSetting \r\n" + std::string(list) + " " + std::string(kEndTag);
    if (request.size() > kMaxSetSyncSettingRequest) {
        request.clear();
        return false;
    }
    return true;
}

int getReplyValue(std::string_view reply, std::string_view command, std::string_view key,
                  std::string& value) {
    if (command.empty() || key.empty()) {
        return kValueMissing;
    }
    std::string okLine = std::string(command) + " OK";
    bool okSeen = false;
    int result = kValueMissing;
    forEachLine(reply, [&](std::string_view line, size_t) {
        if (startsWith(line, okLine)) {
            okSeen = true;
            return true;
        }
        if (startsWith(line, key) && line.size() > key.size() && line[key.size()] == ':') {
            std::string_view rest = line.substr(key.size() + 1);
            value.assign(rest.substr(0, kMaxValueBytes));
            result = okSeen ? kValueFound : kValueBeforeOk;
            return false;
        }
        return true;
    });
    return result;
}

bool parseReadPicture(std::string_view reply, std::string& content) {
    content.clear();
    bool statusOk = false;
    bool statusSeen = false;
    bool dataBegin = false;
    bool lengthSeen = false;
    size_t length = 0;
    size_t dataStart = std::string_view::npos;
    forEachLine(reply, [&](std::string_view line, size_t lineEnd) {
        if (!statusSeen && startsWith(line, "ReadPicture")) {
            statusSeen = true;
            statusOk = line.find("OK") != std::string_view::npos;
            return statusOk;
        }
        if (startsWith(line, "DataBegin")) {
            dataBegin = true;
        } else if (startsWith(line, "FileLength")) {
            size_t colon = line.find(':');
            if (colon == std::string_view::npos) {
                return false;
            }
            std::string_view digits = dd::trim(line.substr(colon + 1));
            auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), length);
            lengthSeen =
                ec == std::errc() && ptr == digits.data() + digits.size() && !digits.empty();
            return lengthSeen;
        } else if (startsWith(line, "FileBegin")) {
            dataStart = lineEnd + kLineBreak.size();
            return false;
        }
        return true;
    });
    if (!statusOk || !dataBegin || !lengthSeen || dataStart == std::string_view::npos ||
        length > kMaxPictureBytes || dataStart > reply.size() ||
        reply.size() - dataStart < length) {
        return false;
    }
    content.assign(reply.substr(dataStart, length));
    return true;
}

std::vector<std::string> syncSvrNames(std::string_view content) {
    std::vector<std::string> names;
    size_t start = 0;
    while (start < content.size()) {
        size_t end = content.find('\0', start);
        if (end == std::string_view::npos) {
            end = content.size();
        }
        if (end > start) {
            names.emplace_back(content.substr(start, end - start));
        }
        start = end + 1;
    }
    return names;
}

std::string_view syncSettingText(std::string_view reply) {
    constexpr std::string_view kCommand = "GetSyncSetting";
    size_t begin = reply.find(kCommand);
    if (begin == std::string_view::npos) {
        return {};
    }
    begin += kCommand.size();
    size_t end = reply.find(kEndTag, begin);
    if (end == std::string_view::npos) {
        return {};
    }
    return reply.substr(begin, end - begin);
}

std::vector<std::string> syncSettingNames(std::string_view text) {
    std::vector<std::string> names;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find_first_of(",\r\n", start);
        std::string_view piece = dd::trim(text.substr(
            start, end == std::string_view::npos ? std::string_view::npos : end - start));
        if (!piece.empty()) {
            names.emplace_back(piece);
        }
        if (end == std::string_view::npos) {
            break;
        }
        start = end + 1;
    }
    return names;
}

bool holdsName(const std::vector<std::string>& names, std::string_view key) {
    if (key.empty()) {
        return false;
    }
    for (const std::string& name : names) {
        if (dd::equalsIgnoreCase(name, key)) {
            return true;
        }
    }
    return false;
}

std::string syncSvrContentFor(std::string_view key) {
    std::string content(key);
    content += '\0';
    content += '\0';
    return content;
}

std::string syncSettingListFor(std::string_view key, bool oldListEmpty) {
    std::string list(key);
    if (oldListEmpty) {
        list += ',';
    }
    return list;
}

bool isSafeImei(std::string_view imei) {
    if (imei.empty() || imei.size() > kMaxDeviceKeyChars) {
        return false;
    }
    for (char c : imei) {
        bool ok = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                  c == '-' || c == '_';
        if (!ok) {
            return false;
        }
    }
    return true;
}

bool isSafeModelFileName(std::string_view model) {
    if (model.empty() || model.size() > 64 || model.front() == '.') {
        return false;
    }
    for (char c : model) {
        auto byte = static_cast<unsigned char>(c);
        if (c == '/' || c == '\\' || byte < 0x20 || byte == 0x7F) {
            return false;
        }
    }
    return true;
}

std::string cleanPhoneText(std::string_view text, size_t maxBytes) {
    std::string out;
    for (size_t pos = 0; pos < text.size();) {
        size_t length = utf8SequenceLength(text, pos);
        auto byte = static_cast<unsigned char>(text[pos]);
        if (length == 0 || (length == 1 && (byte < 0x20 || byte == 0x7F))) {
            if (out.size() + 1 > maxBytes) {
                break;
            }
            out += '?';
            ++pos;
            continue;
        }
        if (out.size() + length > maxBytes) {
            break;
        }
        out.append(text.substr(pos, length));
        pos += length;
    }
    return out;
}

}  // namespace dd::brew
