#include "module_api.h"

#include <sys/stat.h>

bool ModuleApi::load(const std::string& folder) {
    std::string path = folder + "/libDeviceDetect.so";
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        m_error = "module not found: " + path + " (build it, or pass --module-dir)";
        return false;
    }
    m_handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (m_handle == nullptr) {
        const char* why = dlerror();
        m_error = "cannot load " + path + ": " + (why != nullptr ? why : "unknown error");
        return false;
    }
    return bind(initDetect, "QX_InitDetect") &&
           bind(setDeviceChangeCallBack, "QX_SetDeviceChangeCallBack") &&
           bind(setSyncByDevCallBack, "QX_SetSyncByDevCallBack") &&
           bind(startDetect, "QX_startDetect") && bind(stopDetect, "QX_stopDetect") &&
           bind(disconnectDevice, "QX_DisconnectDevice") &&
           bind(deviceReadyToSync, "QX_DeviceReadyToSync") &&
           bind(deviceSyncBegin, "QX_DeviceSyncBegin") && bind(deviceSyncEnd, "QX_DeviceSyncEnd");
}

void ModuleApi::unload() {
    if (m_handle != nullptr) {
        dlclose(m_handle);
        m_handle = nullptr;
    }
}
