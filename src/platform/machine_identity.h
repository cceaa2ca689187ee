// The pieces of this machine that make up the PC identity written into a
// phone's pairing marker. Each reader falls back to an empty text (or 0)
// when its source cannot be read, so the identity can always be built.
#pragma once

#include <cstdint>
#include <string>

namespace dd::platform {

// Name of the user the process runs as (effective uid), at most 1024 bytes;
// the uid in decimal when the account has no entry.
std::string currentUserName();

// Host name, "." and the NIS/YP domain name; the plain host name when the
// domain is empty or "(none)". At most 1024 bytes.
std::string computerName();

// The file-system id of the volume that holds the system ("/usr"), low 32
// bits; 0 when it cannot be read.
uint32_t systemVolumeSerial();

// The serial number of the machine's first disk: the first entry, in name
// order, of sysfsRoot/block/*/device/serial that holds one, with blanks
// trimmed, cut at the first byte that is not printable ASCII and then to
// its first 8 characters. Empty when no disk reports one.
std::string firstDiskSerial(const std::string& sysfsRoot);

}  // namespace dd::platform
