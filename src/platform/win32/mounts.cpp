#include "platform/mounts.h"

#include "platform/win32/win_handle.h"

#include <winioctl.h>

namespace dd::platform {
namespace {

// "E:", "E:\" or "E:/": the only mount points taken here. A folder mount
// point is a reparse point in someone's folder; it is left alone rather
// than followed.
bool driveLetterOf(const std::string& mountPoint, char& letter) {
    if (mountPoint.size() < 2 || mountPoint.size() > 3 || mountPoint[1] != ':') {
        return false;
    }
    if (mountPoint.size() == 3 && mountPoint[2] != '\\' && mountPoint[2] != '/') {
        return false;
    }
    char c = mountPoint[0];
    if (c >= 'a' && c <= 'z') {
        c = static_cast<char>(c - 'a' + 'A');
    }
    if (c < 'A' || c > 'Z') {
        return false;
    }
    letter = c;
    return true;
}

}  // namespace

bool unmountNoFollow(const std::string& mountPoint, std::string* problem) {
    char letter = 0;
    if (!driveLetterOf(mountPoint, letter)) {
        if (problem != nullptr) {
            *problem = "only a drive letter (such as E:) can be taken off on Windows";
        }
        return false;
    }
    // Lock, then dismount: the lock fails while anything has a file open on
    // the volume, so nothing in use is cut off, and the dismount takes the
    // file system off the phone's disk.
    std::wstring volume = L"\\\\.\\";
    volume += static_cast<wchar_t>(letter);
    volume += L':';
    HANDLE handle =
        CreateFileW(volume.c_str(), GENERIC_READ | GENERIC_WRITE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        if (problem != nullptr) {
            *problem = win32::errorText(GetLastError());
        }
        return false;
    }
    DWORD returned = 0;
    bool done =
        DeviceIoControl(handle, FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &returned, nullptr) &&
        DeviceIoControl(handle, FSCTL_DISMOUNT_VOLUME, nullptr, 0, nullptr, 0, &returned, nullptr);
    if (!done && problem != nullptr) {
        *problem = win32::errorText(GetLastError());
    }
    CloseHandle(handle);
    return done;
}

}  // namespace dd::platform
