#include "platform/folder_watch.h"

#include "platform/win32/win_handle.h"

namespace dd::platform {

FolderWatch::FolderWatch(const std::string& path) {
    // A file created, renamed or removed changes the names; one written in
    // place changes its size or time.
    HANDLE watch = FindFirstChangeNotificationW(
        win32::widen(path).c_str(), FALSE,
        FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE);
    if (watch != INVALID_HANDLE_VALUE && watch != nullptr) {
        m_handle = static_cast<NativeHandle>(reinterpret_cast<std::intptr_t>(watch));
    }
}

FolderWatch::~FolderWatch() {
    if (m_handle != kNoHandle) {
        FindCloseChangeNotification(reinterpret_cast<HANDLE>(m_handle));
    }
}

void FolderWatch::drain() {
    if (m_handle != kNoHandle) {
        FindNextChangeNotification(reinterpret_cast<HANDLE>(m_handle));
    }
}

}  // namespace dd::platform
