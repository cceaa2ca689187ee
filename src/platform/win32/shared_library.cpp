#include "platform/shared_library.h"

#include "platform/win32/win_handle.h"

namespace dd::platform {
namespace {

// A path with a folder loads the libraries it needs from its own folder
// first; a missing library never brings up a system error box.
void* load(const std::string& path, std::string* error) {
    std::wstring wide = win32::widen(path);
    if (wide.empty()) {
        if (error != nullptr) {
            *error = "empty library path";
        }
        return nullptr;
    }
    for (wchar_t& c : wide) {
        if (c == L'/') {
            c = L'\\';  // the altered search takes only Windows' separator
        }
    }
    const bool hasFolder = wide.find(L'\\') != std::wstring::npos;
    if (hasFolder) {
        // The altered search is defined for a full path only.
        DWORD needed = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
        std::wstring full(needed, L'\0');
        DWORD written =
            needed > 0 ? GetFullPathNameW(wide.c_str(), needed, full.data(), nullptr) : 0;
        if (written > 0 && written < needed) {
            full.resize(written);
            wide = full;
        }
    }
    DWORD oldMode = 0;
    SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &oldMode);
    HMODULE module =
        LoadLibraryExW(wide.c_str(), nullptr, hasFolder ? LOAD_WITH_ALTERED_SEARCH_PATH : 0);
    const DWORD code = GetLastError();
    SetThreadErrorMode(oldMode, nullptr);
    if (module == nullptr && error != nullptr) {
        *error = path + ": " + win32::errorText(code);
    }
    return reinterpret_cast<void*>(module);
}

void* find(void* handle, const char* name) {
    if (handle == nullptr || name == nullptr) {
        return nullptr;
    }
    FARPROC found = GetProcAddress(static_cast<HMODULE>(handle), name);
    return reinterpret_cast<void*>(found);
}

}  // namespace

SharedLibrary::~SharedLibrary() {
    if (m_handle != nullptr) {
        FreeLibrary(static_cast<HMODULE>(m_handle));
    }
}

bool SharedLibrary::open(const std::string& path, std::string* error) {
    if (m_handle != nullptr) {
        return true;
    }
    m_handle = load(path, error);
    return m_handle != nullptr;
}

void* SharedLibrary::symbol(const char* name) const {
    return find(m_handle, name);
}

void* SharedLibrary::openForever(const std::string& path, std::string* error) {
    return load(path, error);
}

void* SharedLibrary::symbolOf(void* handle, const char* name) {
    return find(handle, name);
}

}  // namespace dd::platform
