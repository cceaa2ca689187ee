// Getting the phone-side programs onto an Android phone and running: the
// driver waits before the property read, the companion service (package
// com.qx.httpd, phone port 8182) and the sync tool (phone port 7890), the
// package version check and install, and the wait that parks a thread whose
// phone another thread already serves. Every adb command goes through
// RunAdbCmd; every wait runs through the thread's StepContext, so unplug,
// stop and disconnect cut it short.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/exit_flag.h"

class CUsbDeviceThread;

namespace dd::android {

// The phone's USB device as an interface id: its sysfs device path, found by
// vid, pid and serial (ignoring case); empty when no such device is plugged.
// The device on hubPath/port (the thread's own port) is looked at first; the
// whole tree only when that is not the phone.
std::string GetUsbDeviceInterfaceId(const std::string& serial, uint16_t pid, uint16_t vid,
                                    const std::string& hubPath = {}, int port = 0);

// 1 driver ready; 0 not ready after 90 s, phone gone, or stopped. Sends
// DRIVER_INSTALLING once (a record with serialno, pid and vid) while the
// phone's adb interface is there but not usable yet. hubPath/port as above.
int WaitDriverInstalled(dd::StepContext& step, const std::string& serial, uint16_t vid,
                        uint16_t pid, const std::string& hubPath = {}, int port = 0);
// 1 MTP node ready or absent; 0 still faulty after 60 s or phone gone.
int WaitMTPDeviceInstalled(dd::StepContext& step, const std::string& serial, uint16_t vid,
                           uint16_t pid, const std::string& hubPath = {}, int port = 0);

// 1 when 127.0.0.1:7890 already listens on the phone or the sync tool's start
// broadcast was delivered; 0 otherwise. output gets the broadcast's output.
int Start7890Service(const std::string& serial, std::string& output);
// 1 when the phone's netstat shows a listener on 7890 (any address).
int Check7890Listening(const std::string& serial);
// Starts the companion service unless 127.0.0.1:8182 already listens (then
// output stays as it was). "Not found" in output: the package is missing.
void StartHttpdService(const std::string& serial, std::string& output, double androidVersion);

// 1 update needed; 0 versions match; -1 the expected version is not
// configured in "apkConfig.ini" (key "sdk6" for sdk >= 6, else "sdk5").
int CheckApkVersion(int32_t installedVersion, double androidVersion, uint32_t sdk);
// Installs the service package ("QXHttpd.apk" for sdk above 5, else
// "QXHttpd16.apk"), once more after an uninstall when the first try fails.
// 1 installed; 0 not.
int checkAPKInfo(dd::StepContext& step, uint16_t vid, uint16_t pid, const std::string& serial,
                 const std::string& model, double androidVersion, uint32_t sdk);
// Returns when self may go on: at once when no other thread serves the same
// phone from another address; else once self must leave or the other thread
// has gone.
void WaitSyncFinish(CUsbDeviceThread& self, const std::string& serial);

// Parsing of "netstat -an" output: a line (CRLF or LF) holding both address
// and "LISTEN".
bool netstatListens(std::string_view output, std::string_view address);

}  // namespace dd::android
