#include "disk_unmounter.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "controller_log.h"
#include "devicedetect/DeviceController.h"
#include "platform/mounts.h"
#include "utf16_text.h"

namespace devctl {
namespace {

constexpr size_t kMaxMountInfo = 8u << 20;
constexpr size_t kMaxAttribute = 256;
constexpr int kMaxDepth = 16;
constexpr size_t kMaxEntriesWalked = 20000;

std::string environmentOr(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != 0 ? value : fallback;
}

bool readBounded(const std::string& path, size_t limit, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    out.assign(limit + 1, '\0');
    in.read(out.data(), static_cast<std::streamsize>(limit + 1));
    out.resize(static_cast<size_t>(in.gcount()));
    return out.size() <= limit;
}

std::string readAttribute(const std::string& path) {
    std::string text;
    if (!readBounded(path, kMaxAttribute, text)) {
        return {};
    }
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\r')) {
        text.pop_back();
    }
    return text;
}

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) {
            return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
        };
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

// mountinfo escapes blanks, tabs, newlines and backslashes as \ooo.
std::string unescapeOctal(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] >= '0' && text[i + 1] <= '3' &&
            text[i + 2] >= '0' && text[i + 2] <= '7' && text[i + 3] >= '0' && text[i + 3] <= '7') {
            out += static_cast<char>((text[i + 1] - '0') * 64 + (text[i + 2] - '0') * 8 +
                                     (text[i + 3] - '0'));
            i += 3;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::vector<std::string_view> splitBlanks(std::string_view line) {
    std::vector<std::string_view> fields;
    size_t pos = 0;
    while (pos < line.size()) {
        while (pos < line.size() && line[pos] == ' ') {
            ++pos;
        }
        size_t end = line.find(' ', pos);
        if (end == std::string_view::npos) {
            end = line.size();
        }
        if (end > pos) {
            fields.push_back(line.substr(pos, end - pos));
        }
        pos = end;
    }
    return fields;
}

namespace fs = std::filesystem;

// A real folder, not a link to one.
bool isDirectory(const std::string& path) {
    std::error_code error;
    return fs::symlink_status(path, error).type() == fs::file_type::directory;
}

// Walks real folders only (sysfs links such as "subsystem" lead elsewhere).
void walkForBlocks(const std::string& dir, int depth, size_t& walked, bool insideBlock,
                   std::vector<BlockDevice>& found) {
    if (depth > kMaxDepth || walked > kMaxEntriesWalked) {
        return;
    }
    std::error_code error;
    fs::directory_iterator entries(dir, error);
    if (error) {
        return;
    }
    std::vector<std::string> children;
    for (; entries != fs::directory_iterator(); entries.increment(error)) {
        if (++walked > kMaxEntriesWalked) {
            break;
        }
        std::string name = entries->path().filename().string();
        if (isDirectory(dir + "/" + name)) {
            children.push_back(std::move(name));
        }
    }
    for (const std::string& name : children) {
        std::string path = dir + "/" + name;
        if (insideBlock) {
            // A disk under block/, or a partition inside a disk's folder.
            std::string number = readAttribute(path + "/dev");
            if (!number.empty()) {
                found.push_back({name, number});
                walkForBlocks(path, depth + 1, walked, true, found);
            }
            continue;
        }
        walkForBlocks(path, depth + 1, walked, name == "block", found);
    }
}

}  // namespace

std::vector<MountEntry> parseMountInfo(std::string_view text) {
    std::vector<MountEntry> entries;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        std::vector<std::string_view> fields = splitBlanks(text.substr(pos, end - pos));
        pos = end + 1;
        // id parent major:minor root mountpoint options [optional...] - fstype source superoptions
        auto separator = std::find(fields.begin(), fields.end(), std::string_view("-"));
        if (fields.size() < 7 || separator == fields.end() || fields.end() - separator < 3 ||
            separator - fields.begin() < 6) {
            continue;
        }
        MountEntry entry;
        entry.number = std::string(fields[2]);
        entry.mountPoint = unescapeOctal(fields[4]);
        entry.source = unescapeOctal(*(separator + 2));
        if (entry.mountPoint.empty() || entry.mountPoint[0] != '/') {
            continue;
        }
        entries.push_back(std::move(entry));
    }
    return entries;
}

