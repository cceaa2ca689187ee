#include "platform/local_time.h"

#include "platform/win32/win_handle.h"

namespace dd::platform {

LocalTime localTimeNow() {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    LocalTime out;
    out.year = now.wYear;
    out.month = now.wMonth;
    out.day = now.wDay;
    out.hour = now.wHour;
    out.minute = now.wMinute;
    out.second = now.wSecond;
    out.millisecond = now.wMilliseconds;
    return out;
}

}  // namespace dd::platform
