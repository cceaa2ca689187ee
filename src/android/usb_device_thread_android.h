// CUsbDeviceThread_Android: the thread of one Android phone on a USB hub
// port. InitInstance runs the phone's state machine as a list of stages
// (kStages in usb_device_thread_android.cpp); each stage is a member function
// that either goes on to the next stage or leaves, and every path ends in the
// exit stage:
//
//   start, identify, driver                                 (this file's .cpp)
//   adb wait: until adb lists the phone as "device"         (android_adb_wait.cpp)
//   properties, model gate, boot                            (this file's .cpp)
//   sync tool, wait for 7890, discovered                    (this file's .cpp)
//   service port, information, install and retry, pairing,
//   link setup                                              (android_service_stages.cpp)
//   link loop: the command link on 7890 and the sync link   (android_link_loop.cpp)
//
// Every wait goes through pause() or the exit flag's wake descriptor, so
// stop, host disconnect and unplug cut it short.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "android/adb_device_tracker.h"
#include "android/getprop_parser.h"
#include "android/link_sockets.h"
#include "android/sync_server.h"
#include "device/usb_device_thread.h"

class CUsbDeviceThread_Android : public CUsbDeviceThread {
  public:
    // How often a phone that no stage talks to is checked for presence. A
    // USB removal pokes the thread at once, so this is only the backstop.
    static constexpr std::chrono::milliseconds kPresencePollPeriod{1000};
    // How long a fresh command link may stay silent after the probe before
    // it is closed and made again.
    static constexpr std::chrono::milliseconds kFirstAnswerLimit{5000};
    using Clock = std::chrono::steady_clock;

    CUsbDeviceThread_Android(std::shared_ptr<AndroidDeviceInfo> deviceInfo, std::string hubPath,
                             int hubPort, std::string dllName, int vid, int pid);
    ~CUsbDeviceThread_Android() override;

    // Vendor, product, driver key and the USB serial of the device on the
    // port. 87 bad arguments; a hub error; 1167 nothing or a hub there; the
    // serial string's error when it cannot be read (serial untouched).
    int GetUsbNodeInfo(const std::string& hubPath, int port, int* vid, int* pid,
                       std::string* driverKey, std::string* serial) override;
    // Touches "<confPath>/connect.dat" on the phone through its service port.
    void TouchConnectMarker() override;
    // false: the host disconnected the phone: state 2, the sync link stops
    // for good, REMOVE_DEVICE is sent (record lock), the running count is
    // given back; the thread runs on until its phone leaves. true: end the
    // thread and wait for it.
    int Disconnect(bool shutdown) override;
    // Stores the host's status and wakes the sync link to pass it on.
    int SetSyncStatus(int status) override;

    // Local ports forwarded to the phone's 8182, 7890 and 7990; 0 until the
    // adb server chose them. Written by this thread; the sync link reads
    // m_nSyncLocalPort when it starts; host calls (marker files) read
    // m_nHttpLocalPort, which a re-forward may change, hence atomic.
    std::atomic<uint16_t> m_nHttpLocalPort{0};
    uint16_t m_nCmdLocalPort = 0;
    uint16_t m_nSyncLocalPort = 0;
    // 1 while no sync link thread runs. The sync link clears it when it
    // starts and sets it on every way out; Disconnect sets it.
    std::atomic<int32_t> m_lSyncServerStopped{1};

  protected:
    int InitInstance() override;

  private:
    // What one run of the state machine carries from stage to stage.
    struct RunContext {
        int vid = 0;
        int pid = 0;
        std::string driverKey;
        std::string serial;  // USB serial = adb serial: the phone's key everywhere
        KernelInfo kernel;   // what getprop said; zero/empty for missing properties
        int32_t bootCompleted = 0;
        bool serviceMissing = false;  // the service start said "Not found"
        bool infoRead = false;        // the information loop read the phone
        bool pairingDone = false;     // the marker check ran on this thread
        // The module's adb device list, followed from the adb wait on.
        std::optional<dd::android::AdbDeviceTracker::Use> adbUse;
        Clock::time_point adbWaitBegan{};  // the adb wait's limit counts from here
        bool adbWaited = false;            // the phone was not "device" at once
        // The waiting state the host and the log were told last; kDevice: none.
        dd::android::AdbState adbStateTold = dd::android::AdbState::kDevice;
        // The server's own word for a phone its device list shows "offline"
        // (the list is not sent again when a phone turns "unauthorized"):
        // asked with "devices" at growing intervals while that lasts.
        std::string adbAskedState;
        Clock::time_point adbNextAsk{};
        std::chrono::milliseconds adbAskInterval{0};
    };
    enum class Next {
        kContinue,  // go on with the next stage
        kExit,      // go to the exit stage
    };
    using Stage = Next (CUsbDeviceThread_Android::*)(RunContext&);

