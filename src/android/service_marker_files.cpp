#include "android/service_marker_files.h"

namespace dd::android {

ServiceMarkerFiles::ServiceMarkerFiles(uint16_t port, const dd::ExitFlag* stop)
    : m_endpoint("127.0.0.1", port) {
    m_endpoint.stop = stop;
}

int ServiceMarkerFiles::listFile(const std::string& remotePath) {
    return static_cast<int>(m_endpoint.GetFileInfo(remotePath, nullptr, nullptr, nullptr));
}

bool ServiceMarkerFiles::uploadFile(const std::string& remotePath, const std::string& localPath) {
    return m_endpoint.UploadFile(remotePath, localPath) == ServiceResult::Ok;
}

bool ServiceMarkerFiles::downloadFile(const std::string& remotePath, const std::string& localPath) {
    return m_endpoint.DownloadFile(remotePath, localPath, kMaxMarkerDownloadBytes) ==
           ServiceResult::Ok;
}

std::unique_ptr<MarkerFileRequests> makeServiceMarkerFiles(uint16_t port,
                                                           const dd::ExitFlag* stop) {
    return std::make_unique<ServiceMarkerFiles>(port, stop);
}

}  // namespace dd::android
