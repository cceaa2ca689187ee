#include "platform/usb_device_ids.h"

#include <cstdio>

#include "platform/usb_sysfs.h"

namespace dd::platform {

namespace {

constexpr size_t kMaxInstanceBytes = 200;  // MAX_DEVICE_ID_LEN, less the prefix

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Takes a case-insensitive literal off the front of text.
bool take(std::string_view& text, std::string_view literal) {
    if (text.size() < literal.size()) {
        return false;
    }
    for (size_t i = 0; i < literal.size(); ++i) {
        if (lower(text[i]) != lower(literal[i])) {
            return false;
        }
    }
    text.remove_prefix(literal.size());
    return true;
}

// Takes exactly count hex digits off the front of text.
bool takeHex(std::string_view& text, size_t count, unsigned& out) {
    if (text.size() < count) {
        return false;
    }
    unsigned value = 0;
    for (size_t i = 0; i < count; ++i) {
        char c = lower(text[i]);
        unsigned digit;
        if (c >= '0' && c <= '9') {
            digit = static_cast<unsigned>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            digit = static_cast<unsigned>(c - 'a' + 10);
        } else {
            return false;
        }
        value = value * 16 + digit;
    }
    text.remove_prefix(count);
    out = value;
    return true;
}

// Takes 1..4 decimal digits off the front of text.
bool takeDecimal(std::string_view& text, int& out) {
    size_t digits = 0;
    int value = 0;
    while (digits < text.size() && digits < 5 && text[digits] >= '0' && text[digits] <= '9') {
        value = value * 10 + (text[digits] - '0');
        ++digits;
    }
    if (digits == 0 || digits > 4) {
        return false;
    }
    text.remove_prefix(digits);
    out = value;
    return true;
}

// "VID_xxxx&PID_xxxx[&MI_xx]" then separator and the instance up to the end
// (or up to the next separator, which then must be the last part's start).
bool parseIds(std::string_view text, char separator, bool interfaceClassFollows,
              UsbInstanceId& out) {
    UsbInstanceId id;
    unsigned vid = 0;
    unsigned pid = 0;
    if (!take(text, "VID_") || !takeHex(text, 4, vid) || !take(text, "&PID_") ||
        !takeHex(text, 4, pid)) {
        return false;
    }
    if (take(text, "&MI_")) {
        unsigned mi = 0;
        if (!takeHex(text, 2, mi)) {
            return false;
        }
        id.interfaceNumber = static_cast<int>(mi);
    }
    if (text.empty() || text.front() != separator) {
        return false;
    }
    text.remove_prefix(1);
    size_t end = text.find(separator);
    std::string_view instance = text.substr(0, end);
    if (interfaceClassFollows ? end == std::string_view::npos || text[end + 1] != '{'
                              : end != std::string_view::npos) {
        return false;
    }
    if (instance.empty() || instance.size() > kMaxInstanceBytes) {
        return false;
    }
    for (char c : instance) {
        if (static_cast<unsigned char>(c) < 0x20 || c == '\\' || c == '/') {
            return false;
        }
    }
    id.vid = static_cast<uint16_t>(vid);
    id.pid = static_cast<uint16_t>(pid);
    id.instance = std::string(instance);
    out = std::move(id);
    return true;
}

// Little-endian fields of the packed structures a hub fills.
uint16_t word(const unsigned char* at) {
    return static_cast<uint16_t>(at[0] | (at[1] << 8));
}

uint32_t dword(const unsigned char* at) {
    return static_cast<uint32_t>(at[0]) | (static_cast<uint32_t>(at[1]) << 8) |
           (static_cast<uint32_t>(at[2]) << 16) | (static_cast<uint32_t>(at[3]) << 24);
}

// Appends the UTF-8 form of one character unless that would pass limit.
bool appendUtf8(std::string& out, uint32_t cp, size_t limit) {
    char bytes[4];
    size_t count = 0;
    if (cp < 0x80) {
        bytes[count++] = static_cast<char>(cp);
    } else if (cp < 0x800) {
        bytes[count++] = static_cast<char>(0xC0 | (cp >> 6));
        bytes[count++] = static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        bytes[count++] = static_cast<char>(0xE0 | (cp >> 12));
        bytes[count++] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        bytes[count++] = static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        bytes[count++] = static_cast<char>(0xF0 | (cp >> 18));
        bytes[count++] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        bytes[count++] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        bytes[count++] = static_cast<char>(0x80 | (cp & 0x3F));
    }
    if (out.size() + count > limit) {
        return false;
    }
    out.append(bytes, count);
    return true;
}

// units UTF-16LE code units at data as UTF-8 of at most limit bytes, up to
// the first NUL; a lone surrogate becomes U+FFFD.
std::string utf16ToUtf8(const unsigned char* data, size_t units, size_t limit) {
    constexpr uint32_t kReplacement = 0xFFFD;
    std::string out;
    for (size_t i = 0; i < units; ++i) {
        uint32_t unit = word(data + 2 * i);
        if (unit == 0) {
            break;
        }
        uint32_t cp = unit;
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < units) {
            uint32_t next = word(data + 2 * (i + 1));
            if (next >= 0xDC00 && next <= 0xDFFF) {
                cp = 0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00);
                ++i;
            }
        }
        if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = kReplacement;
        }
        if (!appendUtf8(out, cp, limit)) {
            break;
        }
    }
    return out;
}

}  // namespace

bool parseUsbInstanceId(std::string_view id, UsbInstanceId& out) {
    return take(id, "USB\\") && parseIds(id, '\\', false, out);
}

