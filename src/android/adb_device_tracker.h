// The adb server's device list as the whole module knows it: one tracker
// (one host:track-devices connection through libDeviceController.so) for
// every Android phone thread. It runs while at least one phone thread holds
// a Use, and tells the threads that wait for their phone (Waiter) about
// every change of the list, so a phone that reaches adb late, or waits for
// its user's answer to the USB debugging prompt, is taken up the moment
// adb lists it as "device" and costs nothing while it waits.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "android/adb_device_list.h"
#include "android/device_controller_bridge.h"

namespace dd::android {

class AdbDeviceTracker {
  public:
    // What the tracker knows of one serial.
    struct View {
        // False when no list can be had (no server could be reached, or the
        // runner cannot follow one): callers go on without waiting.
        bool following = false;
        AdbState state = AdbState::kUnknown;  // kUnknown until the first list
        std::string stateText;                // the server's word for it
    };

    // The module's one tracker. Never destroyed: the module's static
    // destructors may run before its phone threads have ended, and when no
    // Use is held it owns nothing.
    static AdbDeviceTracker& instance();

    // Held by a phone thread from its first adb step to its end. The first
    // Use starts following the list, the last one's end stops it (waiting
    // for the runner's thread).
    class Use {
      public:
        Use();
        ~Use();
        Use(const Use&) = delete;
        Use& operator=(const Use&) = delete;
    };

    // While it lives, wake is called at every change of the list or of the
    // tracker's state, under the tracker's lock: it may only poke a waiter.
    class Waiter {
      public:
        explicit Waiter(std::function<void()> wake);
        ~Waiter();
        Waiter(const Waiter&) = delete;
        Waiter& operator=(const Waiter&) = delete;

      private:
        uint64_t m_id;
    };

    View view(const std::string& serial) const;

  private:
    enum class Status {
        kIdle,         // no Use held
        kConnecting,   // asked for the list, none yet (or the server restarts)
        kListed,       // m_phones is the server's list
        kUnavailable,  // no list: no server, or the runner cannot follow one
    };

    AdbDeviceTracker() = default;
    static void QX_CALL onEvent(void* context, int32_t event, const char* devices);
    void acquire();
    void release();
    void setStatusLocked(Status status);

    std::mutex m_lifeMutex;  // the runner's tracker: started and stopped under it
    int m_users = 0;         // guarded by m_lifeMutex
    AdbTracking m_tracking;  // guarded by m_lifeMutex

    mutable std::mutex m_mutex;  // guards everything below; the runner's thread takes it
    Status m_status = Status::kIdle;
    std::map<std::string, std::string> m_phones;  // serial -> state text
    std::map<uint64_t, std::function<void()>> m_waiters;
    uint64_t m_nextWaiter = 1;
};

// Whether the adb server may be restarted for this phone's sake: only while
// it is the only phone thread (a restart drops every phone's adb link for a
// moment), and never while it shows the USB debugging prompt (a restart
// throws the user's answer away).
bool adbRestartAllowed(const std::string& serial);

}  // namespace dd::android
