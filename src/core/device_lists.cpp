#include "core/device_detect_app.h"
#include "log/log_stream.h"

int CDeviceDetectApp::setSyncStatus(const std::string& serial, int32_t state) {
    (void)serial;
    (void)state;
    return 0;
}

int CDeviceDetectApp::disconnect(const std::string& serial) {
    (void)serial;
    DD_LOG(LOG_DEBUG) << "CDeviceDetectApp::disconnect() ++";
    DD_LOG(LOG_DEBUG) << "CDeviceDetectApp::disconnect() --";
    return 1;
}
