// The wall clock as the user's time zone shows it, for time stamps.
#pragma once

namespace dd::platform {

struct LocalTime {
    int year = 0;    // e.g. 2024
    int month = 0;   // 1..12
    int day = 0;     // 1..31
    int hour = 0;    // 0..23
    int minute = 0;  // 0..59
    int second = 0;  // 0..60
    int millisecond = 0;
};

LocalTime localTimeNow();

}  // namespace dd::platform
