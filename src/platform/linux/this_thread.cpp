#include "platform/this_thread.h"

#include <pthread.h>
#include <unistd.h>

namespace dd::platform {

void nameThisThread(const char* name) {
    pthread_setname_np(pthread_self(), name);
}

void nameThread(std::thread& thread, const char* name) {
    pthread_setname_np(thread.native_handle(), name);
}

long thisThreadId() {
    return static_cast<long>(gettid());
}

}  // namespace dd::platform
