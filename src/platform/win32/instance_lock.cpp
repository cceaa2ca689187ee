#include "platform/instance_lock.h"

#include <fcntl.h>

#include "platform/private_dir.h"
#include "platform/win32/private_security.h"
#include "platform/win32/win_handle.h"

namespace dd::platform {
namespace {

using win32::errorText;
using win32::fromHandle;
using win32::toHandle;
using win32::widen;

constexpr char kLockSuffix[] = ".lock";

// A guard named without a folder is the machine's named mutex, the object
// every build of the suite looks for. With a folder (DEVICEDETECT_LOCK_DIR
// set, or the fallback after a planted file) it is a lock file there, as on
// Linux: tests that each point the module at a folder of their own then
// never see one another's guard, which one session-wide mutex name could
// not give them.
bool namesMutex(const std::string& lockFile) {
    return lockFile.find_first_of("/\\") == std::string::npos;
}

std::string mutexName(const std::string& lockFile) {
    const size_t suffix = sizeof(kLockSuffix) - 1;
    if (lockFile.size() > suffix &&
        lockFile.compare(lockFile.size() - suffix, suffix, kLockSuffix) == 0) {
        return lockFile.substr(0, lockFile.size() - suffix);
    }
    return lockFile;
}

bool plantedAt(const std::string& lockFile) {
    DWORD attributes = GetFileAttributesW(widen(lockFile).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return false;
    }
    if ((attributes &
         (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
        return true;
    }
    return !win32::ownershipProblem(INVALID_HANDLE_VALUE, widen(lockFile), false).empty();
}

}  // namespace

InstanceLock::Result InstanceLock::tryAcquire(const std::string& lockFile, std::string* problem) {
    release();
    if (lockFile.empty()) {
        if (problem != nullptr) {
            *problem = "no name for the single-instance guard";
        }
        return Result::Failed;
    }
    if (namesMutex(lockFile)) {
        std::string name = mutexName(lockFile);
        HANDLE mutex = CreateMutexW(nullptr, TRUE, widen(name).c_str());
        if (mutex == nullptr) {
            DWORD error = GetLastError();
            if (problem != nullptr) {
                *problem = "mutex " + name + ": " + errorText(error);
            }
            // Another user's object of that name answers "access denied":
            // someone holds the guard, just not for us to open.
            return error == ERROR_ACCESS_DENIED ? Result::HeldElsewhere : Result::Failed;
        }
        if (GetLastError() == ERROR_ALREADY_EXISTS) {
            CloseHandle(mutex);
            return Result::HeldElsewhere;
        }
        m_fd.reset(fromHandle(mutex));
        return Result::Acquired;
    }
    std::string reason;
    UniqueFd fd = openPrivateFile(lockFile, 0, &reason);
    if (!fd) {
        if (problem != nullptr) {
            *problem = reason;
        }
        return plantedAt(lockFile) ? Result::Untrusted : Result::Failed;
    }
    // The system drops the lock with the last handle, so a crashed host
    // leaves no stale guard behind.
    OVERLAPPED whole{};
    if (!LockFileEx(toHandle(fd.get()), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0,
                    MAXDWORD, MAXDWORD, &whole)) {
        DWORD error = GetLastError();
        if (error == ERROR_LOCK_VIOLATION || error == ERROR_SHARING_VIOLATION) {
            return Result::HeldElsewhere;
        }
        if (problem != nullptr) {
            *problem = lockFile + ": LockFileEx (" + errorText(error) + ")";
        }
        return Result::Failed;
    }
    m_fd = std::move(fd);
    return Result::Acquired;
}

void InstanceLock::release() {
    if (!m_fd.valid()) {
        return;
    }
    // The handle is a mutex or a lock file, and each call fails harmlessly
    // on the other kind. Only the owning thread may release a mutex; from
    // any other the close alone ends this holder's part, and the object goes
    // with its last handle.
    HANDLE handle = toHandle(m_fd.get());
    ReleaseMutex(handle);
    OVERLAPPED whole{};
    UnlockFileEx(handle, 0, MAXDWORD, MAXDWORD, &whole);
    m_fd.reset();
}

}  // namespace dd::platform
