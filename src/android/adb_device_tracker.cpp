#include "android/adb_device_tracker.h"

#include <new>

#include "device/device_host.h"
#include "log/log_stream.h"

namespace dd::android {

AdbDeviceTracker& AdbDeviceTracker::instance() {
    alignas(AdbDeviceTracker) static unsigned char storage[sizeof(AdbDeviceTracker)];
    static AdbDeviceTracker* tracker = new (storage) AdbDeviceTracker();
    return *tracker;
}

AdbDeviceTracker::Use::Use() {
    instance().acquire();
}

AdbDeviceTracker::Use::~Use() {
    instance().release();
}

AdbDeviceTracker::Waiter::Waiter(std::function<void()> wake) {
    AdbDeviceTracker& tracker = instance();
    std::lock_guard<std::mutex> lock(tracker.m_mutex);
    m_id = tracker.m_nextWaiter++;
    tracker.m_waiters.emplace(m_id, std::move(wake));
}

AdbDeviceTracker::Waiter::~Waiter() {
    AdbDeviceTracker& tracker = instance();
    std::lock_guard<std::mutex> lock(tracker.m_mutex);
    tracker.m_waiters.erase(m_id);
}

void AdbDeviceTracker::acquire() {
    std::lock_guard<std::mutex> life(m_lifeMutex);
    if (m_users++ > 0) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        setStatusLocked(Status::kConnecting);
    }
    m_tracking = StartAdbTracking(&AdbDeviceTracker::onEvent, this);
    if (m_tracking.tracker == nullptr) {
        std::lock_guard<std::mutex> lock(m_mutex);
        setStatusLocked(Status::kUnavailable);
    }
}

void AdbDeviceTracker::release() {
    std::lock_guard<std::mutex> life(m_lifeMutex);
    if (--m_users > 0) {
        return;
    }
    StopAdbTracking(m_tracking);  // no callback runs after this
    std::lock_guard<std::mutex> lock(m_mutex);
    m_phones.clear();
    setStatusLocked(Status::kIdle);
}

void AdbDeviceTracker::setStatusLocked(Status status) {
    m_status = status;
    for (const auto& [id, wake] : m_waiters) {
        wake();
    }
}

void QX_CALL AdbDeviceTracker::onEvent(void* context, int32_t event, const char* devices) {
    auto* tracker = static_cast<AdbDeviceTracker*>(context);
    std::lock_guard<std::mutex> lock(tracker->m_mutex);
    if (event == ADBTRACK_DEVICES && devices != nullptr) {
        tracker->m_phones = parseAdbDeviceList(devices);
        tracker->setStatusLocked(Status::kListed);
    } else if (event == ADBTRACK_LOST) {
        tracker->m_phones.clear();
        tracker->setStatusLocked(Status::kConnecting);
    } else {
        tracker->m_phones.clear();
        tracker->setStatusLocked(Status::kUnavailable);
    }
}

AdbDeviceTracker::View AdbDeviceTracker::view(const std::string& serial) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    View view;
    switch (m_status) {
        case Status::kIdle:
        case Status::kUnavailable:
            return view;
        case Status::kConnecting:
            view.following = true;
            return view;
        case Status::kListed:
            break;
    }
    view.following = true;
    auto it = m_phones.find(serial);
    if (it == m_phones.end()) {
        view.state = AdbState::kAbsent;
    } else {
        view.state = classifyAdbState(it->second);
        view.stateText = it->second;
    }
    return view;
}

bool adbRestartAllowed(const std::string& serial) {
    if (deviceHost().m_lConnectCount.load() != 1) {
        return false;
    }
    if (AdbDeviceTracker::instance().view(serial).state == AdbState::kUnauthorized) {
        DD_LOG(LOG_INFO) << serial << " shows the USB debugging prompt: adb is not restarted";
        return false;
    }
    return true;
}

}  // namespace dd::android
