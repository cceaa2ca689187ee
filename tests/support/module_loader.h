// Loads a fresh copy of libDeviceDetect.so for one test and unloads it after,
// so every test starts from a just-loaded module, as a host would see it.
#pragma once

#include <string>

#include "devicedetect/DeviceDetect.h"

namespace ddtest {

class LoadedModule {
  public:
    LoadedModule();  // fails the test (ADD_FAILURE) when the module does not load
    ~LoadedModule();
    LoadedModule(const LoadedModule&) = delete;
    LoadedModule& operator=(const LoadedModule&) = delete;

    static std::string path();
    bool ok() const { return m_handle != nullptr; }
    void unload();

    decltype(&::QX_InitDetect) InitDetect = nullptr;
    decltype(&::QX_SetDeviceChangeCallBack) SetDeviceChangeCallBack = nullptr;
    decltype(&::QX_SetSyncByDevCallBack) SetSyncByDevCallBack = nullptr;
    decltype(&::QX_startDetect) startDetect = nullptr;
    decltype(&::QX_stopDetect) stopDetect = nullptr;
    decltype(&::QX_DisconnectDevice) DisconnectDevice = nullptr;
    decltype(&::QX_DeviceReadyToSync) DeviceReadyToSync = nullptr;
    decltype(&::QX_DeviceSyncBegin) DeviceSyncBegin = nullptr;
    decltype(&::QX_DeviceSyncEnd) DeviceSyncEnd = nullptr;
    decltype(&::itoa) itoa = nullptr;

  private:
    void* m_handle = nullptr;
};

}  // namespace ddtest
