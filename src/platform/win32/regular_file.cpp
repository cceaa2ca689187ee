#include "platform/regular_file.h"

#include <atomic>

#include "platform/win32/private_security.h"
#include "platform/win32/win_handle.h"

#include <bcrypt.h>

namespace dd::platform {
namespace {

using win32::errorText;
using win32::fromHandle;
using win32::toHandle;
using win32::widen;

bool missingError(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

void setOpenError(const std::string& path, DWORD error, FileProblem* problem) {
    if (missingError(error)) {
        setFileProblem(problem, FileRefusal::Missing, static_cast<int>(error),
                       path + " does not exist");
    } else if (error == ERROR_PIPE_BUSY || error == ERROR_BAD_PIPE) {
        setFileProblem(problem, FileRefusal::NotRegular, static_cast<int>(error),
                       path + " is a pipe, not a regular file; not opened");
    } else {
        setFileProblem(problem, FileRefusal::Failed, static_cast<int>(error),
                       path + ": cannot open (" + errorText(error) + ")");
    }
}

// Refuses what the attributes show is not a plain file: a folder, a device,
// or (when links may not be followed) a reparse point, which is what both a
// symbolic link and a junction are.
bool refuseAttributes(const std::string& path, DWORD attributes, bool noFollow,
                      FileProblem* problem) {
    if (noFollow && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        setFileProblem(problem, FileRefusal::Link, 0,
                       path + " is a symbolic link or junction; not opened");
        return true;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        setFileProblem(problem, FileRefusal::NotRegular, 0,
                       path + " is a folder, not a regular file; not opened");
        return true;
    }
    if ((attributes & FILE_ATTRIBUTE_DEVICE) != 0) {
        setFileProblem(problem, FileRefusal::NotRegular, 0,
                       path + " is a device, not a regular file; not opened");
        return true;
    }
    return false;
}

// What the open handle is: only a file on a disk is a regular file (a
// console, a pipe or a serial port answers another type).
bool refuseHandle(const std::string& path, HANDLE handle, bool noFollow, FileProblem* problem) {
    DWORD type = GetFileType(handle);
    if (type != FILE_TYPE_DISK) {
        const char* what = type == FILE_TYPE_PIPE   ? "a pipe"
                           : type == FILE_TYPE_CHAR ? "a character device"
                                                    : "not a plain file";
        setFileProblem(problem, FileRefusal::NotRegular, 0,
                       path + " is " + what + ", not a regular file; not opened");
        return true;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(handle, &info)) {
        setOpenError(path, GetLastError(), problem);
        return true;
    }
    return refuseAttributes(path, info.dwFileAttributes, noFollow, problem);
}

DWORD accessFor(int flags) {
    const int mode = flags & O_ACCMODE;
    DWORD access = FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE;
    if (mode == O_RDONLY || mode == O_RDWR) {
        access |= GENERIC_READ;
    }
    if (mode == O_WRONLY || mode == O_RDWR) {
        // Append-only access makes every write land at the end, whoever
        // else writes to the file: what O_APPEND promises.
        access |=
            (flags & O_APPEND) != 0 ? (FILE_APPEND_DATA | FILE_WRITE_ATTRIBUTES) : GENERIC_WRITE;
    }
    return access;
}

DWORD dispositionFor(int flags) {
    if ((flags & O_CREAT) == 0) {
        return OPEN_EXISTING;
    }
    return (flags & O_EXCL) != 0 ? CREATE_NEW : OPEN_ALWAYS;
}

std::string randomSuffix() {
    static constexpr char kChars[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    static std::atomic<unsigned> counter{0};
    unsigned char bytes[6] = {};
    if (!BCRYPT_SUCCESS(
            BCryptGenRandom(nullptr, bytes, sizeof(bytes), BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
        // Uniqueness is all a temporary name needs, and CREATE_NEW catches
        // a clash.
        unsigned long long mix =
            (static_cast<unsigned long long>(GetCurrentProcessId()) * 2654435761u) ^
            GetTickCount64() ^ counter++;
        for (unsigned char& b : bytes) {
            b = static_cast<unsigned char>(mix);
            mix = mix * 6364136223846793005ull + 1442695040888963407ull;
        }
    }
    std::string out;
    for (unsigned char b : bytes) {
        out += kChars[b % (sizeof(kChars) - 1)];
    }
    return out;
}

}  // namespace

UniqueFd openRegularFile(const std::string& path, int flags, FileProblem* problem) {
    const bool noFollow = (flags & O_NOFOLLOW) != 0;
    const bool truncate = (flags & O_TRUNC) != 0;
    const std::wstring wide = widen(path);
    // Look first, so that a device is never opened at all (opening one can
    // act on it); the handle's own type and attributes close the gap.
    DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        if (refuseAttributes(path, attributes, noFollow, problem)) {
            return {};
        }
    } else if (DWORD error = GetLastError(); !missingError(error)) {
        setOpenError(path, error, problem);
        return {};
    }
    win32::PrivateSecurity privateOnly;
    DWORD openFlags = FILE_ATTRIBUTE_NORMAL | (noFollow ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
    HANDLE handle = CreateFileW(
        wide.c_str(), accessFor(flags), FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        privateOnly.attributes(), dispositionFor(flags), openFlags, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        setOpenError(path, GetLastError(), problem);
        return {};
    }
    UniqueFd fd(fromHandle(handle));
    if (refuseHandle(path, handle, noFollow, problem)) {
        return {};
    }
    if (truncate && !SetEndOfFile(handle)) {
        DWORD error = GetLastError();
        setFileProblem(problem, FileRefusal::Failed, static_cast<int>(error),
                       path + ": cannot prepare the file (" + errorText(error) + ")");
        return {};
    }
    setFileProblem(problem, FileRefusal::None, 0, {});
    return fd;
}

long readFromFile(int fd, void* buffer, size_t size) {
    DWORD chunk = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
    DWORD got = 0;
    if (!ReadFile(toHandle(fd), buffer, chunk, &got, nullptr)) {
        return GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
    }
    return static_cast<long>(got);
}

int lastFileError() {
    return static_cast<int>(GetLastError());
}

std::string fileErrorText(int error) {
    return errorText(static_cast<DWORD>(error));
}

long writeToFile(int fd, const void* data, size_t size) {
    DWORD chunk = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
    DWORD done = 0;
    if (!WriteFile(toHandle(fd), data, chunk, &done, nullptr)) {
        return -1;
    }
    return static_cast<long>(done);
}

bool openFileSize(int fd, uint64_t& size) {
    LARGE_INTEGER value{};
    if (!GetFileSizeEx(toHandle(fd), &value) || value.QuadPart < 0) {
        return false;
    }
    size = static_cast<uint64_t>(value.QuadPart);
    return true;
}

bool closeFile(UniqueFd& fd) {
    return !fd.valid() || CloseHandle(toHandle(fd.release())) != 0;
}

bool renameFile(const std::string& from, const std::string& to) {
    // Write-through: the rename is on disk before the call returns, so the
    // file is never found half replaced after a crash.
    return MoveFileExW(widen(from).c_str(), widen(to).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

void removeFile(const std::string& path) {
    DeleteFileW(widen(path).c_str());
}

bool pathExists(const std::string& path) {
    return GetFileAttributesW(widen(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

UniqueFd createFileBeside(const std::string& path, const std::string& tag, std::string& tempPath,
                          FileProblem* problem) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        tempPath = path + tag + randomSuffix();
        FileProblem why;
        UniqueFd fd = openRegularFile(tempPath, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, &why);
        if (fd) {
            return fd;
        }
        if (why.error != ERROR_FILE_EXISTS && why.error != ERROR_ALREADY_EXISTS &&
            why.kind != FileRefusal::Link && why.kind != FileRefusal::NotRegular) {
            if (problem != nullptr) {
                *problem = why;
            }
            return {};
        }
    }
    setFileProblem(problem, FileRefusal::Failed, ERROR_FILE_EXISTS,
                   path + ": no free temporary name beside it");
    return {};
}

bool replaceableByRename(const std::string& path, FileProblem* problem) {
    // The attributes of a reparse point are its own: it is not followed.
    DWORD attributes = GetFileAttributesW(widen(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        DWORD error = GetLastError();
        if (missingError(error)) {
            return true;
        }
        setOpenError(path, error, problem);
        return false;
    }
    // A rename replaces a link itself and never writes through it, but a
    // junction is a folder and stays.
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
        (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return true;
    }
    if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
        const char* what = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? "a folder" : "a device";
        setFileProblem(problem, FileRefusal::NotRegular, 0,
                       path + " is " + what + ", not a regular file; not replaced");
        return false;
    }
    return true;
}

}  // namespace dd::platform