bool parseUsbInterfacePath(std::string_view path, UsbInstanceId& out) {
    return take(path, "\\\\?\\USB#") && parseIds(path, '#', true, out);
}

std::string usbInstanceIdOfInterfacePath(std::string_view path) {
    UsbInstanceId parsed;
    if (!parseUsbInterfacePath(path, parsed)) {
        return {};
    }
    // "\\?\" then "USB#ids#instance#{class}": the instance holds no '#'.
    std::string_view rest = path.substr(4);
    size_t ids = rest.find('#');
    size_t instance = rest.find('#', ids + 1);
    size_t end = rest.find('#', instance + 1);
    std::string id(rest.substr(0, end));
    id[ids] = '\\';
    id[instance] = '\\';
    return id;
}

bool isSystemHubPath(std::string_view path) {
    if (path.size() <= 4 || path.size() > kMaxSystemHubPathBytes ||
        !(path.substr(0, 4) == "\\\\?\\" || path.substr(0, 4) == "\\\\.\\") ||
        path.find("..") != std::string_view::npos || path.find('/') != std::string_view::npos) {
        return false;
    }
    for (char c : path) {
        if (c < 0x20 || c > 0x7E) {
            return false;
        }
    }
    return true;
}

bool parseUsbHubNodeInfo(const unsigned char* data, size_t returned, int& ports) {
    // NodeType (4 bytes, 0 = hub), then the hub descriptor: length, type,
    // bNumberOfPorts.
    constexpr size_t kPortsAt = 6;
    if (data == nullptr || returned <= kPortsAt || dword(data) != 0) {
        return false;
    }
    ports = data[kPortsAt];
    return true;
}

bool parseUsbConnectionInfo(const unsigned char* data, size_t returned, UsbConnectionInfo& out) {
    // ConnectionIndex (4), the 18-byte device descriptor, configuration,
    // speed, DeviceIsHub, DeviceAddress (2), open pipes (4), status (4).
    if (data == nullptr || returned < kUsbConnectionInfoBytes) {
        return false;
    }
    const unsigned char* descriptor = data + 4;
    UsbConnectionInfo info;
    info.vid = word(descriptor + 8);
    info.pid = word(descriptor + 10);
    info.serialIndex = descriptor[16];
    info.isHub = data[24] != 0;
    info.address = word(data + 25);
    info.status = dword(data + 31);
    out = info;
    return true;
}

bool parseUsbDriverKeyName(const unsigned char* data, size_t returned, std::string& out) {
    constexpr size_t kHeader = 8;  // ConnectionIndex, ActualLength
    constexpr size_t kMaxNameBytes = 1024;
    if (data == nullptr || returned < kHeader) {
        return false;
    }
    uint32_t total = dword(data + 4);
    if (total < kHeader || total > returned) {
        return false;
    }
    std::string name = utf16ToUtf8(data + kHeader, (total - kHeader) / 2, kMaxNameBytes);
    if (name.empty()) {
        return false;
    }
    out = std::move(name);
    return true;
}

bool parseUsbStringDescriptor(const unsigned char* data, size_t returned, size_t limit,
                              std::string& out) {
    constexpr unsigned char kStringDescriptor = 3;
    if (data == nullptr || returned < 2 || data[1] != kStringDescriptor || data[0] < 2 ||
        data[0] > returned) {
        return false;
    }
    out = utf16ToUtf8(data + 2, (data[0] - 2u) / 2, limit);
    return true;
}

std::string usbInstanceId(uint16_t vid, uint16_t pid, std::string_view serial) {
    char text[32];
    std::snprintf(text, sizeof(text), "USB\\VID_%04X&PID_%04X", vid, pid);
    std::string id = text;
    if (!serial.empty()) {
        id += '\\';
        id += serial;
    }
    return id;
}

bool parseUsbLocation(std::string_view text, int& port, int& hub) {
    int p = 0;
    int h = 0;
    if (!take(text, "Port_#") || !takeDecimal(text, p) || !take(text, ".Hub_#") ||
        !takeDecimal(text, h) || !text.empty() || p < 1) {
        return false;
    }
    port = p;
    hub = h;
    return true;
}

bool classGuidMatches(std::string_view property, std::string_view wantedLower) {
    property = property.substr(0, property.find('\0'));
    if (wantedLower.empty() || property.size() < wantedLower.size()) {
        return false;
    }
    for (size_t start = 0; start + wantedLower.size() <= property.size(); ++start) {
        size_t i = 0;
        while (i < wantedLower.size() && lower(property[start + i]) == wantedLower[i]) {
            ++i;
        }
        if (i == wantedLower.size()) {
            return true;
        }
    }
    return false;
}

int usbDriverStateOf(bool found, unsigned long problem) {
    if (!found) {
        return kUsbDriverNotFound;
    }
    return problem == 0 ? kUsbDriverWorking : kUsbDriverProblem;
}

std::string usbProblemName(unsigned long problem) {
    switch (problem) {
        case 0:
            return "no problem";
        case 1:
            return "CM_PROB_NOT_CONFIGURED";
        case 10:
            return "CM_PROB_FAILED_START";
        case 18:
            return "CM_PROB_REINSTALL";
        case 22:
            return "CM_PROB_DISABLED";
        case 24:
            return "CM_PROB_DEVICE_NOT_THERE";
        case 28:
            return "CM_PROB_FAILED_INSTALL";
        case 31:
            return "CM_PROB_FAILED_ADD";
        case 43:
            return "CM_PROB_FAILED_POST_START";
        case 45:
            return "CM_PROB_PHANTOM";
        default:
            return "problem " + std::to_string(problem);
    }
}

}  // namespace dd::platform
