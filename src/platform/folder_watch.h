// A watch on one folder: its handle is signalled when a file in it is
// written, created, renamed or removed, so that a reader of a file there
// can look again instead of polling it.
#pragma once

#include <string>

#include "platform/native_handle.h"

namespace dd::platform {

class FolderWatch {
  public:
    // Watches path (which must exist); valid() is false when it cannot.
    explicit FolderWatch(const std::string& path);
    ~FolderWatch();
    FolderWatch(const FolderWatch&) = delete;
    FolderWatch& operator=(const FolderWatch&) = delete;

    bool valid() const { return m_handle != kNoHandle; }
    // Signalled once something changed since the last drain().
    NativeHandle handle() const { return m_handle; }
    // Takes the changes seen so far; the handle is signalled again by the next.
    void drain();

  private:
    NativeHandle m_handle = kNoHandle;
};

}  // namespace dd::platform
