#include "platform/handle_wait.h"

#include <vector>

#include "platform/win32/win_handle.h"

namespace dd::platform {

int waitForHandles(const NativeHandle* handles, size_t count, int timeoutMs, bool* ready) {
    std::vector<HANDLE> waited;
    std::vector<size_t> place;
    for (size_t i = 0; i < count; ++i) {
        ready[i] = false;
        if (handles[i] != kNoHandle) {
            waited.push_back(reinterpret_cast<HANDLE>(handles[i]));
            place.push_back(i);
        }
    }
    if (waited.empty() || waited.size() > MAXIMUM_WAIT_OBJECTS) {
        return -1;  // nothing that could ever end the wait, or more than one wait takes
    }
    const DWORD limit = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
    DWORD result =
        WaitForMultipleObjects(static_cast<DWORD>(waited.size()), waited.data(), FALSE, limit);
    if (result == WAIT_TIMEOUT) {
        return 0;
    }
    if (result >= WAIT_OBJECT_0 + waited.size()) {
        return -1;
    }
    // The wait names the first signalled handle only; the later ones are
    // looked at without waiting (which takes an auto-reset event's signal,
    // so the caller acts on each one reported).
    size_t first = result - WAIT_OBJECT_0;
    ready[place[first]] = true;
    int found = 1;
    for (size_t k = first + 1; k < waited.size(); ++k) {
        if (WaitForSingleObject(waited[k], 0) == WAIT_OBJECT_0) {
            ready[place[k]] = true;
            ++found;
        }
    }
    return found;
}

}  // namespace dd::platform
