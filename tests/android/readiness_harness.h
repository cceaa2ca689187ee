// The module side of the adb tests: theApp pointed at a sandbox whose module
// folder holds the built libDeviceController.so, the emulated server, and a
// StepContext the test scripts (presence, exit, pauses that return at once).
#pragma once

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>

#include "adb_harness.h"
#include "core/device_detect_app.h"
#include "platform/exit_flag.h"
#include "log/log_stream.h"

namespace ddtest {

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
