// CUsbDeviceThread_Android: the thread of one Android phone on a USB hub
// port. InitInstance runs the phone's state machine as a list of stages
// (kStages in the .cpp); each stage is a member function that either goes on
// to the next stage or leaves, and every path ends in the exit stage.
//
// The stages so far: start, identify (USB serial -> m_csSerialNum), and a
// presence watch that stands where the link loop will run. The driver,
// property, boot, service, information, pairing and link stages go between
// identify and the watch.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "usb/usb_device_thread.h"

class CUsbDeviceThread_Android : public CUsbDeviceThread {
  public:
    // How often a phone that no stage talks to is checked for presence. A
    // USB removal pokes the thread at once, so this is only the backstop.
    static constexpr std::chrono::milliseconds kPresencePollPeriod{1000};

    CUsbDeviceThread_Android(std::shared_ptr<AndroidDeviceInfo> deviceInfo, std::string hubPath,
                             int hubPort, std::string dllName, int vid, int pid);
    ~CUsbDeviceThread_Android() override;

    // Vendor, product, driver key and the USB serial of the device on the
    // port. 87 bad arguments; a hub error; 1167 nothing or a hub there; the
    // serial string's error when it cannot be read (serial untouched).
    int GetUsbNodeInfo(const std::string& hubPath, int port, int* vid, int* pid,
                       std::string* driverKey, std::string* serial) override;
    void TouchConnectMarker() override;
    // false: the host disconnected the phone: state 2, the sync link is told
    // to stop, REMOVE_DEVICE is sent (record lock), the running count is
    // given back; the thread runs on until its phone leaves. true: end the
    // thread and wait for it.
    int Disconnect(bool shutdown) override;

    // Local ports forwarded to the phone's 8182, 7890 and 7990; 0 until
    // chosen. Written and read by this thread (and its sync link).
    uint16_t m_nHttpLocalPort = 0;
    uint16_t m_nCmdLocalPort = 0;
    uint16_t m_nSyncLocalPort = 0;
    // 1 while no sync link thread runs. Disconnect sets it; the link loop
    // clears it when it starts the sync link.
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
    };
    enum class Next {
        kContinue,  // go on with the next stage
        kExit,      // go to the exit stage
    };
    using Stage = Next (CUsbDeviceThread_Android::*)(RunContext&);

    Next stageStart(RunContext& run);
    Next stageIdentify(RunContext& run);
    Next stageWatchPresence(RunContext& run);
    void stageExit(RunContext& run);

    // "Leave": m_lExit 1, state 3, then the exit stage.
    Next leave();
    // Presence check, then exit check: kExit when either says so.
    Next presenceAndExitCheck();

    static const Stage kStages[];
};
