// Where the module finds its files and the machine's trees. Every value can
// be overridden from the environment, which is how tests and the demo point
// the module at a fake machine.
#pragma once

#include <string>
#include <vector>

#include "platform/regular_file.h"

namespace dd::platform {

struct RuntimePaths {
    std::string moduleDir;  // DEVICEDETECT_MODULE_DIR, else the folder of libDeviceDetect.so
    std::string sysfsRoot;  // DEVICEDETECT_SYSFS_ROOT, else /sys
    std::string devRoot;    // DEVICEDETECT_DEV_ROOT, else /dev
    std::string lockDir;  // DEVICEDETECT_LOCK_DIR, else $XDG_RUNTIME_DIR, else privateFallbackDir()
    std::string adbBinary;  // DEVICEDETECT_ADB, else "adb" (looked up on PATH)
    std::string dataDir;    // $XDG_DATA_HOME/Orq Sync/PCSync (the application-data folder)
    std::string configDir;  // $XDG_CONFIG_HOME/Orq Sync (values the registry held on Windows)
    // privateFallbackDir() when dataDir or configDir had to go there (no
    // XDG folder, no HOME, no password entry), else empty. Nothing may be
    // kept below it before fallbackFolderProblem has passed it.
    std::string privateFallback;
};

// Reads the environment once; callers keep the result.
RuntimePaths readRuntimePaths();

// $XDG_DATA_HOME, else $HOME/.local/share, else the password entry's home +
// "/.local/share", else privateFallbackDir() + "/.local/share"; in that last
// case *fallback (when given) receives privateFallbackDir(), else it is
// cleared. The data folder is this + "/Orq Sync/PCSync".
std::string dataHome(std::string* fallback = nullptr);

// Empty when paths.privateFallback is empty or may be used (created first,
// 0700, when create is set); else a plain sentence saying why not.
std::string fallbackFolderProblem(const RuntimePaths& paths, bool create);

// The loader's "orqBRAXLoader.ini" files, the one that wins first: the user's
// own in the config folder, then the one delivered in the module folder.
std::vector<std::string> loaderIniFiles(const RuntimePaths& paths);

// Folder of the loaded module file (found through dladdr), without a trailing '/'.
std::string loadedModuleDirectory();

// Creates path and every missing parent (0700: what the module keeps is the
// user's own); true when the folder exists afterwards.
bool makeDirectories(const std::string& path);

// Joins a folder and a name with exactly one '/'.
std::string joinPath(const std::string& dir, const std::string& name);

// Reads a whole regular file of at most maxBytes (readRegularFile); false,
// with the reason in problem, when it cannot be opened, is not a regular
// file, or is larger.
bool readFileBounded(const std::string& path, size_t maxBytes, std::string& out,
                     FileProblem* problem = nullptr);

// Writes content to a new private file beside path and renames it over path,
// so a crash or a full disk never leaves a truncated file behind. Refused
// when path holds anything but a regular file (replaceableByRename).
bool writeFileAtomically(const std::string& path, const std::string& content,
                         FileProblem* problem = nullptr);

}  // namespace dd::platform
