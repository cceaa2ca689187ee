#include "platform/usb_monitor.h"

// clang-format off
#include "platform/win32/win_handle.h"
#include <dbt.h>
// clang-format on

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/paths.h"

namespace dd::platform {

namespace {

// GUID_DEVINTERFACE_USB_DEVICE: every USB device's interface.
constexpr GUID kUsbDeviceInterface = {
    0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};
constexpr DWORD kChangeBufferBytes = 64 * 1024;  // a hub tower's burst; overflow still rescans
constexpr int kMaxCompletionsPerDrain = 4096;

// ROOT/bus/usb/devices of a fake tree, watched with ReadDirectoryChangesW.
// One overlapped read is always pending; its event is the source handle.
class DirectoryUsbMonitor final : public UsbMonitor {
  public:
    explicit DirectoryUsbMonitor(const std::string& sysfsRoot) {
        std::string dir = joinPath(sysfsRoot, "bus/usb/devices");
        m_dir =
            CreateFileW(win32::widen(dir).c_str(), FILE_LIST_DIRECTORY,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
        m_overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (m_dir == INVALID_HANDLE_VALUE || m_overlapped.hEvent == nullptr || !startRead()) {
            m_openProblem = "cannot watch " + dir + ": " + win32::errorText(GetLastError());
            release();
        }
    }
    ~DirectoryUsbMonitor() override { release(); }

  protected:
    int sourceFd() const override {
        return m_pending ? win32::fromHandle(m_overlapped.hEvent) : -1;
    }

    void drainSource(Changes& changes) override {
        for (int round = 0; m_pending && round < kMaxCompletionsPerDrain; ++round) {
            DWORD bytes = 0;
            if (!GetOverlappedResult(m_dir, &m_overlapped, &bytes, FALSE)) {
                DWORD error = GetLastError();
                if (error == ERROR_IO_INCOMPLETE) {
                    return;  // drained
                }
                if (error != ERROR_NOTIFY_ENUM_DIR) {
                    // The folder went or the watch broke: rescan, and stop
                    // watching rather than fail again at every wait.
                    changes.addRemoval("");
                    changes.addArrival("");
                    changes.warnings.push_back("USB folder watch ended: " +
                                               win32::errorText(error));
                    m_pending = false;
                    return;
                }
                bytes = 0;  // the system dropped the changes
            }
            if (bytes == 0) {
                changes.warnings.emplace_back("folder watch overflow, rescanning");
                changes.overflow = true;
            } else {
                addEntries(changes, bytes);
            }
            if (!startRead()) {
                changes.error =
                    "cannot watch the USB folder again: " + win32::errorText(GetLastError());
                changes.overflow = true;
                return;
            }
        }
    }

  private:
    bool startRead() {
        ResetEvent(m_overlapped.hEvent);
        m_pending =
            ReadDirectoryChangesW(m_dir, m_buffer, sizeof(m_buffer), FALSE,
                                  FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME,
                                  nullptr, &m_overlapped, nullptr) != 0;
        return m_pending;
    }

    // Walks the records the system wrote, never past the bytes it reported.
    void addEntries(Changes& changes, DWORD bytes) {
        size_t offset = 0;
        size_t limit = bytes < sizeof(m_buffer) ? bytes : sizeof(m_buffer);
        while (offset + offsetof(FILE_NOTIFY_INFORMATION, FileName) <= limit) {
            const auto* info = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(
                reinterpret_cast<const char*>(m_buffer) + offset);
            size_t nameBytes = info->FileNameLength;
            size_t nameStart = offset + offsetof(FILE_NOTIFY_INFORMATION, FileName);
            if (nameBytes > limit - nameStart) {
                changes.addRemoval("");  // a torn record: let everyone look
                changes.addArrival("");
                return;
            }
            std::string name =
                win32::narrow(std::wstring_view(info->FileName, nameBytes / sizeof(WCHAR)));
            if (info->Action == FILE_ACTION_REMOVED ||
                info->Action == FILE_ACTION_RENAMED_OLD_NAME) {
                changes.addRemoval(name);
            } else {
                changes.addArrival(name);  // added, renamed into place, modified
            }
            if (info->NextEntryOffset == 0) {
                return;
            }
            offset += info->NextEntryOffset;
        }
    }

    void release() {
        if (m_dir != INVALID_HANDLE_VALUE) {
            if (m_pending) {
                DWORD bytes = 0;
                CancelIo(m_dir);
                GetOverlappedResult(m_dir, &m_overlapped, &bytes, TRUE);
            }
            CloseHandle(m_dir);
            m_dir = INVALID_HANDLE_VALUE;
        }
        if (m_overlapped.hEvent != nullptr) {
            CloseHandle(m_overlapped.hEvent);
            m_overlapped.hEvent = nullptr;
        }
        m_pending = false;
    }

    HANDLE m_dir = INVALID_HANDLE_VALUE;
    OVERLAPPED m_overlapped{};
    bool m_pending = false;
    alignas(DWORD) BYTE m_buffer[kChangeBufferBytes];
};

// The machine's own devices: a hidden window registered for arrivals and
// removals of USB device interfaces, on a thread of its own that pumps its
// messages. The window procedure records what came and signals the event.
class NotificationUsbMonitor final : public UsbMonitor {
  public:
    NotificationUsbMonitor() {
        m_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (m_event == nullptr || ready == nullptr) {
            m_openProblem = "cannot create an event: " + win32::errorText(GetLastError());
        } else {
            m_thread = std::thread([this, ready] { pump(ready); });
            WaitForSingleObject(ready, INFINITE);
        }
        if (ready != nullptr) {
            CloseHandle(ready);
        }
    }
    ~NotificationUsbMonitor() override {
        if (m_thread.joinable()) {
            PostThreadMessageW(m_threadId.load(), WM_QUIT, 0, 0);
            m_thread.join();
        }
        if (m_event != nullptr) {
            CloseHandle(m_event);
        }
    }

