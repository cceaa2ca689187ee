#include "android/pc_identity.h"

#include <cstdio>

#include "platform/machine_identity.h"

namespace dd::android {

PcIdentityPieces readPcIdentityPieces(const std::string& sysfsRoot) {
    PcIdentityPieces pieces;
    pieces.user = platform::currentUserName();
    pieces.computer = platform::computerName();
    pieces.volumeSerial = platform::systemVolumeSerial();
    pieces.diskSerial = platform::firstDiskSerial(sysfsRoot);
    return pieces;
}

std::string formatPcIdentity(const PcIdentityPieces& pieces, bool fullForm) {
    char volume[16];
    std::snprintf(volume, sizeof(volume), "_%08x", static_cast<unsigned>(pieces.volumeSerial));
    std::string text = pieces.user + "_" + pieces.computer + volume;
    if (fullForm) {
        text += "_" + pieces.diskSerial;
    }
    return text;
}

std::string fullPcIdentity(const std::string& sysfsRoot) {
    return formatPcIdentity(readPcIdentityPieces(sysfsRoot), true);
}

std::string shortPcIdentity() {
    PcIdentityPieces pieces;
    pieces.user = platform::currentUserName();
    pieces.computer = platform::computerName();
    pieces.volumeSerial = platform::systemVolumeSerial();
    return formatPcIdentity(pieces, false);
}

}  // namespace dd::android
