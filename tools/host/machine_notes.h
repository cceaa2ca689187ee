// What the module will find missing on this machine, told by --check and by
// the running host on its terminal (the module's log says the same in its
// own words): the Wi-Fi finder and its UDP port, the USB bus, and where the
// module's log goes.
#pragma once

#include <string>
#include <vector>

#include "platform/paths.h"
#include "system_check.h"

// The Wi-Fi finder of moduleDir: whether it is there, loads with its nine
// entry points, and whether its UDP listening place is valid and free. Run it
// before detection starts: afterwards the finder holds the port itself.
std::vector<CheckLine> checkWifiFinder(const std::string& moduleDir);

// Whether USB devices are read from a sysfs tree: always on Linux; on
// Windows only from a tree DEVICEDETECT_SYSFS_ROOT names.
bool usbTreeReadable();

// The USB buses under the sysfs root: none visible means no USB phone is seen.
CheckLine checkUsbBus(const dd::platform::RuntimePaths& paths);

// Where the module's log goes and at which level, from which settings file.
CheckLine logNote(const dd::platform::RuntimePaths& paths);

// The lines the running host shows when detection has started: the log, and
// what keeps phones from being found (finderLines as checkWifiFinder gave them
// before the start).
std::vector<std::string> startupNotes(const dd::platform::RuntimePaths& paths,
                                      const std::vector<CheckLine>& finderLines);
