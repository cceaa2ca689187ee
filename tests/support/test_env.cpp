#include "test_env.h"

#include <dirent.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace ddtest {
namespace {

// Outside a Sandbox (between tests, and when the in-process application
// object logs its stop as the test program exits) the module still finds its
// data folder and log through HOME and the XDG folders: for the whole test
// process they lie in the build tree, so no test writes to the real home.
[[maybe_unused]] const bool g_homeInBuildTree = [] {
    std::string home = std::string(DD_TEST_BIN_DIR) + "/../test-home";
    setenv("HOME", home.c_str(), 1);
    setenv("XDG_DATA_HOME", (home + "/.local/share").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (home + "/.config").c_str(), 1);
    return true;
}();

}  // namespace

TempDir::TempDir(const std::string& tag) {
    struct stat st {};
    std::string base =
        (stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) && access("/dev/shm", W_OK) == 0)
            ? "/dev/shm"
            : "/tmp";
    std::string pattern = base + "/" + tag + "-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    m_path = pattern;
}

TempDir::~TempDir() {
    removeTree(m_path);
}

ScopedEnv::ScopedEnv(const std::string& name, const std::string& value) : m_name(name) {
    if (const char* old = std::getenv(name.c_str()); old != nullptr) {
        m_had = true;
        m_old = old;
    }
    setenv(name.c_str(), value.c_str(), 1);
}

ScopedEnv::~ScopedEnv() {
    if (m_had) {
        setenv(m_name.c_str(), m_old.c_str(), 1);
    } else {
        unsetenv(m_name.c_str());
    }
}

Sandbox::Sandbox(const std::string& logLevel) : root("ddsandbox") {
    moduleDir = root / "module";
    sysfsRoot = root / "sys";
    devRoot = root / "dev";
    lockDir = root / "lock";
    dataHome = root / "data";
    configHome = root / "config";
    logFile = root / "DeviceDetect.log";
    for (const std::string& dir :
         {moduleDir, sysfsRoot + "/bus/usb/devices", devRoot, lockDir, dataHome, configHome}) {
        makeDirs(dir);
    }
    writeFile(moduleDir + "/device.xml", readFile(std::string(DD_TEST_DATA_DIR) + "/device.xml"));
    // The module loads its sibling libraries from its own folder.
    for (const char* sibling : {"libDeviceController.so", "libQXWIFIFinder.so"}) {
        std::string built = std::string(DD_TEST_MODULE_DIR) + "/" + sibling;
        if (access(built.c_str(), F_OK) == 0) {
            symlink(built.c_str(), (moduleDir + "/" + sibling).c_str());
        }
    }
    writeFile(moduleDir + "/orqBRAXLoader.ini", "[Detect]\nLogLevel=" + logLevel + "\n");
    std::pair<const char*, std::string> vars[] = {
        {"DEVICEDETECT_MODULE_DIR", moduleDir},
        {"DEVICEDETECT_SYSFS_ROOT", sysfsRoot},
        {"DEVICEDETECT_DEV_ROOT", devRoot},
        {"DEVICEDETECT_LOCK_DIR", lockDir},
        {"XDG_DATA_HOME", dataHome},
        {"XDG_CONFIG_HOME", configHome},
        {"DEVICEDETECT_LOG_FILE", logFile},
        {"HOME", root / "home"},
        // No adb server unless a test starts the emulated one: a refused
        // port, and no adb program that could start a real server.
        {"ANDROID_ADB_SERVER_PORT", "1"},
        {"DEVICEDETECT_ADB", root / "no-adb"},
    };
    for (const auto& [name, value] : vars) {
        m_env.push_back(std::make_unique<ScopedEnv>(name, value));
    }
}

void Sandbox::writeModuleFile(const std::string& name, const std::string& content) const {
    writeFile(moduleDir + "/" + name, content);
}

std::string Sandbox::log() const {
    return readFile(logFile);
}

bool Sandbox::logContains(const std::string& text) const {
    return log().find(text) != std::string::npos;
}

size_t Sandbox::logCount(const std::string& text) const {
    return countOf(log(), text);
}

size_t countOf(const std::string& text, const std::string& what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++count;
    }
    return count;
}

bool Sandbox::waitForLog(const std::string& text, std::chrono::milliseconds deadline) const {
    return waitUntil([&] { return logContains(text); }, deadline);
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds deadline) {
    auto end = std::chrono::steady_clock::now() + deadline;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

void makeDirs(const std::string& path) {
    for (size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1)) {
        mkdir(path.substr(0, pos).c_str(), 0755);
    }
    mkdir(path.c_str(), 0755);
}

void removeTree(const std::string& path) {
    nftw(
        path.c_str(),
        [](const char* p, const struct stat*, int, struct FTW*) { return ::remove(p); }, 64,
        FTW_DEPTH | FTW_PHYS);
}

bool fileExists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> listDir(const std::string& path) {
    std::vector<std::string> names;
    if (DIR* dir = opendir(path.c_str()); dir != nullptr) {
        while (dirent* entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name != "." && name != "..") {
                names.push_back(name);
            }
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace ddtest
