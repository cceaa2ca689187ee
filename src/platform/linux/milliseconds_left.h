// Milliseconds left until a deadline, as poll takes them.
#pragma once

#include <algorithm>
#include <chrono>

namespace dd::platform {

// Rounded up, so that a wait never spins on 0 before the deadline; 0 once it
// has passed; at most a day.
inline int millisecondsLeft(std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::microseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
        return 0;
    }
    return static_cast<int>(std::min<long long>((left.count() + 999) / 1000, 24LL * 3600 * 1000));
}

}  // namespace dd::platform
