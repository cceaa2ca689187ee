#include "android/device_controller_bridge.h"

#include <dlfcn.h>

#include <memory>
#include <vector>

#include "core/device_detect_app.h"
#include "core/text_codec.h"
#include "devicedetect/DeviceController.h"
#include "log/log_stream.h"
#include "platform/paths.h"

namespace {

struct LibraryCloser {
    void operator()(void* handle) const { dlclose(handle); }
};
using LibraryHandle = std::unique_ptr<void, LibraryCloser>;

// Loads the runner afresh; logs "load PATH failed." when it cannot.
LibraryHandle loadDeviceController() {
    std::string path = deviceControllerPath();
    LibraryHandle handle(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL));
    if (!handle) {
        DD_LOG(LOG_CRIT) << "load " << path << " failed.";
    }
    return handle;
}

}  // namespace

std::string deviceControllerPath() {
    return dd::platform::joinPath(theApp.moduleFolder(), "libDeviceController.so");
}

int32_t RunAdbCmd(const std::string& args, std::string& output, int32_t timeLimitMs) {
    (void)timeLimitMs;  // the runner enforces the callers' common limit itself
    LibraryHandle library = loadDeviceController();
    if (!library) {
        return 1;
    }
    auto run = reinterpret_cast<QX_RunAdbCmdFn>(dlsym(library.get(), "QX_RunAdbCmd"));
    if (run == nullptr) {
        DD_LOG(LOG_CRIT) << "unable find QX_RunAdbCmd interface in DeviceController.dll";
        return 1;
    }
    std::u16string wide = dd::utf8ToUtf16(args);
    std::vector<char> buffer(kAdbOutputBufferSize, 0);
    int32_t result = run(wide.c_str(), static_cast<int32_t>(wide.size()), buffer.data(),
                         static_cast<int32_t>(buffer.size()));
    buffer.back() = 0;  // the runner promises the NUL; a broken one cannot make us read past
    output.assign(buffer.data());
    if (result != ADBCMD_OK) {
        DD_LOG(LOG_ERR) << "QX_RunAdbCmd(" << args << ") returned " << result;
    }
    return result;
}

int32_t KillAdbProcess() {
    DD_LOG(LOG_DEBUG) << "call KillAdbProcess";
    std::string output;
    RunAdbCmd("kill-server", output, kAdbTimeLimitMs);
    return 1;
}

uint16_t COrqDiskHelper::UnmountDisk(DeviceRecord* record) {
    LibraryHandle library = loadDeviceController();
    if (!library) {
        return 1;
    }
    auto unmount = reinterpret_cast<QX_UnmountDiskFn>(dlsym(library.get(), "QX_UnmountDisk"));
    if (unmount == nullptr) {
        DD_LOG(LOG_CRIT) << "unable find QX_UnmountDisk interface in DeviceController.dll";
        return 1;
    }
    return unmount(record);
}
