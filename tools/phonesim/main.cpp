// phonesim: plays phones for the module's tests and the demo.
#include <cstdio>
#include <cstring>

#include "adb_command.h"
#include "adb_device_command.h"
#include "companion_service.h"
#include "machine_command.h"
#include "sync_tool.h"
#include "usb_command.h"

int main(int argc, char** argv) {
    if (argc < 2 || std::strcmp(argv[1], "--help") == 0) {
        std::puts("usage: phonesim COMMAND [options]   (see --help of each command)");
        std::puts("  adb         an emulated adb server with fake phones");
        std::puts("  adb-device  a phone on adb's TCP transport, for a real adb server");
        std::puts("  companion   the companion service of a phone");
        std::puts("  machine     a machine with whole phones: USB tree, adb, services");
        std::puts("  sync-tool   the sync tool of a phone (ports 7890 and 7990)");
        std::puts("  usb         plug and unplug devices of a fake USB tree");
        return argc < 2 ? 2 : 0;
    }
    if (std::strcmp(argv[1], "adb") == 0) {
        return phonesim::runAdbCommand(argc - 1, argv + 1);
    }
    if (std::strcmp(argv[1], "adb-device") == 0) {
        return phonesim::runAdbDeviceCommand(argc - 2, argv + 2);
    }
    if (std::strcmp(argv[1], "companion") == 0) {
        return phonesim::runCompanionCommand(argc - 2, argv + 2);
    }
    if (std::strcmp(argv[1], "machine") == 0) {
        return phonesim::runMachineCommand(argc - 1, argv + 1);
    }
    if (std::strcmp(argv[1], "sync-tool") == 0) {
        return phonesim::runSyncToolCommand(argc - 2, argv + 2);
    }
    if (std::strcmp(argv[1], "usb") == 0) {
        return phonesim::runUsbCommand(argc - 1, argv + 1);
    }
    std::fprintf(stderr, "phonesim: unknown command %s\n", argv[1]);
    return 2;
}
