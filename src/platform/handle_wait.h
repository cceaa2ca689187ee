// One wait on several of the platform's handles at once (wake handles,
// interrupt, folder watch, standard input): the main loop of a console
// program that has more than one thing to wait for.
#pragma once

#include <cstddef>

#include "platform/native_handle.h"

namespace dd::platform {

// Waits until at least one of handles is readable or signalled (kNoHandle
// entries are skipped) or timeoutMs passed (negative: no limit). Sets
// ready[i] for each handle found so. Returns how many are ready, 0 when the
// time passed or a signal cut the wait short, -1 when the wait failed.
int waitForHandles(const NativeHandle* handles, size_t count, int timeoutMs, bool* ready);

}  // namespace dd::platform
