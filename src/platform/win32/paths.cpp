#include "platform/paths.h"

#include <cstdlib>

#include "platform/private_dir.h"
#include "platform/unique_fd.h"
#include "platform/win32/private_security.h"
#include "platform/win32/win_handle.h"

#include <knownfolders.h>
#include <objbase.h>
#include <shlobj.h>

namespace dd::platform {
namespace {

using win32::errorText;
using win32::narrow;
using win32::widen;

std::string env(const char* name) {
    const char* value = std::getenv(name);
    return (value != nullptr) ? std::string(value) : std::string();
}

std::string withDefault(const char* name, std::string fallback) {
    std::string value = env(name);
    return value.empty() ? fallback : value;
}

bool isSeparator(char c) {
    return c == '/' || c == '\\';
}

// The user's roaming application-data folder (the shell's folder 26, which
// roams with the profile); empty when the shell cannot name it.
std::string roamingAppData() {
    PWSTR folder = nullptr;
    std::string out;
    if (SUCCEEDED(
            SHGetKnownFolderPath(FOLDERID_RoamingAppData, KF_FLAG_DEFAULT, nullptr, &folder)) &&
        folder != nullptr) {
        out = narrow(folder);
    }
    CoTaskMemFree(folder);
    return out;
}

// $name when set; else the application-data folder; without one,
// privateFallbackDir(), and *fallback names that folder.
std::string appDataFolder(const char* name, std::string* fallback) {
    if (fallback != nullptr) {
        fallback->clear();
    }
    std::string value = env(name);
    if (!value.empty()) {
        return value;
    }
    std::string folder = roamingAppData();
    if (folder.empty()) {
        folder = privateFallbackDir();
        if (fallback != nullptr) {
            *fallback = folder;
        }
    }
    return folder;
}

void failedWith(FileProblem* problem, const std::string& path, const char* what, DWORD error) {
    if (problem != nullptr) {
        problem->kind = FileRefusal::Failed;
        problem->error = static_cast<int>(error);
        problem->text = path + ": " + what + " (" + errorText(error) + ")";
    }
}

// Where the folder part of a path begins: past "C:", "\\server\share" or
// "\\?\C:", whose prefixes are not folders that could be created.
size_t firstCreatable(const std::string& path) {
    if (path.size() >= 2 && isSeparator(path[0]) && isSeparator(path[1])) {
        size_t pos = 2;
        for (int parts = 0; parts < 2 && pos != std::string::npos; ++parts) {
            pos = path.find_first_of("/\\", pos + 1);
        }
        return pos == std::string::npos ? path.size() : pos + 1;
    }
    if (path.size() >= 2 && path[1] == ':') {
        return path.size() > 2 && isSeparator(path[2]) ? 3 : 2;
    }
    return isSeparator(path[0]) ? 1 : 0;
}

}  // namespace

std::string joinPath(const std::string& dir, const std::string& name) {
    if (dir.empty()) {
        return name;
    }
    if (isSeparator(dir.back())) {
        return dir + name;
    }
    return dir + "/" + name;
}

std::string loadedModuleDirectory() {
    // The module's own file, not the program's: the handle of the image
    // that holds this function, without taking a reference on it.
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            reinterpret_cast<LPCWSTR>(&loadedModuleDirectory), &module)) {
        return ".";
    }
    std::wstring name(MAX_PATH, L'\0');
    // Long paths: grow until the name fits (32767 units is the system's limit).
    while (true) {
        DWORD length = GetModuleFileNameW(module, name.data(), static_cast<DWORD>(name.size()));
        if (length == 0) {
            return ".";
        }
        if (length < name.size()) {
            name.resize(length);
            break;
        }
        if (name.size() >= 32768) {
            return ".";
        }
        name.resize(name.size() * 2);
    }
    std::string file = narrow(name);
    size_t cut = file.find_last_of("/\\");
    return cut == std::string::npos ? std::string(".") : file.substr(0, cut);
}

std::string dataHome(std::string* fallback) {
    return appDataFolder("XDG_DATA_HOME", fallback);
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
    return "no application-data folder, and the module's files cannot go to the fallback "
           "folder: " +
           problem;
}

RuntimePaths readRuntimePaths() {
    RuntimePaths paths;
    paths.moduleDir = withDefault("DEVICEDETECT_MODULE_DIR", loadedModuleDirectory());
    // Unset, the system's own facilities serve (SetupAPI, COM ports), so no
    // tree stands in for them.
    paths.sysfsRoot = env("DEVICEDETECT_SYSFS_ROOT");
    paths.devRoot = env("DEVICEDETECT_DEV_ROOT");
    // Unset, the single-instance guard is the named mutex: a lock file name
    // without a folder (InstanceLock).
    paths.lockDir = env("DEVICEDETECT_LOCK_DIR");
    paths.adbBinary = withDefault("DEVICEDETECT_ADB", "adb");
    std::string dataFallback;
    std::string configFallback;
    paths.dataDir = joinPath(dataHome(&dataFallback), "Orq Sync/PCSync");
    paths.configDir = joinPath(appDataFolder("XDG_CONFIG_HOME", &configFallback), "Orq Sync");
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
    // Every folder created is the user's own (user and SYSTEM only); what
    // exists already is left as it is.
    win32::PrivateSecurity privateOnly;
    for (size_t pos = path.find_first_of("/\\", firstCreatable(path)); pos != std::string::npos;
         pos = path.find_first_of("/\\", pos + 1)) {
        CreateDirectoryW(widen(path.substr(0, pos)).c_str(), privateOnly.attributes());
    }
    CreateDirectoryW(widen(path).c_str(), privateOnly.attributes());
    DWORD attributes = GetFileAttributesW(widen(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
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
        long n = writeToFile(fd.get(), content.data() + done, content.size() - done);
        if (n <= 0) {
            failedWith(problem, path, "cannot write", n < 0 ? GetLastError() : ERROR_DISK_FULL);
            fd.reset();
            removeFile(temp);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    if (!FlushFileBuffers(win32::toHandle(fd.get())) || !closeFile(fd) || !renameFile(temp, path)) {
        failedWith(problem, path, "cannot put the new content in place", GetLastError());
        fd.reset();
        removeFile(temp);
        return false;
    }
    return true;
}

}  // namespace dd::platform
