#include "platform/usb_monitor.h"

#include <libudev.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "platform/paths.h"
#include "platform/unique_fd.h"

namespace dd::platform {

namespace {

// Large enough for the bursts of a hub with many phones being plugged in at
// once; an overflow still only costs a rescan.
constexpr int kReceiveBufferBytes = 8 * 1024 * 1024;
constexpr int kMaxEventsPerDrain = 4096;

class UdevUsbMonitor final : public UsbMonitor {
  public:
    UdevUsbMonitor() {
        m_udev.reset(udev_new());
        if (!m_udev) {
            m_openProblem = "udev_new failed, USB changes will not be seen";
            return;
        }
        // "udev" events come after udev's rules ran, so a device reported here
        // has its node permissions set.
        m_monitor.reset(udev_monitor_new_from_netlink(m_udev.get(), "udev"));
        if (!m_monitor ||
            udev_monitor_filter_add_match_subsystem_devtype(m_monitor.get(), "usb", nullptr) < 0) {
            m_openProblem = "cannot create the udev monitor, USB changes will not be seen";
            m_monitor.reset();
            return;
        }
        if (udev_monitor_set_receive_buffer_size(m_monitor.get(), kReceiveBufferBytes) < 0) {
            // Without the privilege to force it, take what the system allows.
            int size = kReceiveBufferBytes;
            setsockopt(udev_monitor_get_fd(m_monitor.get()), SOL_SOCKET, SO_RCVBUF, &size,
                       sizeof(size));
        }
        if (udev_monitor_enable_receiving(m_monitor.get()) < 0) {
            m_openProblem = "cannot listen to udev, USB changes will not be seen";
            m_monitor.reset();
        }
    }

  protected:
    int sourceFd() const override { return m_monitor ? udev_monitor_get_fd(m_monitor.get()) : -1; }

    void drainSource(Changes& changes) override {
        // Bounded so that a socket that keeps reporting an error cannot hold
        // the watch thread here; what is left is read on the next wait.
        for (int round = 0; round < kMaxEventsPerDrain; ++round) {
            errno = 0;
            std::unique_ptr<udev_device, decltype(&udev_device_unref)> device(
                udev_monitor_receive_device(m_monitor.get()), &udev_device_unref);
            if (!device) {
                if (errno == ENOBUFS) {
                    // The kernel dropped events: a removal may be among them.
                    changes.warnings.emplace_back("udev monitor overflow, rescanning");
                    changes.overflow = true;
                    continue;
                }
                return;  // EAGAIN: drained (or a malformed message was skipped)
            }
            const char* action = udev_device_get_action(device.get());
            const char* name = udev_device_get_sysname(device.get());
            std::string_view sysname = name != nullptr ? name : "";
            if (action != nullptr &&
                (std::strcmp(action, "remove") == 0 || std::strcmp(action, "unbind") == 0)) {
                changes.addRemoval(sysname);
            } else if (action != nullptr && std::strcmp(action, "move") == 0) {
                changes.addRemoval("");  // renamed: the old name is gone, look everywhere
                changes.addArrival("");
            } else {
                // add, bind, change, online, offline: a look at the device tells.
                changes.addArrival(sysname);
            }
        }
    }

  private:
    std::unique_ptr<udev, decltype(&udev_unref)> m_udev{nullptr, &udev_unref};
    std::unique_ptr<udev_monitor, decltype(&udev_monitor_unref)> m_monitor{nullptr,
                                                                           &udev_monitor_unref};
};

class InotifyUsbMonitor final : public UsbMonitor {
  public:
    explicit InotifyUsbMonitor(const std::string& sysfsRoot) {
        std::string dir = joinPath(sysfsRoot, "bus/usb/devices");
        m_fd.reset(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
        if (!m_fd || inotify_add_watch(m_fd.get(), dir.c_str(),
                                       IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                           IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR) < 0) {
            m_openProblem = "cannot watch " + dir + ": " + std::strerror(errno);
            m_fd.reset();
        }
    }

  protected:
    int sourceFd() const override { return m_fd.get(); }

    void drainSource(Changes& changes) override {
        alignas(inotify_event) char buffer[16384];
        for (;;) {
            ssize_t length = read(m_fd.get(), buffer, sizeof(buffer));
            if (length <= 0) {
                return;  // EAGAIN: drained
            }
            for (ssize_t offset = 0;
                 offset + static_cast<ssize_t>(sizeof(inotify_event)) <= length;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
                if ((event->mask & IN_Q_OVERFLOW) != 0) {
                    changes.warnings.emplace_back("inotify overflow, rescanning");
                    changes.overflow = true;
                }
                if ((event->mask & (IN_CREATE | IN_MOVED_TO)) != 0) {
                    changes.addArrival(event->len > 0 ? std::string_view(event->name) : "");
                }
                if ((event->mask & (IN_DELETE | IN_MOVED_FROM)) != 0) {
                    changes.addRemoval(event->len > 0 ? std::string_view(event->name) : "");
                }
                if ((event->mask & (IN_DELETE_SELF | IN_MOVE_SELF)) != 0) {
                    changes.addRemoval("");  // the whole folder went
                    changes.addArrival("");
                }
                offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
    }

  private:
    UniqueFd m_fd;
};

}  // namespace

std::unique_ptr<UsbMonitor> UsbMonitor::open(const std::string& sysfsRoot) {
    if (sysfsRoot == "/sys" || sysfsRoot == "/sys/") {
        return std::make_unique<UdevUsbMonitor>();
    }
    return std::make_unique<InotifyUsbMonitor>(sysfsRoot);
}

UsbMonitor::Changes UsbMonitor::wait() {
    Changes changes;
    pollfd fds[2] = {{m_wake.native(), POLLIN, 0}, {sourceFd(), POLLIN, 0}};
    nfds_t count = fds[1].fd >= 0 ? 2 : 1;
    while (!changes.changed && !changes.overflow && !changes.woken) {
        int ready = poll(fds, count, -1);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            changes.error = std::string("poll on the USB monitor failed: ") + std::strerror(errno);
            changes.woken = true;  // let the caller look at its flags instead of spinning here
            break;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            m_wake.drain();
            changes.woken = true;
        }
        if (count == 2 && fds[1].revents != 0) {
            drainSource(changes);
        }
    }
    return changes;
}

}  // namespace dd::platform
