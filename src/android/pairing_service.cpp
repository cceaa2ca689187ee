#include "android/pairing_service.h"

#include "android/usb_device_thread_android.h"
#include "core/device_detect_app.h"
#include "core/text_codec.h"
#include "deviceinfo/android_device_info.h"
#include "deviceinfo/service_requests.h"

namespace dd::android {
namespace {

class ServiceMarkerRequests : public MarkerFileRequests {
  public:
    ServiceMarkerRequests(uint16_t port, const dd::ExitFlag* stop) : m_endpoint("127.0.0.1", port) {
        m_endpoint.stop = stop;
    }

    int listFile(const std::string& remotePath) override {
        return static_cast<int>(m_endpoint.GetFileInfo(remotePath, nullptr, nullptr, nullptr));
    }
    bool uploadFile(const std::string& remotePath, const std::string& localPath) override {
        return m_endpoint.UploadFile(remotePath, localPath) == ServiceResult::Ok;
    }
    bool downloadFile(const std::string& remotePath, const std::string& localPath) override {
        return m_endpoint.DownloadFile(remotePath, localPath) == ServiceResult::Ok;
    }

  private:
    ServiceEndpoint m_endpoint;
};

}  // namespace

std::unique_ptr<MarkerFileRequests> makeServiceMarkerRequests(uint16_t port,
                                                              const dd::ExitFlag* stop) {
    return std::make_unique<ServiceMarkerRequests>(port, stop);
}

}  // namespace dd::android

int CDeviceDetectApp::rememberDevice(const std::string& serial) {
    auto findTarget = [this](const std::string& key) -> std::optional<dd::android::PairingTarget> {
        for (const std::shared_ptr<CUsbDeviceThread>& thread : deviceThreads()) {
            auto* android = dynamic_cast<CUsbDeviceThread_Android*>(thread.get());
            if (android == nullptr || !android->m_pDeviceInfo || !android->m_csSerialNum.matches(key)) {
                continue;
            }
            return dd::android::PairingTarget{android->m_pDeviceInfo,
                                              android->m_pDeviceInfo->confPath,
                                              android->m_nHttpLocalPort};
        }
        return std::nullopt;
    };
    auto makeService = [](uint16_t port) {
        return dd::android::makeServiceMarkerRequests(port, nullptr);
    };
    return dd::android::rememberDeviceWith(serial, findTarget, makeService,
                                           {m_csPCIdentity, dataFolder()});
}
