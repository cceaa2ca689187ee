#include "usb/usb_detect.h"

#include <algorithm>
#include <vector>

#include "device/device_host.h"
#include "device/hub_queries.h"
#include "device/usb_device_thread.h"
#include "deviceinfo/supported_devices.h"
#include "log/log_stream.h"
#include "platform/this_thread.h"

namespace {

using dd::platform::UsbPortDevice;
using dd::platform::UsbSysfs;

// Bounds what the watch thread keeps between events; past it, a full scan
// stands in for the names.
constexpr size_t kMaxPendingNames = 1024;
// Hubs chain at most seven deep below a root hub.
constexpr int kMaxHubDepth = 8;

struct NameLook {
    const UsbSysfs& tree;
    const CSupportedDevices& supported;
    const std::function<void(const UsbPortDevice&)>& onSupported;
    std::vector<std::string>& incomplete;
    size_t found = 0;
    bool unresolved = false;

    void portsOf(const std::string& hubPath, int depth) {
        int ports = 0;
        if (depth > kMaxHubDepth || tree.hubPortCount(hubPath, ports) != 0) {
            return;
        }
        for (int port = 1; port <= ports; ++port) {
            device(UsbSysfs::portDeviceName(hubPath, port), depth + 1);
        }
    }

    void device(const std::string& name, int depth) {
        if (UsbSysfs::isRootHubPath(name)) {
            portsOf(name, depth);
            return;
        }
        UsbPortDevice device;
        switch (tree.portDeviceNamed(name, device)) {
            case UsbSysfs::Named::kFound:
                if (device.isHub) {
                    portsOf(device.name, depth);
                } else if (supported.doesDeviceSupport(device.vid, device.pid) == 1) {
                    onSupported(device);
                    ++found;
                }
                break;
            case UsbSysfs::Named::kIncomplete:
                incomplete.push_back(name);
                break;
            case UsbSysfs::Named::kUnresolved:
                unresolved = true;
                break;
            case UsbSysfs::Named::kGone:
            case UsbSysfs::Named::kNotAPort:
                break;
        }
    }
};

}  // namespace

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
    const std::string& root = deviceHost().paths().sysfsRoot;
    m_monitor = m_openMonitor ? m_openMonitor(root) : dd::platform::UsbMonitor::open(root);
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

void CUsbDetect::setMonitorOpener(MonitorOpener opener) {
    std::lock_guard<std::mutex> lifecycle(m_lifecycle);
    m_openMonitor = std::move(opener);
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

void CUsbDetect::requestLook(const std::string& name) {
    {
        std::lock_guard<std::mutex> lock(m_lookLock);
        if (m_lookRequests.size() < kMaxPendingNames) {
            m_lookRequests.push_back(name);
        } else {
            m_scanRequested.store(true);
        }
    }
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
    const std::function<void(const dd::platform::UsbPortDevice&)>& onSupported,
    std::vector<std::string>* incomplete) {
    size_t count = 0;
    for (const dd::platform::UsbPortDevice& device : tree.listPortDevices(incomplete)) {
        if (!device.isHub && supported.doesDeviceSupport(device.vid, device.pid) == 1) {
            onSupported(device);
            ++count;
        }
    }
    return count;
}

size_t CUsbDetect::lookAtNames(
    const dd::platform::UsbSysfs& tree, const CSupportedDevices& supported,
    const std::vector<std::string>& names,
    const std::function<void(const dd::platform::UsbPortDevice&)>& onSupported,
    std::vector<std::string>& incomplete, bool* unresolved) {
    NameLook look{tree, supported, onSupported, incomplete};
    for (const std::string& name : names) {
        look.device(name, 0);
    }
    if (unresolved != nullptr) {
        *unresolved = look.unresolved;
    }
    return look.found;
}

namespace {

void createThreadFor(const dd::platform::UsbPortDevice& device) {
    deviceHost().CreateDeviceMonitorThread(device.hubPath, device.port, device.vid, device.pid);
}

}  // namespace

int CUsbDetect::usbDetect() {
    DD_LOG(LOG_DEBUG) << "++CUsbDetect::usbDetect";
    // The watch thread's names are all covered by a scan; what is still
    // half written is noted again.
    m_incomplete.clear();
    scanPorts(moduleUsbTree(), deviceHost().supportedDevices(), createThreadFor, &m_incomplete);
    if (m_incomplete.size() > kMaxPendingNames) {
        m_incomplete.resize(kMaxPendingNames);
    }
    DD_LOG(LOG_DEBUG) << "--CUsbDetect::usbDetect";
    return dd::platform::usb_error::kNoMoreItems;
}

void CUsbDetect::lookAtNamed(std::vector<std::string> names) {
    names.insert(names.end(), m_incomplete.begin(), m_incomplete.end());
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    m_incomplete.clear();
    if (!names.empty()) {
        DD_LOG(LOG_DEBUG) << "looking at " << names.size() << " USB device(s), first "
                          << names.front();
    }
    bool unresolved = false;
    lookAtNames(moduleUsbTree(), deviceHost().supportedDevices(), names, createThreadFor,
                m_incomplete, &unresolved);
    if (m_incomplete.size() > kMaxPendingNames) {
        m_incomplete.clear();
        requestScan();  // too many to follow one by one
    } else if (unresolved) {
        requestScan();  // a device the system could not place: look everywhere
    }
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
            std::vector<std::string> names = std::move(changes.arrivedNames);
            {
                std::lock_guard<std::mutex> lock(m_lookLock);
                names.insert(names.end(), m_lookRequests.begin(), m_lookRequests.end());
                m_lookRequests.clear();
            }
            // Lost events, and changes that name nothing usable, are seen by
            // a scan of everything; a removal alone needs no look.
            bool scan = m_scanRequested.exchange(false) || changes.overflow ||
                        changes.arrivalUnnamed ||
                        (changes.changed && !changes.removal && names.empty());
            if (!scan && names.empty()) {
                continue;
            }
            DD_LOG(LOG_DEBUG) << "receive onDeviceChange message";
            if (!scan) {
                lookAtNamed(std::move(names));
                continue;
            }
        }
        usbDetect();
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_watchEnded = true;
    }
    m_wake.notify_all();
}

void CUsbDetect::listPass() {
    std::vector<std::shared_ptr<CUsbDeviceThread>> ended = deviceHost().resumeAndTakeEnded();
    for (const std::shared_ptr<CUsbDeviceThread>& thread : ended) {
        thread->Join();  // returns at once: the thread function has returned
        thread->OnReaped();
        if (thread->SeenByScan() && thread->PortHoldsAnotherDevice()) {
            // Its phone was gone; if a phone came back to that port
            // meanwhile, the look that saw it found this thread still
            // listed. Look again so the new one gets its own.
            requestLook(UsbSysfs::portDeviceName(thread->m_csHubPath, thread->m_nHubPort));
        }
    }
}  // the objects are destroyed here, outside every lock

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
        listPass();
    }
    {
        // No thread may be created after the stop below.
        std::unique_lock<std::mutex> lock(m_mutex);
        m_wake.wait(lock, [&] { return m_watchEnded; });
    }
    deviceHost().stopDeviceThreads();
    DD_LOG(LOG_DEBUG) << "CUsbDetect::usbGetDeviceThread() --";
}