  protected:
    int sourceFd() const override { return m_window != nullptr ? win32::fromHandle(m_event) : -1; }

    void drainSource(Changes& changes) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        ResetEvent(m_event);
        for (const std::string& name : m_arrivals) {
            changes.addArrival(name);  // the device's interface path
        }
        if (m_arrivalUnnamed) {
            changes.addArrival("");  // scan all
        }
        if (m_removal) {
            changes.addRemoval("");  // the system names no port: every thread looks
        }
        m_arrivals.clear();
        m_arrivalUnnamed = m_removal = false;
    }

  private:
    // Arrivals kept by name until the next wait; beyond, a scan of all.
    static constexpr size_t kMaxArrivals = 256;
    static constexpr size_t kMaxArrivalChars = 300;

    // The interface path an arrival carries, read within the size its header
    // gives; empty when there is none or it is too long to be a USB device's.
    static std::string arrivalName(const DEV_BROADCAST_HDR* header) {
        constexpr size_t kNameAt = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
        if (header->dbch_size <= kNameAt) {
            return {};
        }
        const auto* iface = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(header);
        size_t chars =
            std::min<size_t>((header->dbch_size - kNameAt) / sizeof(WCHAR), kMaxArrivalChars + 1);
        std::wstring_view name(iface->dbcc_name, chars);
        name = name.substr(0, name.find(L'\0'));
        return name.size() > kMaxArrivalChars ? std::string() : win32::narrow(name);
    }

