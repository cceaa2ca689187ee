// CUsbDetect: the USB arrival detector embedded in theApp (m_usbDetect). One
// generation per startDetect runs two threads:
//
//   watch thread   waits on the USB monitor (and the change event). An
//                  event that names its device costs a look at that device
//                  (and, for a hub, at what is on its ports); the first
//                  pass, lost events and unnamed ones cost a scan of every
//                  hub port. Each supported device found goes to
//                  theApp.CreateDeviceMonitorThread. On a removal it pokes
//                  the device threads the removal can concern, so their
//                  presence check runs now.
//   list thread    usbGetDeviceThread: resumes created device threads while
//                  fewer than 255 run and reaps the ones that ended. It
//                  sleeps until a thread is created or ends, or stop comes:
//                  idle detection costs no CPU.
//
// Stopping (signalLeave) waits for nothing. The list thread, once the watch
// thread has ended, stops every device thread: all exit flags are set under
// the monitor-list lock, the threads are taken out, and they are joined
// outside it, so a device thread that needs that lock on its way out can
// always finish. join() waits for all of it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/usb_monitor.h"
#include "platform/usb_sysfs.h"

class CSupportedDevices;

class CUsbDetect {
  public:
    CUsbDetect() = default;
    ~CUsbDetect();  // signalLeave() and join()
    CUsbDetect(const CUsbDetect&) = delete;
    CUsbDetect& operator=(const CUsbDetect&) = delete;

    // Starts a generation. A previous one is told to leave and waited for
    // first, so two generations never share the device list. The monitor is
    // opened before the watch thread makes its first scan.
    void start();
    // The leave event and the change event: both threads end on their own.
    void signalLeave();
    // Waits until both threads of the current generation have ended (every
    // device thread with them). Nothing to do when none runs.
    void join();
    // True from start() until signalLeave().
    bool running() const;

    // Where start() gets its USB monitor; unset, UsbMonitor::open. Tests
    // give one that reports the events they script, lost ones included.
    using MonitorOpener =
        std::function<std::unique_ptr<dd::platform::UsbMonitor>(const std::string& sysfsRoot)>;
    void setMonitorOpener(MonitorOpener opener);

    // The change event: the watch thread scans once more (a request during a
    // scan gives one more scan after it).
    void requestScan();
    // The watch thread looks at the device of one sysfs name once more.
    void requestLook(const std::string& name);
    // A device thread was added to the list or has ended: wakes the list thread.
    void listChanged();

    // One scan of every hub port. Returns 259 (the end of the hubs).
    int usbDetect();
    // The scan itself: every connected, non-hub device on a hub port that the
    // catalogue supports goes to onSupported. Returns how many did.
    // Names of entries that were there but half written go to incomplete
    // when given.
    static size_t scanPorts(
        const dd::platform::UsbSysfs& tree, const CSupportedDevices& supported,
        const std::function<void(const dd::platform::UsbPortDevice&)>& onSupported,
        std::vector<std::string>* incomplete = nullptr);
    // The same for the devices an event named only: each named device, and
    // for a hub (or a root hub "usbN") what is on its ports, hubs below
    // included. Names whose device is there but half written go to
    // incomplete, to be looked at again with the next event. unresolved
    // (when given) tells whether a name could not be placed at all, which
    // only a scan of everything answers.
    static size_t lookAtNames(
        const dd::platform::UsbSysfs& tree, const CSupportedDevices& supported,
        const std::vector<std::string>& names,
        const std::function<void(const dd::platform::UsbPortDevice&)>& onSupported,
        std::vector<std::string>& incomplete, bool* unresolved = nullptr);

  private:
    void watchThreadMain();
    // lookAtNames for the module's tree and catalogue, with the names that
    // were half written last time.
    void lookAtNamed(std::vector<std::string> names);
    void usbGetDeviceThread();
    // Resumes and reaps once; a reaped thread whose port holds another
    // device has that port looked at again.
    void listPass();

    std::mutex m_lifecycle;  // serialises start, signalLeave and join

    std::mutex m_mutex;  // guards the flags below for m_wake
    std::condition_variable m_wake;
    bool m_listDirty = false;  // a thread was created or ended
    bool m_watchEnded = true;  // the watch thread has left its loop
    std::atomic<bool> m_leave{true};
    std::atomic<bool> m_scanRequested{false};

    std::mutex m_lookLock;  // guards m_lookRequests
    std::vector<std::string> m_lookRequests;
    // Watch thread only: devices seen half written, looked at again with
    // every event until they are complete or gone.
    std::vector<std::string> m_incomplete;

    // Opened by start() before the threads exist, closed by join() after
    // they ended; the threads use it in between.
    std::unique_ptr<dd::platform::UsbMonitor> m_monitor;
    MonitorOpener m_openMonitor;  // under m_lifecycle
    std::thread m_watchThread;
    std::thread m_listThread;
};
