// The pairing marker's file requests on a phone's companion service, made
// through the service's HTTP client (ServiceEndpoint) at 127.0.0.1 and the
// local port forwarded to the phone's service.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "android/pairing_marker.h"
#include "deviceinfo/service_requests.h"

namespace dd::android {

class ServiceMarkerFiles : public MarkerFileRequests {
  public:
    // A marker is an identity of a few dozen characters; a phone that offers
    // more than this is not read onto this PC's disk (the download fails,
    // which counts as another PC's marker and re-pairs the phone).
    static constexpr uint64_t kMaxMarkerDownloadBytes = 1 << 20;

    ServiceMarkerFiles(uint16_t port, const dd::ExitFlag* stop);

    int listFile(const std::string& remotePath) override;
    bool uploadFile(const std::string& remotePath, const std::string& localPath) override;
    bool downloadFile(const std::string& remotePath, const std::string& localPath) override;

  private:
    ServiceEndpoint m_endpoint;
};

// The factory rememberDevice uses: ServiceMarkerFiles on the found thread's port.
std::unique_ptr<MarkerFileRequests> makeServiceMarkerFiles(uint16_t port, const dd::ExitFlag* stop);

}  // namespace dd::android
