#include "platform/paths.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/private_dir.h"
#include "platform/unique_fd.h"

namespace dd::platform {
namespace {

std::string env(const char* name) {
    const char* value = std::getenv(name);
    return (value != nullptr) ? std::string(value) : std::string();
}

std::string homeDirectory() {
    std::string home = env("HOME");
    if (home.empty()) {
        if (const passwd* pw = getpwuid(geteuid()); pw != nullptr && pw->pw_dir != nullptr) {
            home = pw->pw_dir;
        }
    }
    // Without a home the files go to a folder of this user's own, never
    // straight into the shared /tmp.
    return home.empty() ? privateFallbackDir() : home;
}

std::string withDefault(const char* name, std::string fallback) {
    std::string value = env(name);
    return value.empty() ? fallback : value;
}

}  // namespace

std::string joinPath(const std::string& dir, const std::string& name) {
    if (dir.empty()) {
        return name;
    }
    if (dir.back() == '/') {
        return dir + name;
    }
    return dir + "/" + name;
}

std::string loadedModuleDirectory() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&loadedModuleDirectory), &info) == 0 ||
        info.dli_fname == nullptr) {
        return ".";
    }
    std::string file(info.dli_fname);
    size_t cut = file.find_last_of('/');
    return cut == std::string::npos ? std::string(".") : file.substr(0, cut);
}

RuntimePaths readRuntimePaths() {
    RuntimePaths paths;
    paths.moduleDir = withDefault("DEVICEDETECT_MODULE_DIR", loadedModuleDirectory());
    paths.sysfsRoot = withDefault("DEVICEDETECT_SYSFS_ROOT", "/sys");
    paths.devRoot = withDefault("DEVICEDETECT_DEV_ROOT", "/dev");
    paths.lockDir =
        withDefault("DEVICEDETECT_LOCK_DIR", withDefault("XDG_RUNTIME_DIR", privateFallbackDir()));
    paths.adbBinary = withDefault("DEVICEDETECT_ADB", "adb");
    std::string dataHome = withDefault("XDG_DATA_HOME", homeDirectory() + "/.local/share");
    std::string configHome = withDefault("XDG_CONFIG_HOME", homeDirectory() + "/.config");
    paths.dataDir = joinPath(dataHome, "Orq Sync/PCSync");
    paths.configDir = joinPath(configHome, "Orq Sync");
    return paths;
}

std::vector<std::string> loaderIniFiles(const RuntimePaths& paths) {
    return {joinPath(paths.configDir, "orqBRAXLoader.ini"),
            joinPath(paths.moduleDir, "orqBRAXLoader.ini")};
}

bool makeDirectories(const std::string& path) {
    if (path.empty()) {
        return false;
    }
    for (size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1)) {
        mkdir(path.substr(0, pos).c_str(), 0700);
    }
    mkdir(path.c_str(), 0700);
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool readFileBounded(const std::string& path, size_t maxBytes, std::string& out) {
    out.clear();
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        return false;
    }
    char buffer[8192];
    while (true) {
        ssize_t n = read(fd.get(), buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return false;
        }
        if (n == 0) {
            return true;
        }
        if (out.size() + static_cast<size_t>(n) > maxBytes) {
            return false;
        }
        out.append(buffer, static_cast<size_t>(n));
    }
}

bool writeFileAtomically(const std::string& path, const std::string& content) {
    std::string temp = path + ".tmpXXXXXX";
    UniqueFd fd(mkostemp(temp.data(), O_CLOEXEC));
    if (!fd) {
        return false;
    }
    size_t done = 0;
    while (done < content.size()) {
        ssize_t n = write(fd.get(), content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            unlink(temp.c_str());
            return false;
        }
        done += static_cast<size_t>(n);
    }
    fchmod(fd.get(), 0600);  // these files hold the user's phones
    if (fsync(fd.get()) != 0 || close(fd.release()) != 0 ||
        rename(temp.c_str(), path.c_str()) != 0) {
        unlink(temp.c_str());
        return false;
    }
    return true;
}

}  // namespace dd::platform
