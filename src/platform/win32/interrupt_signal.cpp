#include "platform/interrupt_signal.h"

#include <atomic>

#include "platform/win32/win_handle.h"

namespace dd::platform {
namespace {

// The console calls its handler on a thread of its own; the handler only
// signals the main loop's event (and, for a closing console, gives the main
// loop time to finish before the system ends the process).
std::atomic<HANDLE> g_requested{nullptr};
std::atomic<HANDLE> g_finished{nullptr};
// What Windows allows a handler of a closing console before it ends the process.
constexpr DWORD kCloseGraceMs = 4500;

BOOL WINAPI onConsoleControl(DWORD type) {
    HANDLE requested = g_requested.load();
    if (requested == nullptr) {
        return FALSE;  // the default: end the process
    }
    SetEvent(requested);
    if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT) {
        // Returning lets the system end the process at once: wait for the
        // main loop to have stopped the module first.
        if (HANDLE finished = g_finished.load(); finished != nullptr) {
            WaitForSingleObject(finished, kCloseGraceMs);
        }
    }
    return TRUE;
}

}  // namespace

InterruptSignal::InterruptSignal() {
    HANDLE requested = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE finished = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (requested == nullptr || finished == nullptr) {
        if (requested != nullptr) {
            CloseHandle(requested);
        }
        if (finished != nullptr) {
            CloseHandle(finished);
        }
        return;
    }
    g_finished.store(finished);
    g_requested.store(requested);
    if (!SetConsoleCtrlHandler(&onConsoleControl, TRUE)) {
        g_requested.store(nullptr);
        g_finished.store(nullptr);
        CloseHandle(requested);
        CloseHandle(finished);
        return;
    }
    m_handle = static_cast<NativeHandle>(reinterpret_cast<std::intptr_t>(requested));
}

InterruptSignal::~InterruptSignal() {
    if (m_handle == kNoHandle) {
        return;
    }
    SetConsoleCtrlHandler(&onConsoleControl, FALSE);
    HANDLE finished = g_finished.exchange(nullptr);
    HANDLE requested = g_requested.exchange(nullptr);
    // A handler still waiting holds its own copy of the handle: release it
    // first, and leave the handle open for it (the process ends right after).
    SetEvent(finished);
    (void)requested;
}

}  // namespace dd::platform
