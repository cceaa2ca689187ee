// What the system knows about the threads of this process.
#pragma once

#include <thread>

namespace dd::platform {

// Names the calling thread for ps, top and debuggers (at most 15 bytes
// are kept).
void nameThisThread(const char* name);
// Names another thread of this process.
void nameThread(std::thread& thread, const char* name);
// The system's id of the calling thread, as log lines show it.
long thisThreadId();

}  // namespace dd::platform
