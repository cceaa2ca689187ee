// The two readiness steps of an Android phone's thread: read what the phone
// is (its getprop list, with retries and at most one restart of the adb
// server), and wait until its system has finished booting. Both run on the
// phone's own thread, through the StepContext that thread gives them, so an
// unplug, a stop or a disconnect cuts every wait short.
#pragma once

#include <cstdint>
#include <string>

#include "android/getprop_parser.h"
#include "platform/exit_flag.h"

namespace dd::android {

// A phone that reports this pid runs Android 1.5: it gets no getprop call.
constexpr uint16_t kAndroid15Pid = 0x0C01;
// The caller's time limit of the boot wait.
constexpr int32_t kBootWaitLimitMs = 60000;

// 1: properties read and parsed into info, bootCompleted 1 when the list
// holds sys.boot_completed; 0: failed (phone gone, module stopped, two failed
// passes, or a phone with pid 0x0C01). The adb server is restarted between
// the passes only while this is the only running phone thread.
int checkKernelInfo(dd::StepContext& step, uint16_t vid, uint16_t pid, const std::string& serial,
                    KernelInfo& info, int32_t& bootCompleted);

// 1: sys.boot_completed seen; -1: not seen within timeLimitMs (a multiple of
// 1000), or the phone went, or the module stopped.
int WaitSystemLaunchCompleted(dd::StepContext& step, const std::string& serial, uint16_t vid,
                              uint16_t pid, int32_t timeLimitMs);

}  // namespace dd::android
