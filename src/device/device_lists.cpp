// The monitor list (one device thread per phone) and the information list
// (one AndroidDeviceInfo per phone) of the device host.
#include <algorithm>
#include <new>

#include "base/text_codec.h"
#include "device/device_host.h"
#include "device/usb_device_thread.h"
#include "deviceinfo/android_device_info.h"
#include "log/log_stream.h"
#include "platform/usb_monitor.h"
#include "platform/usb_sysfs.h"

namespace {

constexpr std::string_view kWifiKeyPrefix = "ORQT";

bool sameDevicePlace(const CUsbDeviceThread& thread, const std::string& hubPath, int port,
                     uint32_t vid, uint32_t pid) {
    return thread.m_nHubPort == port && static_cast<uint32_t>(thread.m_nVid) == vid &&
           static_cast<uint32_t>(thread.m_nPid) == pid &&
           dd::equalsIgnoreCase(thread.m_csHubPath, hubPath);
}

}  // namespace

std::string CDeviceHost::catalogueFile() const {
    return dd::platform::joinPath(m_paths.moduleDir, "device.xml");
}

std::string CDeviceHost::rememberedDeviceFile() const {
    return dd::platform::joinPath(m_paths.dataDir, "remembereddevice.ini");
}

bool CDeviceHost::findListedAt(const std::string& hubPath, int port, uint32_t vid, uint32_t pid,
                               bool* firstSighting, bool* waiting) {
    std::lock_guard<std::mutex> lock(m_monitorLock);
    for (const auto& thread : m_arrayDeviceMonitor) {
        if (sameDevicePlace(*thread, hubPath, port, vid, pid)) {
            *firstSighting = thread->NoteSeenByScan();
            *waiting = !thread->IsResumed();
            return true;
        }
    }
    return false;
}

bool CDeviceHost::listThreadAt(std::shared_ptr<CUsbDeviceThread> thread, const std::string& hubPath,
                               int port, uint32_t vid, uint32_t pid) {
    {
        std::lock_guard<std::mutex> lock(m_monitorLock);
        if (std::any_of(
                m_arrayDeviceMonitor.begin(), m_arrayDeviceMonitor.end(),
                [&](const auto& t) { return sameDevicePlace(*t, hubPath, port, vid, pid); })) {
            return false;
        }
        m_arrayDeviceMonitor.push_back(std::move(thread));
    }
    deviceListChanged();
    return true;
}

void CDeviceHost::AddDeviceThread(std::shared_ptr<CUsbDeviceThread> thread) {
    if (!thread) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(m_monitorLock);
        m_arrayDeviceMonitor.push_back(std::move(thread));
    }
    deviceListChanged();
}

int CDeviceHost::setSyncStatus(const std::string& serial, int32_t state) {
    std::shared_ptr<CUsbDeviceThread> thread;
    {
        std::lock_guard<std::mutex> lock(m_monitorLock);
        auto it = std::find_if(m_arrayDeviceMonitor.begin(), m_arrayDeviceMonitor.end(),
                               [&](const auto& t) { return t->m_csSerialNum.matches(serial); });
        if (it == m_arrayDeviceMonitor.end()) {
            // A Wi-Fi phone is keyed by its IMEI; the host names it by the
            // serial of its record, which its connected serial carries.
            it =
                std::find_if(m_arrayDeviceMonitor.begin(), m_arrayDeviceMonitor.end(),
                             [&](const auto& t) { return t->m_csConnectedSerial.matches(serial); });
        }
        if (it != m_arrayDeviceMonitor.end()) {
            thread = *it;  // keeps the object alive after the lock is released
        }
    }
    if (!thread) {
        return 0;
    }
    if (state == START_SYNC || state == STOP_SYNC || state == READY_SYNC) {
        thread->m_lSyncStatus.exchange(state);
        thread->SetSyncStatus(state);
    }
    return 1;
}