    // usb_device_thread_android.cpp
    Next stageStart(RunContext& run);
    Next stageIdentify(RunContext& run);
    Next stageDriver(RunContext& run);
    Next stageAdbWait(RunContext& run);  // android_adb_wait.cpp
    Next stageProperties(RunContext& run);
    Next stageModelGate(RunContext& run);
    Next stageBoot(RunContext& run);
    Next stageSyncTool(RunContext& run);
    Next stageWait7890(RunContext& run);
    Next stageDiscovered(RunContext& run);
    void stageExit(RunContext& run);
    // android_service_stages.cpp
    Next stageServicePort(RunContext& run);
    Next stageInformation(RunContext& run);
    Next stageInstallRetry(RunContext& run);
    Next stagePairing(RunContext& run);
    Next stageLinkSetup(RunContext& run);
    // android_link_loop.cpp
    Next stageLinkLoop(RunContext& run);

    // "Leave": m_lExit 1, state 3, then the exit stage.
    Next leave();
    // Presence check, then exit check: kExit when either says so.
    Next presenceAndExitCheck();
    // True when the phone is at least 4.5 of the sync tool's line.
    static bool hasSyncTool(const RunContext& run);

    // Service helpers (android_service_stages.cpp).
    // Forwards a local port to the phone's remote port (forwardLocalPort):
    // keeps `current` when it still leads there, else the adb server's new
    // choice; 0 when no forward could be made.
    uint16_t forward(const RunContext& run, uint16_t current, uint16_t remote);
    // Makes sure all three forwards are in place (after a failed link).
    void forwardAll(const RunContext& run);
    // One information query through m_nHttpLocalPort; 1 when read.
    int readInformation(const RunContext& run);
    // The information loop with its 50-unit budget; the last query's result.
    int informationLoop(const RunContext& run);
    // Takes the phone's own serial into m_csSerialNum; kExit when it is empty.
    Next takePhoneSerial();

    // adb wait helpers (android_adb_wait.cpp).
    // Logs the phone's waiting state once and tells the host with
    // DRIVER_INSTALLING ("adb:" and the state in the record's firmware).
    void tellAdbWaiting(RunContext& run, const dd::android::AdbDeviceTracker::View& view,
                        std::chrono::seconds limit);
    // True when the property read may have failed because the phone left
    // the "device" state in adb, and the adb wait has time left for it.
    bool adbStateMayExplainFailure(const RunContext& run);
    // For a phone the device list shows "offline" past the grace: the state
    // "adb devices" gives (at most once per adbAskInterval).
    void refineOfflineState(RunContext& run, dd::android::AdbDeviceTracker::View& view);
    // Sleeps until a wake (the device list, a USB removal, an exit) or until.
    void waitForWake(Clock::time_point until);

    // Link loop helpers (android_link_loop.cpp).
    // Connects and probes the command link; true when linked.
    bool connectCommandLink(RunContext& run);
    // Watches a linked command link until it is lost, stays silent past
    // kFirstAnswerLimit, or the thread leaves.
    void watchCommandLink(RunContext& run);
    // True when the sync link is down and may be rebuilt.
    bool syncLinkWanted() const;
    // The command link's poll time limit: -1 (none) while nothing is owed.
    int commandWaitMs(bool answered, Clock::time_point answerDeadline) const;
    // The phone answered on a fresh link: unmount shared storage, announce.
    Next phoneAnswered(RunContext& run);
    void startSyncLink(bool rebuild);

    dd::android::LinkSocket m_sockCmd;  // the command link; this thread only
    // The sync link worker; made at construction so that Disconnect (another
    // thread) can always reach it.
    std::unique_ptr<dd::android::SyncServerThread> m_syncServer;

    static const Stage kStages[];
};
