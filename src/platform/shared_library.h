// Owner of a dlopen handle: closes it exactly once, on the thread that drops
// the owner. dlopen and dlclose take the dynamic loader's lock, which a host
// unloading this module holds while it waits for the module's threads; an
// owner must therefore be dropped on a host's thread, never on a thread of
// the module.
#pragma once

#include <string>

namespace dd::platform {

class SharedLibrary {
  public:
    SharedLibrary() = default;
    ~SharedLibrary();
    SharedLibrary(const SharedLibrary&) = delete;
    SharedLibrary& operator=(const SharedLibrary&) = delete;

    // Loads the library at path (RTLD_NOW, local symbols). False with the
    // loader's message in *error when it cannot be loaded.
    bool open(const std::string& path, std::string* error = nullptr);
    bool isOpen() const { return m_handle != nullptr; }
    // The address of a symbol, or null when the library lacks it.
    void* symbol(const char* name) const;

    // Loads a library that stays loaded until the process ends (no owner
    // closes it): its opaque handle, or null when it cannot be loaded.
    static void* openForever(const std::string& path, std::string* error = nullptr);
    // A symbol of a handle from openForever; null when the library lacks it.
    static void* symbolOf(void* handle, const char* name);

  private:
    void* m_handle = nullptr;
};

}  // namespace dd::platform
