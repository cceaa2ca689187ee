// CUsbDeviceThread: the base of every per-phone thread (USB Android, BREW,
// Wi-Fi). It carries what the application object, the USB detector and the
// host's calls use to find, steer and end a phone's thread, and the waits
// (dd::StepContext) that every long step of a thread goes through.
//
// Lifecycle, the same for every subclass:
//   construct      state 0, no thread exists ("created suspended")
//   Resume()       the detector's list thread starts it (once), counting it in
//                  theApp.m_lConnectCount; state 1; InitInstance() runs
//   RequestExit()  m_lExit 0 -> 1 and every pause wakes at once
//   Join()         waits until InitInstance has returned
//   destroy        by the list thread after Join (a never-resumed object
//                  never had a thread)
// Stop() is RequestExit() + Join(). When InitInstance returns the thread sets
// state 3 and wakes the list thread, which reaps it.
//
// Threads: the fields below say who writes them. "owner" is the list thread
// of the detector (resume, reap, stop); "host" is a thread calling an export.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "base/shared_text.h"
#include "platform/exit_flag.h"

class AndroidDeviceInfo;

class CUsbDeviceThread : public dd::StepContext {
  public:
    // Values of m_nState.
    enum RunState : int32_t {
        kStateCreated = 0,           // constructed, not resumed: no thread yet
        kStateRunning = 1,           // resumed; the state machine runs
        kStateUserDisconnected = 2,  // the host disconnected it; runs on until its phone leaves
        kStateFinished = 3,          // ended, or on its way out through its exit stage
    };

    CUsbDeviceThread(std::string hubPath, int hubPort, std::string dllName, int vid, int pid,
                     std::shared_ptr<AndroidDeviceInfo> deviceInfo);
    // Joins a thread that still runs (never the calling thread itself).
    ~CUsbDeviceThread() override;
    CUsbDeviceThread(const CUsbDeviceThread&) = delete;
    CUsbDeviceThread& operator=(const CUsbDeviceThread&) = delete;

    // --- Lifecycle, driven by the owner -----------------------------------
    // Starts the thread on the first call (later calls do nothing and return
    // false): counts it in theApp.m_lConnectCount and sets state 1. When no
    // thread can be started the object stays in state 0, uncounted, and a
    // later call tries again.
    bool Resume();
    bool IsResumed() const { return m_bResumed.load(); }
    // True once InitInstance has returned: Join() then returns at once.
    bool HasEnded() const { return m_bEnded.load(); }
    // Asks the state machine to leave; wakes every pause. Idempotent.
    void RequestExit() { m_lExit.request(); }
    // Waits for the thread; nothing when it never started. Must not be called
    // from the thread itself. Safe from several threads at once.
    void Join();
    // Gives the thread's place in m_lConnectCount back; only the first call
    // does (the list thread on reaping and Disconnect may race for it).
    bool GiveBackConnectCount();
    // The host's disconnect with shutdown: marked ended by the user, asked to
    // leave, joined, and its running place given back. Returns 1.
    int ShutDownForHost();
    // A hub scan found this thread's device on its port and, because this
    // thread was listed, created none. If the thread ends anyway (its phone
    // left and came back, or a stage gave up), the device may have no thread
    // now: the detector scans again after reaping it.
    // Returns true the first time only, so a scan logs the thread once.
    bool NoteSeenByScan() { return !m_bSeenByScan.exchange(true); }
    bool SeenByScan() const { return m_bSeenByScan.load(); }
    // True when the port now carries another device than the one this thread
    // identified (pulled and plugged in again), or a device when this thread
    // recorded none. A thread that simply gave up on its phone leaves the
    // same device there, which must not get a new thread until the next plug.
    bool PortHoldsAnotherDevice() const;
    // Wakes the thread's current pause so that its presence check runs now
    // (USB removal). Does not ask it to leave.
    void Poke() { m_lExit.poke(); }

