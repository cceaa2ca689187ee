#include "platform/interrupt_signal.h"

#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace dd::platform {
namespace {

// The calling thread's mask before the requests were taken over (one
// InterruptSignal lives at a time: the program's).
sigset_t g_previousMask;

}  // namespace

InterruptSignal::InterruptSignal() {
    // Blocked here, the signals reach the descriptor only; every thread made
    // afterwards (the module's too) inherits the mask, so none is cut short.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, &g_previousMask);
    int fd = signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK);
    if (fd < 0) {
        // Without the descriptor the default stays: Ctrl+C still ends the program.
        pthread_sigmask(SIG_SETMASK, &g_previousMask, nullptr);
    } else {
        m_handle = fd;
    }
    // A peer that goes away is a failed write, not the end of the program.
    signal(SIGPIPE, SIG_IGN);
}

InterruptSignal::~InterruptSignal() {
    if (m_handle == kNoHandle) {
        return;
    }
    // A request taken here is not handed on to the default once the mask
    // is back as it was (that would end the program after all).
    signalfd_siginfo taken;
    while (read(static_cast<int>(m_handle), &taken, sizeof(taken)) == sizeof(taken)) {
    }
    close(static_cast<int>(m_handle));
    pthread_sigmask(SIG_SETMASK, &g_previousMask, nullptr);
}

}  // namespace dd::platform
