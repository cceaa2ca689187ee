#include "platform/shared_library.h"

#include <dlfcn.h>

namespace dd::platform {

SharedLibrary::~SharedLibrary() {
    if (m_handle != nullptr) {
        dlclose(m_handle);
    }
}

bool SharedLibrary::open(const std::string& path, std::string* error) {
    if (m_handle != nullptr) {
        return true;
    }
    m_handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (m_handle == nullptr && error != nullptr) {
        const char* text = dlerror();
        *error = text != nullptr ? text : "unknown error";
    }
    return m_handle != nullptr;
}

void* SharedLibrary::symbol(const char* name) const {
    return m_handle != nullptr ? dlsym(m_handle, name) : nullptr;
}

void* SharedLibrary::openForever(const std::string& path, std::string* error) {
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr && error != nullptr) {
        const char* text = dlerror();
        *error = text != nullptr ? text : "unknown error";
    }
    return handle;
}

void* SharedLibrary::symbolOf(void* handle, const char* name) {
    return handle != nullptr ? dlsym(handle, name) : nullptr;
}

}  // namespace dd::platform
