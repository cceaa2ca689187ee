// The module as the host sees it: a dlopen handle and the ten exports.
#pragma once

#include <dlfcn.h>

#include <string>

#include "devicedetect/DeviceDetect.h"

class ModuleApi {
  public:
    ModuleApi() = default;
    ~ModuleApi() { unload(); }
    ModuleApi(const ModuleApi&) = delete;
    ModuleApi& operator=(const ModuleApi&) = delete;

    // Loads libDeviceDetect.so from folder; on failure error() says why.
    bool load(const std::string& folder);
    // Unloading runs the module's own shutdown and waits for its threads.
    void unload();
    const std::string& error() const { return m_error; }

    decltype(&::QX_InitDetect) initDetect = nullptr;
    decltype(&::QX_SetDeviceChangeCallBack) setDeviceChangeCallBack = nullptr;
    decltype(&::QX_SetSyncByDevCallBack) setSyncByDevCallBack = nullptr;
    decltype(&::QX_startDetect) startDetect = nullptr;
    decltype(&::QX_stopDetect) stopDetect = nullptr;
    decltype(&::QX_DisconnectDevice) disconnectDevice = nullptr;
    decltype(&::QX_DeviceReadyToSync) deviceReadyToSync = nullptr;
    decltype(&::QX_DeviceSyncBegin) deviceSyncBegin = nullptr;
    decltype(&::QX_DeviceSyncEnd) deviceSyncEnd = nullptr;

  private:
    template <typename Fn>
    bool bind(Fn& fn, const char* name) {
        fn = reinterpret_cast<Fn>(dlsym(m_handle, name));
        if (fn == nullptr) {
            m_error = std::string("the module has no export ") + name;
        }
        return fn != nullptr;
    }

    void* m_handle = nullptr;
    std::string m_error;
};
