#include "platform/private_dir.h"

#include "platform/paths.h"
#include "platform/regular_file.h"
#include "platform/win32/private_security.h"
#include "platform/win32/win_handle.h"

namespace dd::platform {
namespace {

using win32::errorText;
using win32::toHandle;
using win32::widen;

void setProblem(std::string* problem, std::string text) {
    if (problem != nullptr) {
        *problem = std::move(text);
    }
}

}  // namespace

std::string privateFallbackDir() {
    // The user's own temporary folder (TMP or TEMP, else the profile's),
    // and in it a folder named for the account's SID: a name no other user
    // shares, made of digits, letters and '-' only.
    wchar_t buffer[MAX_PATH + 2] = {};
    DWORD length = GetTempPathW(MAX_PATH + 1, buffer);
    std::string base = (length > 0 && length <= MAX_PATH + 1)
                           ? win32::narrow(std::wstring_view(buffer, length))
                           : std::string("C:/Windows/Temp");
    while (base.size() > 3 && (base.back() == '\\' || base.back() == '/')) {
        base.pop_back();
    }
    std::string sid = win32::currentUserSidText();
    return joinPath(base, "devicedetect-" + (sid.empty() ? std::string("user") : sid));
}

bool checkPrivateDir(const std::string& path, std::string* problem) {
    if (path.empty()) {
        setProblem(problem, "empty folder name");
        return false;
    }
    const std::wstring wide = widen(path);
    DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        setProblem(problem, path + ": cannot use the folder (" + errorText(GetLastError()) + ")");
        return false;
    }
    // A junction or a directory link leads somewhere else: whoever made it
    // chose where our files would go.
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        setProblem(problem, path + " is a symbolic link or junction");
        return false;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        setProblem(problem, path + " is not a folder");
        return false;
    }
    // Not ours alone: whoever could enter it may have left links there, or
    // read what we would keep, and tightening it now would not undo that.
    if (std::string why = win32::ownershipProblem(INVALID_HANDLE_VALUE, wide, true); !why.empty()) {
        setProblem(problem, path + " " + why);
        return false;
    }
    return true;
}

UniqueFd openPrivateFile(const std::string& path, int flags, std::string* problem) {
    // Truncation waits for the owner check: another user's file is never cut.
    FileProblem why;
    UniqueFd fd = openRegularFile(path, O_WRONLY | O_CREAT | O_NOFOLLOW | (flags & ~O_TRUNC), &why);
    if (!fd) {
        setProblem(problem, why.text);
        return {};
    }
    HANDLE handle = toHandle(fd.get());
    if (std::string owner = win32::ownershipProblem(handle, {}, false); !owner.empty()) {
        setProblem(problem, path + " " + owner);
        return {};
    }
    if ((flags & O_TRUNC) != 0 && !SetEndOfFile(handle)) {
        setProblem(problem, path + ": cannot empty (" + errorText(GetLastError()) + ")");
        return {};
    }
    return fd;
}

}  // namespace dd::platform