    static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_DEVICECHANGE &&
            (wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVICEREMOVECOMPLETE)) {
            auto* self =
                reinterpret_cast<NotificationUsbMonitor*>(GetWindowLongPtrW(window, GWLP_USERDATA));
            const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam);
            if (self != nullptr && header != nullptr &&
                header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE) {
                std::lock_guard<std::mutex> lock(self->m_mutex);
                if (wParam == DBT_DEVICEREMOVECOMPLETE) {
                    self->m_removal = true;
                } else if (std::string name = arrivalName(header);
                           name.empty() || self->m_arrivals.size() >= kMaxArrivals) {
                    self->m_arrivalUnnamed = true;
                } else {
                    self->m_arrivals.push_back(std::move(name));
                }
                SetEvent(self->m_event);
            }
            return TRUE;
        }
        return DefWindowProcW(window, message, wParam, lParam);
    }

    void pump(HANDLE ready) {
        m_threadId = GetCurrentThreadId();
        MSG message;
        PeekMessageW(&message, nullptr, WM_USER, WM_USER, PM_NOREMOVE);  // the queue exists now
        HINSTANCE instance = GetModuleHandleW(nullptr);
        WNDCLASSW windowClass{};
        windowClass.lpfnWndProc = windowProc;
        windowClass.hInstance = instance;
        windowClass.lpszClassName = L"orqHideDialog";
        RegisterClassW(&windowClass);  // fails harmlessly when it is registered already
        HWND window = CreateWindowExW(0, L"orqHideDialog", L"orqHideDialog", 0, 0, 0, 0, 0, nullptr,
                                      nullptr, instance, nullptr);
        HDEVNOTIFY notify = nullptr;
        if (window != nullptr) {
            ShowWindow(window, SW_HIDE);
            SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
            DEV_BROADCAST_DEVICEINTERFACE_W filter{};
            filter.dbcc_size = sizeof(filter);
            filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
            filter.dbcc_classguid = kUsbDeviceInterface;
            notify = RegisterDeviceNotificationW(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
        }
        if (notify == nullptr) {
            m_openProblem =
                "cannot register for USB device notifications: " + win32::errorText(GetLastError());
            if (window != nullptr) {
                DestroyWindow(window);
            }
            SetEvent(ready);
            return;
        }
        m_window = window;
        SetEvent(ready);
        while (GetMessageW(&message, nullptr, 0, 0) > 0) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        UnregisterDeviceNotification(notify);
        DestroyWindow(window);
    }

    HANDLE m_event = nullptr;
    HWND m_window = nullptr;  // set before the constructor returns, then constant
    std::atomic<DWORD> m_threadId{0};
    std::thread m_thread;
    std::mutex m_mutex;
    std::vector<std::string> m_arrivals;
    bool m_arrivalUnnamed = false;
    bool m_removal = false;
};

}  // namespace

std::unique_ptr<UsbMonitor> UsbMonitor::open(const std::string& sysfsRoot) {
    if (sysfsRoot.empty()) {
        return std::make_unique<NotificationUsbMonitor>();
    }
    return std::make_unique<DirectoryUsbMonitor>(sysfsRoot);
}

UsbMonitor::Changes UsbMonitor::wait() {
    Changes changes;
    HANDLE handles[2] = {win32::toHandle(m_wake.native()), win32::toHandle(sourceFd())};
    while (!changes.changed && !changes.overflow && !changes.woken) {
        DWORD count = sourceFd() >= 0 ? 2 : 1;
        handles[1] = win32::toHandle(sourceFd());
        DWORD result = WaitForMultipleObjects(count, handles, FALSE, INFINITE);
        if (result == WAIT_OBJECT_0) {
            m_wake.drain();
            changes.woken = true;
        } else if (result == WAIT_OBJECT_0 + 1) {
            drainSource(changes);
        } else {
            changes.error =
                "waiting on the USB monitor failed: " + win32::errorText(GetLastError());
            changes.woken = true;  // let the caller look at its flags instead of spinning here
        }
    }
    // A wake that came with the changes is reported too, and used up.
    if (!changes.woken && WaitForSingleObject(handles[0], 0) == WAIT_OBJECT_0) {
        m_wake.drain();
        changes.woken = true;
    }
    return changes;
}

}  // namespace dd::platform
