// CUsbDetect: the USB arrival detector embedded in theApp (m_usbDetect). One
// generation per startDetect runs two threads:
//
//   watch thread   waits on the USB monitor (and the change event), scans
//                  every hub port and hands each supported device to
//                  theApp.CreateDeviceMonitorThread; on a removal it pokes
//                  every device thread so its presence check runs now.
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
#include <thread>

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

    // The change event: the watch thread scans once more (a request during a
    // scan gives one more scan after it).
    void requestScan();
    // A device thread was added to the list or has ended: wakes the list thread.
    void listChanged();

    // One scan of every hub port. Returns 259 (the end of the hubs).
    int usbDetect();
    // The scan itself: every connected, non-hub device on a hub port that the
    // catalogue supports goes to onSupported. Returns how many did.
    static size_t scanPorts(
        const dd::platform::UsbSysfs& tree, const CSupportedDevices& supported,
        const std::function<void(const dd::platform::UsbPortDevice&)>& onSupported);

  private:
    void watchThreadMain();
    void usbGetDeviceThread();
    // Resumes and reaps once; true when a reaped thread had lost its phone.
    bool listPass();

    std::mutex m_lifecycle;  // serialises start, signalLeave and join

    std::mutex m_mutex;  // guards the flags below for m_wake
    std::condition_variable m_wake;
    bool m_listDirty = false;  // a thread was created or ended
    bool m_watchEnded = true;  // the watch thread has left its loop
    std::atomic<bool> m_leave{true};
    std::atomic<bool> m_scanRequested{false};

    // Opened by start() before the threads exist, closed by join() after
    // they ended; the threads use it in between.
    std::unique_ptr<dd::platform::UsbMonitor> m_monitor;
    std::thread m_watchThread;
    std::thread m_listThread;
};
