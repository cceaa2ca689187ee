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
        Failed,         // the lock file could not be opened
    };

    // Tries once, without waiting.
    Result tryAcquire(const std::string& lockFile);
    void release();
    bool held() const { return m_fd.valid(); }

  private:
    UniqueFd m_fd;
};

}  // namespace dd::platform
