// The pairing marker's file requests over the companion service's HTTP
// client, and the re-pairing entry point the application object offers.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "android/pairing_marker.h"
#include "core/exit_flag.h"

namespace dd::android {

// The marker's requests to the service behind 127.0.0.1:port. stop (may be
// null) cuts a request short.
std::unique_ptr<MarkerFileRequests> makeServiceMarkerRequests(uint16_t port,
                                                              const dd::ExitFlag* stop);

}  // namespace dd::android
