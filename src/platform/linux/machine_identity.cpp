#include "platform/machine_identity.h"

#include <dirent.h>
#include <pwd.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <vector>

#include "base/text_codec.h"
#include "platform/paths.h"

namespace dd::platform {
namespace {

constexpr size_t kMaxNameBytes = 1024;
constexpr size_t kDiskSerialChars = 8;
constexpr size_t kMaxSerialFileBytes = 256;

std::string cut(std::string text, size_t limit) {
    if (text.size() > limit) {
        text.resize(limit);
    }
    return text;
}

// Reads at most limit bytes of a small sysfs attribute.
std::string readAttribute(const std::string& path, size_t limit) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return {};
    }
    std::string text(limit, '\0');
    in.read(text.data(), static_cast<std::streamsize>(limit));
    text.resize(static_cast<size_t>(in.gcount()));
    return text;
}

}  // namespace

std::string currentUserName() {
    uid_t uid = geteuid();
    long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(hint > 0 ? static_cast<size_t>(hint) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
        found->pw_name != nullptr && *found->pw_name != 0) {
        return cut(found->pw_name, kMaxNameBytes);
    }
    return std::to_string(uid);
}

std::string computerName() {
    char host[kMaxNameBytes + 1] = {};
    if (gethostname(host, kMaxNameBytes) != 0) {
        host[0] = 0;
    }
    host[kMaxNameBytes] = 0;
    char domain[kMaxNameBytes + 1] = {};
    if (getdomainname(domain, kMaxNameBytes) != 0) {
        domain[0] = 0;
    }
    domain[kMaxNameBytes] = 0;
    std::string name = host;
    if (domain[0] != 0 && std::strcmp(domain, "(none)") != 0) {
        name += ".";
        name += domain;
    }
    return cut(name, kMaxNameBytes);
}

uint32_t systemVolumeSerial() {
    struct statvfs info {};
    if (statvfs("/usr", &info) != 0) {
        return 0;
    }
    return static_cast<uint32_t>(info.f_fsid & 0xffffffffu);
}

std::string firstDiskSerial(const std::string& sysfsRoot) {
    std::string blockDir = joinPath(sysfsRoot, "block");
    std::vector<std::string> names;
    if (DIR* dir = opendir(blockDir.c_str()); dir != nullptr) {
        while (dirent* entry = readdir(dir)) {
            if (entry->d_name[0] != '.') {
                names.emplace_back(entry->d_name);
            }
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        std::string raw =
            readAttribute(blockDir + "/" + name + "/device/serial", kMaxSerialFileBytes);
        std::string serial(trim(raw));
        size_t end = 0;
        while (end < serial.size() && serial[end] >= 0x20 && serial[end] < 0x7f) {
            ++end;
        }
        serial.resize(std::min(end, kDiskSerialChars));
        if (!serial.empty()) {
            return serial;
        }
    }
    return {};
}

}  // namespace dd::platform
