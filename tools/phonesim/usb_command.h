// `phonesim usb`: plugs and unplugs devices of a fake USB tree from a shell.
#pragma once

namespace phonesim {

// argv[0] is "usb". Returns the process exit code.
int runUsbCommand(int argc, char** argv);

}  // namespace phonesim
