#include "platform/standard_input.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <string>

#include "platform/win32/win_handle.h"

namespace dd::platform {
namespace {

// Bytes read ahead of the main loop; the reader waits while this many wait.
constexpr size_t kMaxWaiting = 64 * 1024;
// How long the end of the program waits for a blocked read to be cancelled.
constexpr DWORD kCancelWaitMs = 1000;

}  // namespace

// A pipe or a file cannot be waited on, and a console is signalled by mouse
// and focus events too: one thread reads the input as it comes and signals
// an event that can be waited on beside the others.
struct StandardInput::State {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    HANDLE available = nullptr;  // manual-reset: bytes wait, or the input ended
    HANDLE reader = nullptr;
    std::mutex mutex;
    std::condition_variable room;
    std::string waiting;    // guarded by mutex
    bool ended = false;     // guarded by mutex
    bool stopping = false;  // guarded by mutex

    static DWORD WINAPI run(void* self) {
        static_cast<State*>(self)->readAll();
        return 0;
    }

    void readAll() {
        char buffer[512];
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(mutex);
                room.wait(lock, [this] { return stopping || waiting.size() < kMaxWaiting; });
                if (stopping) {
                    break;
                }
            }
            DWORD got = 0;
            if (!ReadFile(input, buffer, sizeof(buffer), &got, nullptr) || got == 0) {
                // Ctrl+C cuts a console read short; the interrupt handles it.
                if (GetLastError() == ERROR_OPERATION_ABORTED && !isStopping()) {
                    continue;
                }
                break;
            }
            std::lock_guard<std::mutex> lock(mutex);
            waiting.append(buffer, got);
            SetEvent(available);
        }
        std::lock_guard<std::mutex> lock(mutex);
        ended = true;
        SetEvent(available);
    }

    bool isStopping() {
        std::lock_guard<std::mutex> lock(mutex);
        return stopping;
    }
};

StandardInput::StandardInput() : m_state(std::make_unique<State>()) {}

StandardInput::~StandardInput() {
    State* state = m_state.get();
    if (state->reader != nullptr) {
        {
            std::lock_guard<std::mutex> lock(state->mutex);
            state->stopping = true;
        }
        state->room.notify_all();
        // A read blocked on the input is cancelled; one that cannot be (a
        // system without the call) keeps the state it reads into alive.
        DWORD waited = 0;
        while (WaitForSingleObject(state->reader, 50) == WAIT_TIMEOUT) {
            CancelSynchronousIo(state->reader);
            waited += 50;
            if (waited >= kCancelWaitMs) {
                (void)m_state.release();
                return;
            }
        }
        CloseHandle(state->reader);
    }
    if (state->available != nullptr) {
        CloseHandle(state->available);
    }
}

bool StandardInput::isTerminal() const {
    DWORD mode = 0;
    return m_state->input != nullptr && m_state->input != INVALID_HANDLE_VALUE &&
           GetFileType(m_state->input) == FILE_TYPE_CHAR && GetConsoleMode(m_state->input, &mode);
}

NativeHandle StandardInput::handle() const {
    State* state = m_state.get();
    if (state->input == nullptr || state->input == INVALID_HANDLE_VALUE) {
        return kNoHandle;
    }
    // The reader starts on first use, so a program that never reads its
    // input leaves it to others.
    if (state->available == nullptr) {
        state->available = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (state->available == nullptr) {
            return kNoHandle;
        }
        state->reader = CreateThread(nullptr, 0, &State::run, state, 0, nullptr);
        if (state->reader == nullptr) {
            state->ended = true;
            SetEvent(state->available);
        }
    }
    return static_cast<NativeHandle>(reinterpret_cast<std::intptr_t>(state->available));
}

long StandardInput::read(char* buffer, size_t size) {
    State* state = m_state.get();
    if (state->available == nullptr) {
        return -1;
    }
    std::lock_guard<std::mutex> lock(state->mutex);
    if (state->waiting.empty()) {
        if (state->ended) {
            return 0;
        }
        ResetEvent(state->available);
        return -1;
    }
    size_t n = std::min(size, state->waiting.size());
    state->waiting.copy(buffer, n);
    state->waiting.erase(0, n);
    if (state->waiting.empty() && !state->ended) {
        ResetEvent(state->available);
    }
    state->room.notify_all();
    return static_cast<long>(n);
}

}  // namespace dd::platform
