// This PC's identity text, written into a phone's pairing marker and
// compared with it: "user_computer_volume_disk". The full form (with the
// disk piece) is theApp.m_csPCIdentity, used by the Android threads and the
// Wi-Fi finder; the short form (without "_disk") is BuildPcIdentity of the
// device-thread base, used by the BREW thread.
#pragma once

#include <cstdint>
#include <string>

namespace dd::android {

struct PcIdentityPieces {
    std::string user;           // the process's user name
    std::string computer;       // "host.domain" or "host"
    uint32_t volumeSerial = 0;  // the system volume's id, written as "%08x"
    std::string diskSerial;     // first 8 characters of the first disk's serial; may be empty
};

// Reads the pieces from this machine; the disk serial from sysfsRoot.
PcIdentityPieces readPcIdentityPieces(const std::string& sysfsRoot);

// "user_computer_%08x_disk" (full) or "user_computer_%08x" (short). A
// machine whose disk reports no serial still gets the last "_".
std::string formatPcIdentity(const PcIdentityPieces& pieces, bool fullForm);

std::string fullPcIdentity(const std::string& sysfsRoot);
std::string shortPcIdentity();

}  // namespace dd::android
