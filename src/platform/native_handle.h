// The operating system's handle of an open object (a descriptor on Linux), as
// the portable headers carry it: a plain number that only the platform's own
// implementations look into.
#pragma once

#include <cstdint>

namespace dd::platform {

using NativeHandle = std::intptr_t;
inline constexpr NativeHandle kNoHandle = -1;

}  // namespace dd::platform
