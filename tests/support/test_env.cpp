#include "test_env.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace fs = std::filesystem;

namespace ddtest {
namespace {

void setEnv(const std::string& name, const std::string& value) {
#ifdef _WIN32
    _putenv_s(name.c_str(), value.c_str());
#else
    setenv(name.c_str(), value.c_str(), 1);
#endif
}

void unsetEnv(const std::string& name) {
#ifdef _WIN32
    _putenv_s(name.c_str(), "");
#else
    unsetenv(name.c_str());
#endif
}

// Outside a Sandbox (between tests, and when the in-process application
// object logs its stop as the test program exits) the module still finds its
// data folder and log through HOME and the XDG folders: for the whole test
// process they lie in the build tree, so no test writes to the real home.
[[maybe_unused]] const bool g_homeInBuildTree = [] {
    std::string home = std::string(DD_TEST_BIN_DIR) + "/../test-home";
    setEnv("HOME", home);
    setEnv("XDG_DATA_HOME", home + "/.local/share");
    setEnv("XDG_CONFIG_HOME", home + "/.config");
    return true;
}();

}  // namespace

TempDir::TempDir(const std::string& tag) {
    std::error_code ec;
    fs::path base =
        fs::is_directory("/dev/shm", ec) ? fs::path("/dev/shm") : fs::temp_directory_path();
    std::random_device seed;
    std::mt19937_64 random(seed());
    for (int attempt = 0; attempt < 100; ++attempt) {
        fs::path candidate = base / (tag + "-" + std::to_string(random() % 1000000000));
        if (fs::create_directory(candidate, ec)) {
            // Private, as mkdtemp makes it.
            fs::permissions(candidate, fs::perms::owner_all, ec);
            m_path = candidate.generic_string();
            return;
        }
    }
    throw std::runtime_error("no temporary folder could be made in " + base.string());
}

TempDir::~TempDir() {
    removeTree(m_path);
}

ScopedEnv::ScopedEnv(const std::string& name, const std::string& value) : m_name(name) {
    if (const char* old = std::getenv(name.c_str()); old != nullptr) {
        m_had = true;
        m_old = old;
    }
    setEnv(name, value);
}

ScopedEnv::~ScopedEnv() {
    if (m_had) {
        setEnv(m_name, m_old);
    } else {
        unsetEnv(m_name);
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
#ifdef _WIN32
    for (const char* sibling : {"DeviceController.dll", "QXWIFIFinder.dll"}) {
        std::error_code ec;
        fs::copy_file(std::string(DD_TEST_MODULE_DIR) + "/" + sibling, moduleDir + "/" + sibling,
                      ec);
    }
#else
    for (const char* sibling : {"libDeviceController.so", "libQXWIFIFinder.so"}) {
        std::error_code ec;
        std::string built = std::string(DD_TEST_MODULE_DIR) + "/" + sibling;
        if (fs::exists(built, ec)) {
            fs::create_symlink(built, moduleDir + "/" + sibling, ec);
        }
    }
#endif
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
    std::error_code ec;
    fs::create_directories(path, ec);
}

void removeTree(const std::string& path) {
    std::error_code ec;
    fs::remove_all(path, ec);
}

bool fileExists(const std::string& path) {
    std::error_code ec;
    return fs::exists(fs::symlink_status(path, ec));
}

std::vector<std::string> listDir(const std::string& path) {
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
        names.push_back(it->path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace ddtest
