#include "android/device_controller_bridge.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <vector>

#include "android/adb_device_list.h"
#include "base/text_codec.h"
#include "device/device_host.h"
#include "devicedetect/DeviceController.h"
#include "log/log_stream.h"
#include "platform/paths.h"
#include "platform/program_files.h"
#include "platform/shared_library.h"

namespace {

// The runner as loaded from one path, with its two entry points.
struct LoadedRunner {
    void* handle = nullptr;
    QX_RunAdbCmdFn run = nullptr;
    QX_UnmountDiskFn unmount = nullptr;
    QX_StartAdbTrackingFn startTracking = nullptr;
    QX_StopAdbTrackingFn stopTracking = nullptr;
};

// The runner last loaded. It stays loaded for as long as the module:
// dlopen, dlsym and dlclose all take the loader's lock, and the module's
// unload waits for the phone threads while the loader holds that lock, so a
// phone thread must not need it for an adb command. The first load happens
// before any phone thread runs (preloadDeviceController). A runner loaded
// from another folder earlier (tests move the module folder) is never
// closed, as a call may still be inside it. Both variables are trivially
// destructible: nothing about them depends on the order of the module's
// static destructors, which run while phone threads may still end.
struct RunnerCache {
    char path[4096];
    LoadedRunner runner;
    bool loaded;
};
std::mutex g_runnerMutex;
RunnerCache g_runnerCache{};  // guarded by g_runnerMutex

// The runner beside the module; logs "load PATH failed." when it cannot be
// loaded (tried again on the next call).
bool findRunner(LoadedRunner& runner, bool logFailure = true) {
    std::string path = deviceControllerPath();
    std::lock_guard<std::mutex> lock(g_runnerMutex);
    if (g_runnerCache.loaded && path == g_runnerCache.path) {
        runner = g_runnerCache.runner;
        return true;
    }
    void* handle = dd::platform::SharedLibrary::openForever(path);
    if (handle == nullptr) {
        if (logFailure) {
            DD_LOG(LOG_CRIT) << "load " << path << " failed.";
        }
        return false;
    }
    runner.handle = handle;
    runner.run = reinterpret_cast<QX_RunAdbCmdFn>(
        dd::platform::SharedLibrary::symbolOf(handle, "QX_RunAdbCmd"));
    runner.unmount = reinterpret_cast<QX_UnmountDiskFn>(
        dd::platform::SharedLibrary::symbolOf(handle, "QX_UnmountDisk"));
    runner.startTracking = reinterpret_cast<QX_StartAdbTrackingFn>(
        dd::platform::SharedLibrary::symbolOf(handle, "QX_StartAdbTracking"));
    runner.stopTracking = reinterpret_cast<QX_StopAdbTrackingFn>(
        dd::platform::SharedLibrary::symbolOf(handle, "QX_StopAdbTracking"));
    if (path.size() < sizeof(g_runnerCache.path)) {
        std::memcpy(g_runnerCache.path, path.c_str(), path.size() + 1);
        g_runnerCache.runner = runner;
        g_runnerCache.loaded = true;
    }
    return true;
}

}  // namespace

void preloadDeviceController() {
    LoadedRunner runner;
    findRunner(runner, false);
}

std::string deviceControllerPath() {
    return dd::platform::joinPath(deviceHost().moduleFolder(),
                                  dd::platform::sharedLibraryName("DeviceController"));
}

int32_t RunAdbCmd(const std::string& args, std::string& output, int32_t timeLimitMs) {
    (void)timeLimitMs;  // the runner enforces the callers' common limit itself
    LoadedRunner runner;
    if (!findRunner(runner)) {
        return 1;
    }
    if (runner.run == nullptr) {
        DD_LOG(LOG_CRIT) << "unable find QX_RunAdbCmd interface in DeviceController.dll";
        return 1;
    }
    std::u16string wide = dd::utf8ToUtf16(args);
    std::vector<char> buffer(kAdbOutputBufferSize, 0);
    int32_t result = runner.run(wide.c_str(), static_cast<int32_t>(wide.size()), buffer.data(),
                                static_cast<int32_t>(buffer.size()));
    buffer.back() = 0;  // the runner promises the NUL; a broken one cannot make us read past
    std::string_view started;
    output.assign(dd::android::skipDaemonStartLines(buffer.data(), &started));
    if (!started.empty()) {
        DD_LOG(LOG_INFO) << "adb started its server for " << args << ": "
                         << started.substr(0, started.find_last_not_of('\n') + 1);
    }
    if (result != ADBCMD_OK) {
        DD_LOG(LOG_ERR) << "QX_RunAdbCmd(" << args << ") returned " << result;
    }
    return result;
}

AdbTracking StartAdbTracking(QX_AdbTrackFn callback, void* context) {
    static std::atomic<bool> s_loggedMissing{false};
    LoadedRunner runner;
    if (!findRunner(runner)) {
        return {};
    }
    if (runner.startTracking == nullptr || runner.stopTracking == nullptr) {
        if (!s_loggedMissing.exchange(true)) {
            DD_LOG(LOG_WAR) << "DeviceController has no QX_StartAdbTracking: phones are not "
                               "waited for in adb";
        }
        return {};
    }
    return {runner.startTracking(callback, context), runner.stopTracking};
}

void StopAdbTracking(AdbTracking& tracking) {
    if (tracking.tracker != nullptr && tracking.stop != nullptr) {
        tracking.stop(tracking.tracker);
    }
    tracking = {};
}

int32_t KillAdbProcess() {
    DD_LOG(LOG_DEBUG) << "call KillAdbProcess";
    std::string output;
    RunAdbCmd("kill-server", output, kAdbTimeLimitMs);
    return 1;
}

uint16_t COrqDiskHelper::UnmountDisk(DeviceRecord* record) {
    LoadedRunner runner;
    if (!findRunner(runner)) {
        return 1;
    }
    if (runner.unmount == nullptr) {
        DD_LOG(LOG_CRIT) << "unable find QX_UnmountDisk interface in DeviceController.dll";
        return 1;
    }
    return runner.unmount(record);
}
