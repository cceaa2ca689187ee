#include "android/boot_readiness.h"

#include <chrono>

#include "android/adb_device_tracker.h"
#include "android/device_controller_bridge.h"
#include "device/device_host.h"
#include "log/log_stream.h"

namespace dd::android {
namespace {

using std::chrono::milliseconds;

constexpr size_t kPropertyListMinimum = 1000;  // longer output is a property list
constexpr int kAttemptsPerPass = 4;            // counted down before each try: 3 tries

// The presence check every wait runs: the phone is still on its port and the
// module has not been stopped (nor this thread asked to leave).
bool deviceStillThere(dd::StepContext& step) {
    return step.devicePresent() && deviceHost().m_bStopped.load() == 0 && !step.exitRequested();
}

// A pause that also counts as the phone going when it is cut short.
bool pauseThenCheck(dd::StepContext& step, milliseconds duration) {
    return step.pause(duration) && deviceStillThere(step);
}

std::string getpropCommand(const std::string& serial) {
    return "-s " + serial + " shell getprop";
}

}  // namespace

int checkKernelInfo(dd::StepContext& step, uint16_t vid, uint16_t pid, const std::string& serial,
                    KernelInfo& info, int32_t& bootCompleted) {
    DD_LOG(LOG_DEBUG) << "CUsbDeviceThread_Android::checkKernelInfo(" << vid << "," << pid << ","
                      << serial << ") ++";
    bootCompleted = 0;
    const std::string command = getpropCommand(serial);
    int attempts = kAttemptsPerPass;
    bool adbKilled = false;
    bool listRead = false;
    std::string output;

    for (;;) {
        if (pid == kAndroid15Pid) {
            DD_LOG(LOG_INFO) << "find 1.5 android";
            DD_LOG(LOG_ERR) << "get prop failed leave";
            return 0;
        }
        while (--attempts > 0) {
            RunAdbCmd(command, output, kAdbTimeLimitMs);
            size_t length = utf16Length(output);
            DD_LOG(LOG_INFO) << "build.prop len " << length;
            if (length > kPropertyListMinimum) {
                listRead = true;
                break;
            }
            DD_LOG(LOG_ERR) << "get prop failed retry. slp 500";
            if (!pauseThenCheck(step, milliseconds(500))) {
                DD_LOG(LOG_ERR) << "device is unplug. ret";
                return 0;
            }
        }
        const bool firstPass = !adbKilled;
        if (!listRead && adbKilled) {
            DD_LOG(LOG_ERR) << "get prop failed leave";
            return 0;
        }
        if (!listRead) {
            DD_LOG(LOG_ERR) << "get prop fail count 3 ";
            // Restarting the server cuts every other phone's adb traffic too,
            // and throws away the answer of a phone's USB debugging prompt.
            if (!adbRestartAllowed(serial)) {
                return 0;
            }
            attempts = kAttemptsPerPass;
            adbKilled = true;
            KillAdbProcess();
            bool present = step.pause(milliseconds(500));
            DD_LOG(LOG_ERR) << "get prop failed retry. slp 500";
            if (!present || !deviceStillThere(step)) {
                DD_LOG(LOG_ERR) << "device is unplug. ret";
                return 0;
            }
        }
        if (firstPass) {
            // Once more after the first pass, whatever it gave.
            bool present = deviceStillThere(step);
            DD_LOG(LOG_INFO) << "res" << (present ? 0 : 1);
            if (!present) {
                DD_LOG(LOG_ERR) << "device is unplug. ret";
                return 0;
            }
        }
        if (listRead) {
            break;
        }
    }

    DD_LOG(LOG_INFO) << "read prop success.";
    parseKernelInfo(output, info, bootCompleted);
    DD_LOG(LOG_DEBUG) << "CUsbDeviceThread_Android::checkKernelInfo(" << vid << "," << pid << ","
                      << serial << ") --";
    return 1;
}

int WaitSystemLaunchCompleted(dd::StepContext& step, const std::string& serial, uint16_t vid,
                              uint16_t pid, int32_t timeLimitMs) {
    (void)vid;
    (void)pid;
    DD_LOG(LOG_DEBUG) << "++CUsbDeviceThread_Android::WaitSystemLaunchCompleted";
    int result = -1;
    int32_t elapsed = 0;
    const std::string command = getpropCommand(serial);
    std::string output;
    for (;;) {
        bool done = false;
        output.clear();
        RunAdbCmd(command, output, kAdbTimeLimitMs);
        if (!output.empty()) {
            std::string_view line = findBootCompletedLine(output);
            if (!line.empty()) {
                DD_LOG(LOG_INFO) << line;
                result = 1;
                done = true;
            }
        }
        if (!deviceStillThere(step)) {
            DD_LOG(LOG_ERR) << "device is unplug. ret";
            break;
        }
        if (done) {
            break;
        }
        // The end test is equality, as callers pass multiples of 1000; a
        // limit that is not one still ends, at the next whole second past it.
        if (elapsed >= timeLimitMs) {
            break;
        }
        if (!step.pause(milliseconds(1000))) {
            DD_LOG(LOG_ERR) << "device is unplug. ret";
            break;
        }
        elapsed += 1000;
    }
    DD_LOG(LOG_DEBUG) << "--CUsbDeviceThread_Android::WaitSystemLaunchCompleted";
    return result;
}

}  // namespace dd::android
