// Machine-wide single-instance guard: an exclusive flock on a well-known file.
// The kernel drops the lock when the holder exits, so a crashed host never
// leaves a stale guard behind.
#pragma once

#include <string>

#include "platform/unique_fd.h"

namespace dd::platform {

class InstanceLock {
  public:
    enum class Result {
        Acquired,       // this object holds the guard now
        HeldElsewhere,  // another open of the file (this or another process) holds it
        Untrusted,      // the path is a symbolic link or someone else's file: not used
        Failed,         // the lock file could not be opened
    };

    // Tries once, without waiting. The file is this user's own, 0600, never
    // reached through a symbolic link: a file another user planted can
    // neither redirect the open nor hold the guard. problem (when given)
    // says what was wrong for Untrusted and Failed.
    Result tryAcquire(const std::string& lockFile, std::string* problem = nullptr);
    void release();
    bool held() const { return m_fd.valid(); }

  private:
    UniqueFd m_fd;
};

}  // namespace dd::platform
