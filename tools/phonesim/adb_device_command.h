// "phonesim adb-device": a phone on adb's TCP transport as a process, for a
// real adb server to reach with "adb -P PORT connect 127.0.0.1:DEVPORT".
#pragma once

namespace phonesim {

// argv[0] is "adb-device", the options follow. Returns the process exit code.
int runAdbDeviceCommand(int argc, char** argv);

}  // namespace phonesim
