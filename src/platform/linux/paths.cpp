#include "platform/paths.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/private_dir.h"
#include "platform/unique_fd.h"

namespace dd::platform {
namespace {

std::string env(const char* name) {
    const char* value = std::getenv(name);
    return (value != nullptr) ? std::string(value) : std::string();
}

// $HOME, else the password entry's home; empty when there is neither (a
// container running under an arbitrary user id).
std::string homeDirectory() {
    std::string home = env("HOME");
    if (home.empty()) {
        if (const passwd* pw = getpwuid(geteuid()); pw != nullptr && pw->pw_dir != nullptr) {
            home = pw->pw_dir;
        }
    }
    return home;
}

// $name, else home + below; without a home, privateFallbackDir() + below,
// and *fallback names that folder.
std::string xdgFolder(const char* name, const char* below, std::string* fallback) {
    if (fallback != nullptr) {
        fallback->clear();
    }
    std::string value = env(name);
    if (!value.empty()) {
        return value;
    }
    std::string home = homeDirectory();
    if (home.empty()) {
        // Never straight into the shared /tmp: a folder of this user's own,
        // which must pass checkPrivateDir before anything is kept there.
        home = privateFallbackDir();
        if (fallback != nullptr) {
            *fallback = home;
        }
    }
    return joinPath(home, below);
}

std::string withDefault(const char* name, std::string fallback) {
    std::string value = env(name);
    return value.empty() ? fallback : value;
}

void failedWith(FileProblem* problem, const std::string& path, const char* what, int error) {
    if (problem != nullptr) {
        problem->kind = FileRefusal::Failed;
        problem->error = error;
        problem->text = path + ": " + what + " (" + std::strerror(error) + ")";
    }
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

std::string dataHome(std::string* fallback) {
    return xdgFolder("XDG_DATA_HOME", ".local/share", fallback);
}

std::string fallbackFolderProblem(const RuntimePaths& paths, bool create) {
    if (paths.privateFallback.empty()) {
        return {};
    }
    std::string problem;
    bool usable = create ? ensurePrivateDir(paths.privateFallback, &problem)
                         : checkPrivateDir(paths.privateFallback, &problem);
    if (usable) {
        return {};
    }
    return "no home folder, and the module's files cannot go to the fallback folder: " + problem;
}

RuntimePaths readRuntimePaths() {
    RuntimePaths paths;
    paths.moduleDir = withDefault("DEVICEDETECT_MODULE_DIR", loadedModuleDirectory());
    paths.sysfsRoot = withDefault("DEVICEDETECT_SYSFS_ROOT", "/sys");
    paths.devRoot = withDefault("DEVICEDETECT_DEV_ROOT", "/dev");
    paths.lockDir =
        withDefault("DEVICEDETECT_LOCK_DIR", withDefault("XDG_RUNTIME_DIR", privateFallbackDir()));
    paths.adbBinary = withDefault("DEVICEDETECT_ADB", "adb");
    std::string dataFallback;
    std::string configFallback;
    paths.dataDir = joinPath(dataHome(&dataFallback), "Orq Sync/PCSync");
    paths.configDir =
        joinPath(xdgFolder("XDG_CONFIG_HOME", ".config", &configFallback), "Orq Sync");
    paths.privateFallback = dataFallback.empty() ? configFallback : dataFallback;
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

bool writeFileAtomically(const std::string& path, const std::string& content,
                         FileProblem* problem) {
    if (!replaceableByRename(path, problem)) {
        return false;
    }
    std::string temp;
    UniqueFd fd = createFileBeside(path, ".tmp", temp, problem);
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
            failedWith(problem, path, "cannot write", n < 0 ? errno : ENOSPC);
            unlink(temp.c_str());
            return false;
        }
        done += static_cast<size_t>(n);
    }
    if (fsync(fd.get()) != 0 || close(fd.release()) != 0 ||
        rename(temp.c_str(), path.c_str()) != 0) {
        failedWith(problem, path, "cannot put the new content in place", errno);
        unlink(temp.c_str());
        return false;
    }
    return true;
}

}  // namespace dd::platform