    // --- Virtual operations ------------------------------------------------
    // Vendor, product, driver key and serial of the device on the thread's
    // hub port. The base has no hub: 120.
    virtual int GetUsbNodeInfo(const std::string& hubPath, int port, int* vid, int* pid,
                               std::string* driverKey, std::string* serial);
    // This PC's identity as the pairing marker carries it; returns 0.
    virtual int BuildPcIdentity(std::string& out);
    // Removes the phone's node from the detected-device store and saves it.
    virtual void RemoveDetectedDevice(const std::string& imei);
    // RequestExit() and Join(); returns 1. Not from the thread itself.
    virtual int Stop();
    // Refreshes the phone's connection marker (companion service).
    virtual void TouchConnectMarker() = 0;
    // shutdown false: the host disconnected the phone (runs on the host's
    // thread under the monitor-list lock: take no list lock). true: end the
    // thread and wait for it. Returns 1.
    virtual int Disconnect(bool shutdown) = 0;
    // Stores the host's sync status; subclasses pass it on. Returns 1.
    virtual int SetSyncStatus(int status);
    // How the log names this thread's phone: "the phone on 1-2 port 3".
    virtual std::string phonePlace() const;
    // The list thread has taken the ended thread out of the list and joined
    // it: the family gives back what the phone held outside the thread.
    virtual void OnReaped() {}

    // --- dd::StepContext -----------------------------------------------------
    // The presence check: CheckDeviceOnHub on the thread's hub port with its
    // vid and pid, detection not stopped, and (once RememberDevice ran) the
    // very device seen then: a phone pulled and plugged in again between two
    // checks is a new device, not this thread's. When the phone is gone the
    // thread is marked to leave (m_lExit 1, state 3).
    bool devicePresent() override;
    bool exitRequested() const override { return m_lExit.requested(); }
    // Sleeps up to duration; a poke ends it early (true), an exit request
    // ends it with false.
    bool pause(std::chrono::milliseconds duration) override;

    // --- Fields ----------------------------------------------------------------
    // Set by the creator, constant afterwards.
    const std::string m_csHubPath;  // hub's sysfs name ("usb1", "1-2"); empty for Wi-Fi
    const int32_t m_nHubPort;       // 1-based port on that hub
    const std::string m_csDllName;  // catalogue "dll" as a full path, or empty
    const int32_t m_nVid;
    const int32_t m_nPid;
    // The phone's key: the adb serial, then the phone's own serial (USB
    // Android), the IMEI (BREW), the serial or IMEI it was claimed under
    // (Wi-Fi). Written by the thread; host calls find the thread by it.
    dd::SharedText m_csSerialNum;
    // Set just before NEW_DEVICE; QX_DisconnectDevice finds the thread by it.
    dd::SharedText m_csConnectedSerial;
    // Host sync status: -1 none, START_SYNC 0, STOP_SYNC 1, READY_SYNC 2.
    // Written by host calls, read by the thread and its sync link.
    std::atomic<int32_t> m_lSyncStatus{-1};
    // Exit request, 0 -> 1 only: Stop, Disconnect(true), the thread itself.
    dd::ExitFlag m_lExit;
    // The phone's information entry (Android, Wi-Fi), shared with the info
    // list so that it outlives its removal from the list while the thread
    // still uses it; null for BREW.
    const std::shared_ptr<AndroidDeviceInfo> m_pDeviceInfo;
    // RunState; written by the thread, the owner and Disconnect.
    std::atomic<int32_t> m_nState{kStateCreated};
    // 1 once Disconnect ran.
    std::atomic<int32_t> m_bUserDisconnect{0};

  protected:
    // The state machine; runs on the thread. Returns 0 (FALSE): the thread ends.
    virtual int InitInstance() = 0;
    // Marks the thread to leave: m_lExit 1 and state 3.
    void MarkLeaving();
    // Makes key this thread's key (theApp.claimSerial). While another device
    // thread that has not ended goes by it, this phone waits unannounced and
    // tries again every second, asking stillHere after each pause: one key,
    // one live phone, and the phone that had it first keeps it. False when
    // the wait ended because the thread is to leave.
    bool claimKeyWaiting(const std::string& key, const std::function<bool()>& stillHere);
    // Starts the system thread that runs body; throws std::system_error when
    // none can be had (thread limit, memory), as std::thread does.
    virtual std::thread startThread(std::function<void()> body);
    // Records which device is on the port now (its kernel device number),
    // so that later presence checks recognise a replacement. Call it where
    // the thread identifies its device.
    void RememberDevice();

  private:
    void Run();

    std::mutex m_threadMutex;  // guards m_thread (Resume, Join, destructor)
    std::thread m_thread;
    std::atomic<bool> m_bResumed{false};
    std::atomic<bool> m_bEnded{false};
    std::atomic<bool> m_bSeenByScan{false};
    std::atomic<int> m_nDeviceNumber{0};  // 0: not recorded
    std::atomic<bool> m_bCountReturned{false};
};
