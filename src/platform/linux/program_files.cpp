#include "platform/program_files.h"

#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace dd::platform {

std::string sharedLibraryName(const std::string& name) {
    return "lib" + name + ".so";
}

std::string executablePath() {
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    return n > 0 ? std::string(self, static_cast<size_t>(n)) : std::string();
}

std::string absolutePath(const std::string& path) {
    char* real = realpath(path.c_str(), nullptr);
    if (real == nullptr) {
        return path;
    }
    std::string out = real;
    std::free(real);
    return out;
}

bool isExecutableFile(const std::string& path) {
    return access(path.c_str(), X_OK) == 0;
}

bool canReadAndWrite(const std::string& path) {
    return access(path.c_str(), R_OK | W_OK) == 0;
}

bool listFolder(const std::string& path, std::vector<std::string>& names, std::string* problem) {
    names.clear();
    DIR* listing = opendir(path.c_str());
    if (listing == nullptr) {
        if (problem != nullptr) {
            *problem = std::strerror(errno);
        }
        return false;
    }
    while (const dirent* entry = readdir(listing)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
            names.emplace_back(entry->d_name);
        }
    }
    closedir(listing);
    return true;
}

char pathListSeparator() {
    return ':';
}

}  // namespace dd::platform
