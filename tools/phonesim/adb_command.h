// "phonesim adb": runs the emulated adb server as a process, for the demo and
// for tests that need a server another program starts (adb start-server).
#pragma once

namespace phonesim {

// argv[0] is "adb". Returns the process exit code.
int runAdbCommand(int argc, char** argv);

}  // namespace phonesim
