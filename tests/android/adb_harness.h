// What the adb tests add to the adb environment: the runner library loaded
// as the module loads it (with a guard area past its output buffer), and the
// module side: theApp pointed at a sandbox whose module folder holds the
// runner, and a StepContext the test scripts (presence, exit, pauses that
// return at once).
#pragma once

#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "adb_server.h"
#include "base/text_codec.h"
#include "core/device_detect_app.h"
#include "devicedetect/DeviceController.h"
#include "log/log_stream.h"
#include "loopback_sockets.h"
#include "platform/exit_flag.h"
#include "support/adb_environment.h"
#include "support/test_env.h"

namespace ddtest {

// libDeviceController.so as the module loads it.
class DeviceControllerLib {
  public:
    DeviceControllerLib() {
        std::string path = std::string(DD_TEST_MODULE_DIR) + "/libDeviceController.so";
        m_handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        EXPECT_NE(m_handle, nullptr) << dlerror();
        if (m_handle != nullptr) {
            m_run = reinterpret_cast<QX_RunAdbCmdFn>(dlsym(m_handle, "QX_RunAdbCmd"));
            m_unmount = reinterpret_cast<QX_UnmountDiskFn>(dlsym(m_handle, "QX_UnmountDisk"));
        }
    }
    ~DeviceControllerLib() {
        if (m_handle != nullptr) {
            dlclose(m_handle);
        }
    }
    DeviceControllerLib(const DeviceControllerLib&) = delete;
    DeviceControllerLib& operator=(const DeviceControllerLib&) = delete;

    CommandResult run(const std::string& args, size_t outSize = 40960) const {
        CommandResult result;
        std::u16string wide = dd::utf8ToUtf16(args);
        std::vector<char> out(outSize + 64, '\x5a');  // a guard area past the buffer
        result.code = m_run(wide.c_str(), static_cast<int32_t>(wide.size()), out.data(),
                            static_cast<int32_t>(outSize));
        for (size_t i = outSize; i < out.size(); ++i) {
            EXPECT_EQ(out[i], '\x5a') << "written past the buffer at " << i;
        }
        result.text.assign(out.data(), strnlen(out.data(), outSize));
        EXPECT_LT(result.text.size(), outSize) << "no NUL inside the buffer";
        return result;
    }
    uint16_t unmount(DeviceRecord* record) const { return m_unmount(record); }
    QX_RunAdbCmdFn entry() const { return m_run; }
    void* symbol(const char* name) const { return dlsym(m_handle, name); }

  private:
    void* m_handle = nullptr;
    QX_RunAdbCmdFn m_run = nullptr;
    QX_UnmountDiskFn m_unmount = nullptr;
};

// Points the runner at a loopback port, by default one nobody listens on.
class AdbServerPort : public ScopedEnv {
  public:
    explicit AdbServerPort(uint16_t port = freePort())
        : ScopedEnv("ANDROID_ADB_SERVER_PORT", std::to_string(port)) {}
};

// An "adb" script body that starts phonesim's server, with the phones the
// options give, as a daemon on the port of "adb -P PORT start-server".
inline std::string phonesimDaemon(const std::string& options) {
    return "exec '" + std::string(DD_TEST_BIN_DIR) + "/phonesim' adb --port \"$2\" " + options +
           " --daemon";
}

// Runs body(0) .. body(count - 1) on threads of their own and joins them.
inline void onThreads(int count, const std::function<void(int)>& body) {
    std::vector<std::thread> threads;
    for (int t = 0; t < count; ++t) {
        threads.emplace_back(body, t);
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
}

// Splits a command line at blanks (the tests' command lines hold no quotes).
inline std::vector<std::string> words(const std::string& line) {
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos < line.size()) {
        size_t end = line.find(' ', pos);
        if (end == std::string::npos)
            end = line.size();
        if (end > pos)
            out.push_back(line.substr(pos, end - pos));
        pos = end + 1;
    }
    return out;
}

class ScriptedStep : public dd::StepContext {
  public:
    bool devicePresent() override {
        ++presenceChecks;
        return present();
    }
    bool exitRequested() const override { return exit.load(); }
    bool pause(std::chrono::milliseconds duration) override {
        int n = ++pauses;
        pausedMs += static_cast<int>(duration.count());
        if (onPause) {
            onPause(n);
        }
        return !exit.load();
    }

    std::function<bool()> present = [] { return true; };
    std::function<void(int)> onPause;  // called with the pause's number (1-based)
    std::atomic<bool> exit{false};
    std::atomic<int> pauses{0};
    std::atomic<int> pausedMs{0};
    std::atomic<int> presenceChecks{0};
};

// theApp as a running module with one phone thread, and the runner beside it.
class ModuleWithRunner {
  public:
    explicit ModuleWithRunner(bool withRunner = true) {
        // The sandbox links the runner into its module folder.
        if (!withRunner) {
            unlink((sandbox.moduleDir + "/libDeviceController.so").c_str());
        }
        theApp.readLoaderConfig();
        theApp.m_bStopped = 0;
        theApp.m_lConnectCount = 1;
    }
    ~ModuleWithRunner() {
        theApp.m_bStopped = 1;
        theApp.m_lConnectCount = 0;
        LogInit(LOG_OPT_HEADER, 0, "DeviceDetect");  // nothing may log outside the sandbox
    }
    Sandbox sandbox;
};

}  // namespace ddtest
