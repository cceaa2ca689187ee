// The module as the host sees it: the loaded library and its exports, called
// through pointers of the exports' own type (QX_CALL: __stdcall on 32-bit
// Windows), as the suite calls them.
#pragma once

#include <optional>
#include <string>

#include "devicedetect/DeviceDetect.h"
#include "platform/shared_library.h"

class ModuleApi {
  public:
    ModuleApi() = default;
    ~ModuleApi() { unload(); }
    ModuleApi(const ModuleApi&) = delete;
    ModuleApi& operator=(const ModuleApi&) = delete;

    // Loads the module file (libDeviceDetect.so, DeviceDetect.dll) from
    // folder; on failure error() says why.
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
        fn = reinterpret_cast<Fn>(m_library->symbol(name));
        if (fn == nullptr) {
            m_error = std::string("the module has no export ") + name;
        }
        return fn != nullptr;
    }

    std::optional<dd::platform::SharedLibrary> m_library;
    std::string m_error;
};
