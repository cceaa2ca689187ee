// Where the module finds its files and the machine's trees. Every value can
// be overridden from the environment, which is how tests and the demo point
// the module at a fake machine.
#pragma once

#include <string>
#include <vector>

namespace dd::platform {

struct RuntimePaths {
    std::string moduleDir;  // DEVICEDETECT_MODULE_DIR, else the folder of libDeviceDetect.so
    std::string sysfsRoot;  // DEVICEDETECT_SYSFS_ROOT, else /sys
    std::string devRoot;    // DEVICEDETECT_DEV_ROOT, else /dev
    std::string lockDir;  // DEVICEDETECT_LOCK_DIR, else $XDG_RUNTIME_DIR, else privateFallbackDir()
    std::string adbBinary;  // DEVICEDETECT_ADB, else "adb" (looked up on PATH)
    std::string dataDir;    // $XDG_DATA_HOME/Orq Sync/PCSync (the application-data folder)
    std::string configDir;  // $XDG_CONFIG_HOME/Orq Sync (values the registry held on Windows)
};

// Reads the environment once; callers keep the result.
RuntimePaths readRuntimePaths();

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

// Reads a whole file of at most maxBytes; false when it cannot be opened or is larger.
bool readFileBounded(const std::string& path, size_t maxBytes, std::string& out);

// Writes content to a temporary file beside path and renames it over path, so
// a crash or a full disk never leaves a truncated file behind.
bool writeFileAtomically(const std::string& path, const std::string& content);

}  // namespace dd::platform
