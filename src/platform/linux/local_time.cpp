#include "platform/local_time.h"

#include <sys/time.h>

#include <ctime>

namespace dd::platform {

LocalTime localTimeNow() {
    timeval now{};
    gettimeofday(&now, nullptr);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    LocalTime out;
    out.year = local.tm_year + 1900;
    out.month = local.tm_mon + 1;
    out.day = local.tm_mday;
    out.hour = local.tm_hour;
    out.minute = local.tm_min;
    out.second = local.tm_sec;
    out.millisecond = static_cast<int>(now.tv_usec / 1000);
    return out;
}

}  // namespace dd::platform