std::vector<MountEntry> mountsOf(const std::vector<MountEntry>& entries,
                                 const std::vector<BlockDevice>& devices) {
    std::vector<MountEntry> mine;
    for (const MountEntry& entry : entries) {
        for (const BlockDevice& device : devices) {
            if (entry.number == device.number || entry.source == "/dev/" + device.name) {
                mine.push_back(entry);
                break;
            }
        }
    }
    // Later mounts may sit on top of earlier ones: unmount them first.
    std::reverse(mine.begin(), mine.end());
    return mine;
}

std::vector<BlockDevice> blockDevicesUnder(const std::string& usbDeviceDir) {
    std::vector<BlockDevice> found;
    size_t walked = 0;
    walkForBlocks(usbDeviceDir, 0, walked, false, found);
    return found;
}

std::string findUsbDevice(const std::string& sysfsRoot, const std::string& serial, uint16_t vid,
                          uint16_t pid) {
    std::string devices = sysfsRoot + "/bus/usb/devices";
    std::error_code error;
    fs::directory_iterator entries(devices, error);
    if (error || serial.empty()) {
        return {};
    }
    auto hex4 = [](uint16_t value) {
        char text[8];
        std::snprintf(text, sizeof(text), "%04x", value);
        return std::string(text);
    };
    for (; entries != fs::directory_iterator(); entries.increment(error)) {
        std::string name = entries->path().filename().string();
        if (name[0] == '.' || name.find(':') != std::string::npos) {
            continue;  // interfaces carry a ':'
        }
        std::string dir = devices + "/" + name;
        if (!equalsIgnoreCase(readAttribute(dir + "/serial"), serial)) {
            continue;
        }
        if ((vid != 0 && !equalsIgnoreCase(readAttribute(dir + "/idVendor"), hex4(vid))) ||
            (pid != 0 && !equalsIgnoreCase(readAttribute(dir + "/idProduct"), hex4(pid)))) {
            continue;
        }
        fs::path resolved = fs::canonical(dir, error);
        return error ? dir : resolved.string();
    }
    return {};
}

uint16_t unmountPhoneDisks(const DeviceRecord* record) {
    if (record == nullptr) {
        return UNMOUNT_BAD_RECORD;
    }
    std::string serial = fieldToUtf8(record->serialno, sizeof(record->serialno) / sizeof(char16_t));
    if (serial.empty()) {
        logLine(LogKind::Err, "unmount: the record has no serial number");
        return UNMOUNT_BAD_RECORD;
    }
    std::string sysfsRoot = environmentOr("DEVICEDETECT_SYSFS_ROOT", "/sys");
    std::string device = findUsbDevice(sysfsRoot, serial, record->vid, record->pid);
    if (device.empty()) {
        logLine(LogKind::Err, "unmount: no USB device with serial " + serial);
        return UNMOUNT_DEVICE_NOT_FOUND;
    }
    std::vector<BlockDevice> disks = blockDevicesUnder(device);
    std::string table;
    std::string tablePath = environmentOr("DEVICEDETECT_MOUNTINFO", "/proc/self/mountinfo");
    if (!disks.empty() && !readBounded(tablePath, kMaxMountInfo, table)) {
        logLine(LogKind::Err, "unmount: cannot read " + tablePath);
        return UNMOUNT_PARTIAL;
    }
    std::vector<MountEntry> mounts = mountsOf(parseMountInfo(table), disks);
    if (mounts.empty()) {
        logLine(LogKind::Info, "unmount: " + serial + " has " + std::to_string(disks.size()) +
                                   " disk(s), none mounted");
        return UNMOUNT_OK;
    }
    uint16_t result = UNMOUNT_OK;
    for (const MountEntry& mount : mounts) {
        if (std::string problem; dd::platform::unmountNoFollow(mount.mountPoint, &problem)) {
            logLine(LogKind::Info, "unmount: " + serial + ": unmounted " + mount.mountPoint + " (" +
                                       mount.source + ")");
        } else {
            logLine(LogKind::Err, "unmount: " + serial + ": cannot unmount " + mount.mountPoint +
                                      " (" + mount.source + "): " + problem);
            result = UNMOUNT_PARTIAL;
        }
    }
    return result;
}

}  // namespace devctl
