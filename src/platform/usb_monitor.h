// Notices that the set of USB devices changed. On the machine's own /sys a
// udev monitor (netlink, subsystem "usb") reports it; on any other sysfs root
// (a test's fake tree) inotify on ROOT/bus/usb/devices does. Either way the
// caller learns only "something changed", "what went away" and "events were
// lost"; it then rescans the tree, which is the truth.
//
// Open the monitor before the first scan: a device that arrives between the
// scan and the opening would otherwise be missed until the next event.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/wake_handle.h"

namespace dd::platform {

class UsbMonitor {
  public:
    struct Changes {
        bool changed = false;   // a USB device or interface came, changed or went
        bool removal = false;   // at least one of them went
        bool overflow = false;  // events were dropped: rescan, and assume removals
        bool woken = false;     // wake() was called
        // The sysfs names of what went ("1-3", "1-3.2:1.0"), so that only the
        // threads on those ports need to look.
        std::vector<std::string> removedNames;
        // A removal came without a usable name (or more than are kept):
        // every thread must look.
        bool removalUnnamed = false;
        // The devices that arrived or changed, by sysfs name ("1-3" also for
        // an event of its interface "1-3:1.0"; "usbN" for a root hub), each
        // once: only their ports need a look.
        std::vector<std::string> arrivedNames;
        // An arrival came without a usable name (or more than are kept):
        // the whole tree must be scanned.
        bool arrivalUnnamed = false;
        // Plain lines for the caller's log: events lost ("... overflow,
        // rescanning"), and the reason a wait failed.
        std::vector<std::string> warnings;
        std::string error;
        // Records a removal; an empty name is an unknown one.
        void addRemoval(std::string_view name);
        // Records an arrival or change; an empty name, or one that names no
        // USB device, is an unknown one.
        void addArrival(std::string_view name);
    };

    // Whether the removal of the device named removed (as in removedNames)
    // can have taken the device named own with it: the same device, one of
    // its interfaces, or a hub (or root hub "usbN") above it.
    static bool removalReaches(std::string_view removed, std::string_view own);

    // udev when sysfsRoot is the real /sys, else inotify. Never null: when the
    // event source cannot be opened (openProblem() says why) the monitor
    // still serves wake().
    static std::unique_ptr<UsbMonitor> open(const std::string& sysfsRoot);

    virtual ~UsbMonitor() = default;
    UsbMonitor(const UsbMonitor&) = delete;
    UsbMonitor& operator=(const UsbMonitor&) = delete;

    // Blocks until devices change or wake() is called, then drains every
    // pending event and reports them together, so a burst costs one rescan.
    Changes wait();
    // Makes the current or the next wait() return (thread-safe).
    void wake();
    // Whether device events can be seen at all.
    bool hasSource() const { return sourceFd() >= 0; }
    // Why device events cannot be seen, as a plain line; empty when they can.
    const std::string& openProblem() const { return m_openProblem; }

  protected:
    UsbMonitor();
    virtual int sourceFd() const = 0;
    // Reads every pending event without blocking and adds them to changes.
    virtual void drainSource(Changes& changes) = 0;

    std::string m_openProblem;

  private:
    WakeHandle m_wake;
};

}  // namespace dd::platform
