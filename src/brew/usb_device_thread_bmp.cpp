#include "brew/usb_device_thread_bmp.h"

#include "log/log_stream.h"
#include "usb/hub_queries.h"

CUsbDeviceThread_BMP::CUsbDeviceThread_BMP(std::string hubPath, int hubPort, std::string dllName,
                                           int vid, int pid)
    : CUsbDeviceThread(std::move(hubPath), hubPort, std::move(dllName), vid, pid, nullptr) {}

CUsbDeviceThread_BMP::~CUsbDeviceThread_BMP() {
    RequestExit();
    Join();
}

int CUsbDeviceThread_BMP::InitInstance() {
    DD_LOG(LOG_DEBUG) << "CUsbDeviceThread_BMP::InitInstance() ++";
    int vid = 0;
    int pid = 0;
    std::string driverKey;
    RememberDevice();
    int ret = GetUsbNodeInfo(m_csHubPath, m_nHubPort, &vid, &pid, &driverKey, nullptr);
    if (ret != 0) {
        DD_LOG(LOG_ERR) << "read usb node info failed,leave detect thread " << ret;
        MarkLeaving();
    } else {
        DD_LOG(LOG_INFO) << "[DETECT] found brew device pid:" << pid << " vid:" << vid << " on "
                         << driverKey;
    }
    // Any answer but "the same device is there" ends the watch: a port that
    // lost its hub must end the thread as surely as an empty port.
    while (!exitRequested() && devicePresent()) {
        pause(kPresencePollPeriod);
    }
    DD_LOG(LOG_DEBUG) << "CUsbDeviceThread_BMP::InitInstance() --";
    return 0;
}

int CUsbDeviceThread_BMP::GetUsbNodeInfo(const std::string& hubPath, int port, int* vid, int* pid,
                                         std::string* driverKey, std::string*) {
    return getHubPortInfo(moduleUsbTree(), hubPath, port, vid, pid, driverKey, nullptr);
}

int CUsbDeviceThread_BMP::Disconnect(bool shutdown) {
    m_bUserDisconnect.store(1);
    if (shutdown) {
        m_nState.store(kStateFinished);
        RequestExit();
        Join();
    } else {
        m_nState.store(kStateUserDisconnected);
        std::string imei = m_csSerialNum.get();
        if (!imei.empty()) {
            RemoveDetectedDevice(imei);
        }
        m_nState.store(kStateFinished);
    }
    GiveBackConnectCount();
    return 1;
}
