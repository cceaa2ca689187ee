// The module's only contact with libDeviceController.so, the suite's adb
// runner beside the module. The library is loaded at run time from the
// module's folder, not linked: a missing runner is a failed adb call (logged
// on every call, tried again each time), never a module that will not load.
// Once loaded it stays loaded while the module is: loading per call would
// need the dynamic loader's lock on the phone threads, which the module's
// unload holds while it waits for them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "devicedetect/DeviceController.h"
#include "devicedetect/DeviceDetect.h"

// Output of one adb call: 40960 bytes including the NUL.
constexpr size_t kAdbOutputBufferSize = 40960;
// The time limit every caller passes.
constexpr int32_t kAdbTimeLimitMs = 20000;

// Full path of the runner: the module folder + "/libDeviceController.so"
// ("DeviceController.dll" on Windows).
std::string deviceControllerPath();

// Loads the runner before the phone threads start (silently; a call that
// finds it missing logs it).
void preloadDeviceController();

// Runs one adb command line (the arguments without the program name, e.g.
// "-s SERIAL shell getprop") and replaces output with what adb printed.
// The lines adb prints when the command had to start the server ("* daemon
// not running; starting now at tcp:5037", "* daemon started successfully")
// are logged and cut off: every caller reads the command's own output.
// Returns the runner's result (0: the command ran); 1 when the library or
// its entry point is missing, output then left as it was. The runner bounds
// every wait itself (timeLimitMs is what the caller allows; every caller
// passes kAdbTimeLimitMs). Safe from many threads at once.
int32_t RunAdbCmd(const std::string& args, std::string& output, int32_t timeLimitMs);

// A device-list tracker of the runner, with the stop of the runner that
// made it.
struct AdbTracking {
    void* tracker = nullptr;
    QX_StopAdbTrackingFn stop = nullptr;
};
// Follows the adb server's device list through the runner
// (QX_StartAdbTracking); tracker null when the runner cannot (a library
// without the entry point is logged once).
AdbTracking StartAdbTracking(QX_AdbTrackFn callback, void* context);
// Stops it (no callback runs afterwards) and clears it.
void StopAdbTracking(AdbTracking& tracking);

// Asks the adb server to exit (host:kill through the runner) so that the next
// command starts a fresh one. No process is ended by name. Always 1.
int32_t KillAdbProcess();

class COrqDiskHelper {
  public:
    virtual ~COrqDiskHelper() = default;
    // Unmounts, on this PC, the phone's storage disks described by record.
    // The runner's result; 1 when the library or its entry point is missing.
    uint16_t UnmountDisk(DeviceRecord* record);
};
