#include "module_loader.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

namespace ddtest {

std::string LoadedModule::path() {
    return std::string(DD_TEST_MODULE_DIR) + "/libDeviceDetect.so";
}

LoadedModule::LoadedModule() {
    m_handle = dlopen(path().c_str(), RTLD_NOW | RTLD_LOCAL);
    if (m_handle == nullptr) {
        ADD_FAILURE() << "cannot load " << path() << ": " << dlerror();
        return;
    }
    auto bind = [this](auto& fn, const char* name) {
        fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(dlsym(m_handle, name));
        if (fn == nullptr) {
            ADD_FAILURE() << "missing export " << name;
        }
    };
    bind(InitDetect, "QX_InitDetect");
    bind(SetDeviceChangeCallBack, "QX_SetDeviceChangeCallBack");
    bind(SetSyncByDevCallBack, "QX_SetSyncByDevCallBack");
    bind(startDetect, "QX_startDetect");
    bind(stopDetect, "QX_stopDetect");
    bind(DisconnectDevice, "QX_DisconnectDevice");
    bind(DeviceReadyToSync, "QX_DeviceReadyToSync");
    bind(DeviceSyncBegin, "QX_DeviceSyncBegin");
    bind(DeviceSyncEnd, "QX_DeviceSyncEnd");
    bind(itoa, "itoa");
}

LoadedModule::~LoadedModule() {
    unload();
}

void LoadedModule::unload() {
    if (m_handle != nullptr) {
        dlclose(m_handle);
        m_handle = nullptr;
    }
}

}  // namespace ddtest
