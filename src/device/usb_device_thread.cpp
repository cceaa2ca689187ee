#include "device/usb_device_thread.h"

#include <system_error>

#include "device/device_host.h"
#include "device/hub_queries.h"
#include "deviceinfo/detected_device_store.h"
#include "log/log_stream.h"
#include "platform/this_thread.h"

CUsbDeviceThread::CUsbDeviceThread(std::string hubPath, int hubPort, std::string dllName, int vid,
                                   int pid, std::shared_ptr<AndroidDeviceInfo> deviceInfo)
    : m_csHubPath(std::move(hubPath)),
      m_nHubPort(hubPort),
      m_csDllName(std::move(dllName)),
      m_nVid(vid),
      m_nPid(pid),
      m_pDeviceInfo(std::move(deviceInfo)) {}

CUsbDeviceThread::~CUsbDeviceThread() {
    std::lock_guard<std::mutex> lock(m_threadMutex);
    if (m_thread.joinable()) {
        if (m_thread.get_id() == std::this_thread::get_id()) {
            m_thread.detach();  // cannot wait for ourselves; the function is returning anyway
        } else {
            m_lExit.request();
            m_thread.join();
        }
    }
}

bool CUsbDeviceThread::Resume() {
    std::lock_guard<std::mutex> lock(m_threadMutex);
    if (m_bResumed.exchange(true)) {
        return false;
    }
    deviceHost().m_lConnectCount.fetch_add(1);
    int32_t created = kStateCreated;
    m_nState.compare_exchange_strong(created, kStateRunning);
    try {
        m_thread = startThread([this] { Run(); });
    } catch (const std::system_error& error) {
        // Out of threads or memory for now. The phone is still there and
        // must not be lost: the object goes back to "created", stays listed,
        // and the list thread tries again at its next pass (a thread that
        // ends, or a scan that finds this device again).
        DD_LOG(LOG_ERR) << "cannot start a device thread yet: " << error.what();
        deviceHost().m_lConnectCount.fetch_sub(1);
        int32_t running = kStateRunning;
        m_nState.compare_exchange_strong(running, kStateCreated);
        m_bResumed.store(false);
        return false;
    }
    return true;
}

std::thread CUsbDeviceThread::startThread(std::function<void()> body) {
    return std::thread(std::move(body));
}

void CUsbDeviceThread::Run() {
    dd::platform::nameThisThread("dd-device");  // for ps, top and gdb
    InitInstance();
    m_nState.store(kStateFinished);
    m_bEnded.store(true);
    // The last touch of this object on this thread: the list thread may reap
    // it from here on (it joins before it destroys).
    deviceHost().deviceListChanged();
}

void CUsbDeviceThread::Join() {
    std::lock_guard<std::mutex> lock(m_threadMutex);
    if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id()) {
        m_thread.join();
    }
}

bool CUsbDeviceThread::GiveBackConnectCount() {
    if (!m_bResumed.load() || m_bCountReturned.exchange(true)) {
        return false;
    }
    deviceHost().m_lConnectCount.fetch_sub(1);
    return true;
}

int CUsbDeviceThread::ShutDownForHost() {
    m_bUserDisconnect.store(1);
    m_nState.store(kStateFinished);
    RequestExit();
    Join();
    GiveBackConnectCount();
    return 1;
}

void CUsbDeviceThread::MarkLeaving() {
    m_lExit.request();
    m_nState.store(kStateFinished);
}

bool CUsbDeviceThread::PortHoldsAnotherDevice() const {
    // A thread that never recorded a device (its phone was gone before it
    // started) did not identify whatever is on the port now either.
    int now = portDeviceNumber(m_csHubPath, m_nHubPort);
    return now != 0 && now != m_nDeviceNumber.load();
}

void CUsbDeviceThread::RememberDevice() {
    m_nDeviceNumber.store(portDeviceNumber(m_csHubPath, m_nHubPort));
}

int CUsbDeviceThread::GetUsbNodeInfo(const std::string&, int, int*, int*, std::string*,
                                     std::string*) {
    return dd::platform::usb_error::kNotImplemented;
}

int CUsbDeviceThread::BuildPcIdentity(std::string& out) {
    // The short form (no disk piece): what the BREW phones were paired with.
    out = deviceHost().shortPcIdentity();
    return 0;
}

void CUsbDeviceThread::RemoveDetectedDevice(const std::string& imei) {
    ::RemoveDetectedDevice(deviceHost().dataFolder(), imei);
}

int CUsbDeviceThread::Stop() {
    RequestExit();
    Join();
    return 1;
}

int CUsbDeviceThread::SetSyncStatus(int status) {
    m_lSyncStatus.exchange(status);
    return 1;
}

std::string CUsbDeviceThread::phonePlace() const {
    return "the phone on " + m_csHubPath + " port " + std::to_string(m_nHubPort);
}

bool CUsbDeviceThread::claimKeyWaiting(const std::string& key,
                                       const std::function<bool()>& stillHere) {
    std::shared_ptr<CUsbDeviceThread> holder = deviceHost().claimSerial(key, this);
    if (!holder) {
        return true;
    }
    // Another phone goes by this key (this one may be lying, or that one may
    // be on its way out after a move to another port). The phone that holds
    // it is left alone, and this one waits, unannounced, until the holder
    // has ended.
    DD_LOG(LOG_WAR) << phonePlace() << " reports serial " << key << ", which "
                    << holder->phonePlace()
                    << " goes by; it is not announced while that phone is there";
    do {
        holder.reset();
        if (!pause(std::chrono::milliseconds(1000)) || !stillHere()) {
            return false;
        }
        holder = deviceHost().claimSerial(key, this);
    } while (holder);
    DD_LOG(LOG_INFO) << "serial " << key << " is free now; serving " << phonePlace();
    return true;
}

bool CUsbDeviceThread::devicePresent() {
    if (CheckDeviceOnHub(m_csHubPath, m_nHubPort, m_nVid, m_nPid) == 0 &&
        deviceHost().m_bStopped.load() == 0) {
        int recorded = m_nDeviceNumber.load();
        if (recorded == 0 || portDeviceNumber(m_csHubPath, m_nHubPort) == recorded) {
            return true;
        }
        DD_LOG(LOG_INFO) << "another device is on " << m_csHubPath << " port " << m_nHubPort;
    }
    MarkLeaving();
    return false;
}

bool CUsbDeviceThread::pause(std::chrono::milliseconds duration) {
    return m_lExit.sleepFor(duration);
}