int CDeviceHost::disconnect(const std::string& serial) {
    DD_LOG(LOG_DEBUG) << "CDeviceDetectApp::disconnect() ++";
    std::vector<std::shared_ptr<CUsbDeviceThread>> matching;
    {
        std::lock_guard<std::mutex> lock(m_monitorLock);
        for (const auto& thread : m_arrayDeviceMonitor) {
            if (thread->m_csConnectedSerial.matches(serial)) {
                matching.push_back(thread);
            }
        }
    }
    for (const auto& thread : matching) {
        thread->Disconnect(false);
    }
    if (!matching.empty()) {
        deviceListChanged();  // places were given back: waiting threads may start
    }
    DD_LOG(LOG_DEBUG) << "CDeviceDetectApp::disconnect() --";
    return 1;
}

std::shared_ptr<AndroidDeviceInfo> CDeviceHost::findOrCreateDeviceInfo(const std::string& serial,
                                                                       bool* created) {
    std::lock_guard<std::mutex> lock(m_infoLock);
    if (!serial.empty()) {
        std::lock_guard<std::mutex> monitorLock(m_monitorLock);
        for (const auto& info : m_arrayDeviceInfo) {
            if (dd::equalsIgnoreCase(info->serialNumber(), serial) &&
                !heldByLiveThreadLocked(info.get(), nullptr, true)) {
                return info;
            }
        }
    }
    try {
        auto info = std::make_shared<AndroidDeviceInfo>();
        m_arrayDeviceInfo.push_back(info);
        if (created != nullptr) {
            *created = true;
        }
        return info;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

std::shared_ptr<AndroidDeviceInfo> CDeviceHost::findWirelessDuplicate(const std::string& serial) {
    if (serial.empty()) {
        return nullptr;
    }
    // Only a thread that still serves its phone counts: one that has ended,
    // or has been asked to leave, no longer stands in another's way.
    std::lock_guard<std::mutex> lock(m_monitorLock);
    for (const auto& thread : m_arrayDeviceMonitor) {
        if (thread->m_pDeviceInfo && !thread->HasEnded() && !thread->exitRequested() &&
            thread->m_bUserDisconnect.load() == 0 &&
            dd::equalsIgnoreCase(thread->m_pDeviceInfo->serialNumber(), serial)) {
            return thread->m_pDeviceInfo;
        }
    }
    return nullptr;
}

std::shared_ptr<CUsbDeviceThread> CDeviceHost::findThreadByInfoSerial(const std::string& serial) {
    std::lock_guard<std::mutex> lock(m_monitorLock);
    for (const auto& thread : m_arrayDeviceMonitor) {
        if (thread->m_pDeviceInfo &&
            dd::equalsIgnoreCase(thread->m_pDeviceInfo->serialNumber(), serial)) {
            return thread;
        }
    }
    return nullptr;
}

bool CDeviceHost::heldByLiveThreadLocked(const AndroidDeviceInfo* info,
                                         const AndroidDeviceInfo* except,
                                         bool leavingCounts) const {
    if (info == nullptr || info == except) {
        return false;
    }
    return std::any_of(m_arrayDeviceMonitor.begin(), m_arrayDeviceMonitor.end(),
                       [&](const auto& thread) {
                           return thread->m_pDeviceInfo.get() == info && !thread->HasEnded() &&
                                  (leavingCounts || !thread->exitRequested());
                       });
}

std::shared_ptr<CUsbDeviceThread> CDeviceHost::findThreadByInfo(const AndroidDeviceInfo* info) {
    std::lock_guard<std::mutex> lock(m_monitorLock);
    for (const auto& thread : m_arrayDeviceMonitor) {
        if (thread->m_pDeviceInfo.get() == info) {
            return thread;
        }
    }
    return nullptr;
}

std::shared_ptr<CUsbDeviceThread> CDeviceHost::claimSerial(const std::string& serial,
                                                           CUsbDeviceThread* self) {
    std::lock_guard<std::mutex> lock(m_monitorLock);
    for (const auto& thread : m_arrayDeviceMonitor) {
        if (thread.get() != self && !thread->HasEnded() &&
            (thread->m_csSerialNum.matches(serial) ||
             thread->m_csConnectedSerial.matches(serial))) {
            return thread;
        }
    }
    self->m_csSerialNum.set(serial);
    return nullptr;
}

void CDeviceHost::RemoveDeviceInfo(const std::string& key, const AndroidDeviceInfo* own) {
    DD_LOG(LOG_DEBUG) << "CDeviceDetectApp::RemoveDeviceInfo(" << key << ")";
    std::string_view serial = key;
    if (serial.substr(0, kWifiKeyPrefix.size()) == kWifiKeyPrefix) {
        serial.remove_prefix(kWifiKeyPrefix.size());
    }
    // An empty key (also "ORQT" alone) would match every entry that has no
    // serial yet: the entries of phones still being identified.
    if (serial.empty()) {
        return;
    }
    std::lock_guard<std::mutex> lock(m_infoLock);
    std::lock_guard<std::mutex> monitorLock(m_monitorLock);
    std::erase_if(m_arrayDeviceInfo, [&](const auto& info) {
        return dd::equalsIgnoreCase(info->serialNumber(), serial) &&
               !heldByLiveThreadLocked(info.get(), own, false);
    });
}

void CDeviceHost::RemoveDeviceInfoEntry(const AndroidDeviceInfo* entry) {
    if (entry == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> lock(m_infoLock);
    std::erase_if(m_arrayDeviceInfo, [&](const auto& info) { return info.get() == entry; });
}

void CDeviceHost::pokeDeviceThreads() {
    std::lock_guard<std::mutex> lock(m_monitorLock);
    for (const auto& thread : m_arrayDeviceMonitor) {
        thread->Poke();
    }
}

void CDeviceHost::pokeDeviceThreads(const std::vector<std::string>& removedNames) {
    using dd::platform::UsbMonitor;
    using dd::platform::UsbSysfs;
    std::lock_guard<std::mutex> lock(m_monitorLock);
    for (const auto& thread : m_arrayDeviceMonitor) {
        std::string own = UsbSysfs::portDeviceName(thread->m_csHubPath, thread->m_nHubPort);
        if (std::any_of(removedNames.begin(), removedNames.end(), [&](const std::string& name) {
                return UsbMonitor::removalReaches(name, own);
            })) {
            thread->Poke();
        }
    }
}

std::vector<std::shared_ptr<CUsbDeviceThread>> CDeviceHost::resumeAndTakeEnded() {
    std::vector<std::shared_ptr<CUsbDeviceThread>> ended;
    std::lock_guard<std::mutex> lock(m_monitorLock);
    // Reap first, so that the places of ended threads count for the waiting ones.
    for (auto it = m_arrayDeviceMonitor.begin(); it != m_arrayDeviceMonitor.end();) {
        if (!(*it)->HasEnded()) {
            ++it;
            continue;
        }
        if ((*it)->GiveBackConnectCount()) {
            DD_LOG(LOG_DEBUG) << "connect count --";
        } else {
            DD_LOG(LOG_DEBUG) << "user chose disconnect";
        }
        DD_LOG(LOG_DEBUG) << "remove device by detect array.";
        ended.push_back(std::move(*it));
        it = m_arrayDeviceMonitor.erase(it);
    }
    for (const auto& thread : m_arrayDeviceMonitor) {
        if (thread->IsResumed()) {
            continue;
        }
        if (m_lConnectCount.load() < kMaxRunningThreads) {
            DD_LOG(LOG_DEBUG) << "resume detect thread";
            thread->Resume();
        } else {
            DD_LOG(LOG_WAR) << "connect count more than " << kMaxRunningThreads;
        }
    }
    return ended;
}

void CDeviceHost::stopDeviceThreads() {
    std::vector<std::shared_ptr<CUsbDeviceThread>> all;
    {
        std::lock_guard<std::mutex> lock(m_monitorLock);
        for (const auto& thread : m_arrayDeviceMonitor) {
            thread->RequestExit();
        }
        all.swap(m_arrayDeviceMonitor);
    }
    // Outside the lock: a thread on its way out may still need it.
    for (const auto& thread : all) {
        thread->Join();
    }
}

std::vector<std::shared_ptr<CUsbDeviceThread>> CDeviceHost::deviceThreads() const {
    std::lock_guard<std::mutex> lock(m_monitorLock);
    return m_arrayDeviceMonitor;
}

void CDeviceHost::clearDeviceInfos() {
    std::lock_guard<std::mutex> lock(m_infoLock);
    m_arrayDeviceInfo.clear();
}

std::vector<std::shared_ptr<AndroidDeviceInfo>> CDeviceHost::deviceInfos() const {
    std::lock_guard<std::mutex> lock(m_infoLock);
    return m_arrayDeviceInfo;
}
