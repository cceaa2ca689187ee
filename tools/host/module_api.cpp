#include "module_api.h"

#include "platform/paths.h"
#include "platform/program_files.h"
#include "platform/regular_file.h"

bool ModuleApi::load(const std::string& folder) {
    std::string path =
        dd::platform::joinPath(folder, dd::platform::sharedLibraryName("DeviceDetect"));
    if (!dd::platform::pathExists(path)) {
        m_error = "module not found: " + path + " (build it, or pass --module-dir)";
        return false;
    }
    std::string why;
    m_library.emplace();
    if (!m_library->open(path, &why)) {
        m_library.reset();
        m_error = "cannot load " + path + ": " + (why.empty() ? "unknown error" : why);
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
    m_library.reset();
}
