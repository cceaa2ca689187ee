#include "platform/append_file.h"

#include "platform/unique_fd.h"
#include "platform/win32/win_handle.h"

namespace dd::platform {
namespace {

bool writeAll(HANDLE handle, std::string_view text) {
    size_t done = 0;
    while (done < text.size()) {
        size_t left = text.size() - done;
        DWORD chunk = left > 0x40000000u ? 0x40000000u : static_cast<DWORD>(left);
        DWORD written = 0;
        if (!WriteFile(handle, text.data() + done, chunk, &written, nullptr) || written == 0) {
            return false;
        }
        done += written;
    }
    return true;
}

HANDLE handleOf(NativeHandle value) {
    return win32::toHandle(static_cast<int>(value));
}

}  // namespace

void AppendFile::close() {
    if (m_handle != kNoHandle) {
        CloseHandle(handleOf(m_handle));
        m_handle = kNoHandle;
    }
    m_sizeAtOpen = 0;
}

bool AppendFile::append(std::string_view text) {
    return m_handle != kNoHandle && writeAll(handleOf(m_handle), text);
}

bool writeStandardError(std::string_view text) {
    HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    return writeAll(handle, text);
}

}  // namespace dd::platform
