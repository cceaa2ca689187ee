// adb's file sync service ("sync:") as a phone's adbd answers it, enough for
// a push install: STAT, LIST, SEND with DATA chunks and DONE, QUIT. Files
// land in the phone's memory.
#pragma once

#include <cstddef>

namespace phonesim {

class AdbPhone;

// Largest file a test may push (keeps a runaway client from eating memory).
constexpr size_t kMaxSyncFile = 256u << 20;

// Serves sync requests on fd until QUIT, EOF or a protocol error.
void serveSync(int fd, AdbPhone& phone);

}  // namespace phonesim
