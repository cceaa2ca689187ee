#include "usb/usb_detect.h"

#include <vector>

#include "device/device_host.h"
#include "device/hub_queries.h"
#include "device/usb_device_thread.h"
#include "deviceinfo/supported_devices.h"
#include "log/log_stream.h"
#include "platform/this_thread.h"

CUsbDetect::~CUsbDetect() {
    signalLeave();
    join();
}

void CUsbDetect::start() {
    std::lock_guard<std::mutex> lifecycle(m_lifecycle);
    if (m_watchThread.joinable() || m_listThread.joinable()) {
        // A previous generation that was told to leave; make sure it is over.
        m_leave.store(true);
        if (m_monitor) {
            m_monitor->wake();
        }
        { std::lock_guard<std::mutex> lock(m_mutex); }
        m_wake.notify_all();
        m_watchThread.join();
        m_listThread.join();
    }
    m_monitor = dd::platform::UsbMonitor::open(deviceHost().paths().sysfsRoot);
    if (!m_monitor->openProblem().empty()) {
        DD_LOG(LOG_ERR) << m_monitor->openProblem();
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_listDirty = true;  // threads created while stopped get resumed
        m_watchEnded = false;
    }
    m_leave.store(false);
    m_scanRequested.store(false);
    m_watchThread = std::thread(&CUsbDetect::watchThreadMain, this);
    m_listThread = std::thread(&CUsbDetect::usbGetDeviceThread, this);
}

void CUsbDetect::signalLeave() {
    std::lock_guard<std::mutex> lifecycle(m_lifecycle);
    m_leave.store(true);
    if (m_monitor) {
        m_monitor->wake();
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);  // no waiter can miss the flag
    }
    m_wake.notify_all();
}

void CUsbDetect::join() {
    std::lock_guard<std::mutex> lifecycle(m_lifecycle);
    if (m_watchThread.joinable()) {
        m_watchThread.join();
    }
    if (m_listThread.joinable()) {
        m_listThread.join();
    }
    m_monitor.reset();
}

bool CUsbDetect::running() const {
    return !m_leave.load();
}

void CUsbDetect::requestScan() {
    m_scanRequested.store(true);
    if (m_monitor) {
        m_monitor->wake();
    }
}

void CUsbDetect::listChanged() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_listDirty = true;
    }
    m_wake.notify_all();
}

size_t CUsbDetect::scanPorts(
    const dd::platform::UsbSysfs& tree, const CSupportedDevices& supported,
    const std::function<void(const dd::platform::UsbPortDevice&)>& onSupported) {
    size_t count = 0;
    for (const dd::platform::UsbPortDevice& device : tree.listPortDevices()) {
        if (!device.isHub && supported.doesDeviceSupport(device.vid, device.pid) == 1) {
            onSupported(device);
            ++count;
        }
    }
    return count;
}

int CUsbDetect::usbDetect() {
    DD_LOG(LOG_DEBUG) << "++CUsbDetect::usbDetect";
    scanPorts(moduleUsbTree(), deviceHost().supportedDevices(),
              [](const dd::platform::UsbPortDevice& device) {
                  deviceHost().CreateDeviceMonitorThread(device.hubPath, device.port, device.vid,
                                                         device.pid);
              });
    DD_LOG(LOG_DEBUG) << "--CUsbDetect::usbDetect";
    return dd::platform::usb_error::kNoMoreItems;
}

void CUsbDetect::watchThreadMain() {
    dd::platform::nameThisThread("dd-usb-watch");
    for (bool firstPass = true; !m_leave.load(); firstPass = false) {
        if (!firstPass) {
            dd::platform::UsbMonitor::Changes changes = m_monitor->wait();
            for (const std::string& warning : changes.warnings) {
                DD_LOG(LOG_WAR) << warning;
            }
            if (!changes.error.empty()) {
                DD_LOG(LOG_ERR) << changes.error;
            }
            if (m_leave.load()) {
                break;
            }
            // Device threads learn of an unplug by their presence check; make
            // it run now in the threads whose phone may have gone. Waking all
            // of them for each removal would cost a hub tower of phones
            // phones x phones presence checks when it is unplugged.
            if (changes.overflow || changes.removalUnnamed) {
                deviceHost().pokeDeviceThreads();
            } else if (changes.removal) {
                deviceHost().pokeDeviceThreads(changes.removedNames);
            }
            bool requested = m_scanRequested.exchange(false);
            if (!changes.changed && !changes.overflow && !requested) {
                continue;
            }
            DD_LOG(LOG_DEBUG) << "receive onDeviceChange message";
        }
        usbDetect();
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_watchEnded = true;
    }
    m_wake.notify_all();
}

bool CUsbDetect::listPass() {
    std::vector<std::shared_ptr<CUsbDeviceThread>> ended = deviceHost().resumeAndTakeEnded();
    bool rescan = false;
    for (const std::shared_ptr<CUsbDeviceThread>& thread : ended) {
        thread->Join();  // returns at once: the thread function has returned
        thread->OnReaped();
        rescan = rescan || (thread->SeenByScan() && thread->PortHoldsAnotherDevice());
    }
    return rescan;  // the objects are destroyed here, outside every lock
}

void CUsbDetect::usbGetDeviceThread() {
    dd::platform::nameThisThread("dd-usb-list");
    DD_LOG(LOG_DEBUG) << "CUsbDetect::usbGetDeviceThread() ++";
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_wake.wait(lock, [&] { return m_listDirty || m_leave.load(); });
            m_listDirty = false;
        }
        if (m_leave.load()) {
            DD_LOG(LOG_WAR) << "app will leave..";
            break;
        }
        if (listPass()) {
            // A thread whose phone was gone has left; if a phone came back to
            // that port meanwhile, the scan that saw it found the old thread
            // still listed. Scan again so it gets its own.
            requestScan();
        }
    }
    {
        // No thread may be created after the stop below.
        std::unique_lock<std::mutex> lock(m_mutex);
        m_wake.wait(lock, [&] { return m_watchEnded; });
    }
    deviceHost().stopDeviceThreads();
    DD_LOG(LOG_DEBUG) << "CUsbDetect::usbGetDeviceThread() --";
}
