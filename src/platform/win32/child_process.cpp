#include "platform/child_process.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <string>

#include "platform/unique_fd.h"
#include "platform/win32/socket_wait.h"
#include "platform/win32/win_handle.h"

namespace dd::platform {
namespace {

using win32::fromHandle;
using win32::toHandle;

// Windows' longest command line, in UTF-16 units with the final null.
constexpr size_t kMaxCommandLine = 32767;
constexpr DWORD kReadSize = 8192;
// How long the child's last words may take to come out of the pipe once
// it has ended, and how long an ended child may take to go.
constexpr DWORD kLastOutputMs = 1000;
constexpr DWORD kTerminateMs = 5000;

int errnoFromSystem(DWORD code) {
    switch (code) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
            return ENOENT;
        case ERROR_ACCESS_DENIED:
            return EACCES;
        case ERROR_BAD_EXE_FORMAT:
        case ERROR_EXE_MACHINE_TYPE_MISMATCH:
            return ENOEXEC;
        case ERROR_FILENAME_EXCED_RANGE:
            return ENAMETOOLONG;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
            return ENOMEM;
        case ERROR_TOO_MANY_OPEN_FILES:
            return EMFILE;
        default:
            return EIO;
    }
}

// One argument as the C runtime's parser (CommandLineToArgvW) reads it back:
// quoted when it holds a blank or a quote or is empty; backslashes doubled
// where they come before a quote.
void appendQuoted(std::wstring& line, const std::wstring& word) {
    if (!word.empty() && word.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        line += word;
        return;
    }
    line += L'"';
    size_t backslashes = 0;
    for (wchar_t c : word) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"') {
            line.append(backslashes * 2 + 1, L'\\');
        } else {
            line.append(backslashes, L'\\');
        }
        backslashes = 0;
        line += c;
    }
    line.append(backslashes * 2, L'\\');
    line += L'"';
}

// False (with the error number) for an argument that no command line can
// carry: one with a null byte in it, or a line longer than Windows takes.
bool buildCommandLine(const std::vector<std::string>& argv, std::wstring& line, int& error) {
    for (const std::string& word : argv) {
        if (word.find('\0') != std::string::npos) {
            error = EINVAL;
            return false;
        }
        std::wstring wide = win32::widen(word);
        if (line.empty()) {
            // The program's path is looked up by Windows, which takes only
            // its own separator there.
            std::replace(wide.begin(), wide.end(), L'/', L'\\');
        } else {
            line += L' ';
        }
        appendQuoted(line, wide);
        if (line.size() >= kMaxCommandLine) {
            error = E2BIG;
            return false;
        }
    }
    return true;
}

// The read end of the child's output: a named pipe read with overlapped
// I/O, so that a read in flight never holds the caller past a deadline and
// the child's end can be waited for beside it.
class OutputPipe {
  public:
    // Creates both ends; the write end is inheritable, the read end not.
    bool create(UniqueFd& writeEnd) {
        static std::atomic<unsigned> serial{0};
        const std::wstring name = L"\\\\.\\pipe\\devicedetect-child-" +
                                  std::to_wstring(GetCurrentProcessId()) + L"-" +
                                  std::to_wstring(serial.fetch_add(1));
        m_event.reset(fromHandle(CreateEventW(nullptr, TRUE, FALSE, nullptr)));
        m_read.reset(fromHandle(CreateNamedPipeW(
            name.c_str(),
            PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
            PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 0,
            64 * 1024, 0, nullptr)));
        if (!m_event || !m_read) {
            return false;
        }
        SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        writeEnd.reset(fromHandle(
            CreateFileW(name.c_str(), GENERIC_WRITE, 0, &inherit, OPEN_EXISTING, 0, nullptr)));
        return writeEnd.valid();
    }

    ~OutputPipe() { cancel(nullptr); }
    OutputPipe() = default;
    OutputPipe(const OutputPipe&) = delete;
    OutputPipe& operator=(const OutputPipe&) = delete;

    bool open() const { return m_open; }
    // The event to wait on while a read is in flight; null when none is.
    HANDLE pendingEvent() const { return m_pending ? toHandle(m_event.get()) : nullptr; }

    // Starts a read unless one is in flight; what is there at once is
    // handed on at once.
    void startRead(const std::function<void(std::string_view)>& onOutput) {
        while (m_open && !m_pending) {
            m_overlapped = OVERLAPPED{};
            m_overlapped.hEvent = toHandle(m_event.get());
            ResetEvent(m_overlapped.hEvent);
            if (!ReadFile(toHandle(m_read.get()), m_buffer, kReadSize, nullptr, &m_overlapped) &&
                GetLastError() != ERROR_IO_PENDING) {
                m_open = false;  // broken: every writer has gone
                return;
            }
            m_pending = true;
            if (WaitForSingleObject(m_overlapped.hEvent, 0) != WAIT_OBJECT_0) {
                return;
            }
            finish(onOutput);
        }
    }

    // Takes the result of the read in flight once its event is signalled.
    void finish(const std::function<void(std::string_view)>& onOutput) {
        DWORD got = 0;
        const BOOL ok = GetOverlappedResult(toHandle(m_read.get()), &m_overlapped, &got, FALSE);
        m_pending = false;
        if (!ok) {
            m_open = false;
            return;
        }
        if (got > 0 && onOutput) {
            onOutput(std::string_view(m_buffer, got));
        }
    }

    // After the child's end: what it wrote before going, without waiting
    // for anything it left behind that still holds the pipe.
    void drainRest(const std::function<void(std::string_view)>& onOutput) {
        for (;;) {
            startRead(onOutput);
            if (!m_open) {
                return;
            }
            DWORD available = 0;
            if (!PeekNamedPipe(toHandle(m_read.get()), nullptr, 0, nullptr, &available, nullptr) ||
                available == 0) {
                // The read in flight may have taken the last bytes already.
                if (WaitForSingleObject(m_overlapped.hEvent, 0) == WAIT_OBJECT_0) {
                    finish(onOutput);
                    continue;
                }
                cancel(&onOutput);
                return;
            }
            if (WaitForSingleObject(m_overlapped.hEvent, kLastOutputMs) != WAIT_OBJECT_0) {
                cancel(&onOutput);
                return;
            }
            finish(onOutput);
        }
    }

  private:
    void cancel(const std::function<void(std::string_view)>* onOutput) {
        if (!m_pending) {
            return;
        }
        CancelIoEx(toHandle(m_read.get()), &m_overlapped);
        DWORD got = 0;
        // The buffer must outlive the read: wait for the cancel to land.
        const BOOL ok = GetOverlappedResult(toHandle(m_read.get()), &m_overlapped, &got, TRUE);
        m_pending = false;
        if (ok && got > 0 && onOutput != nullptr && *onOutput) {
            (*onOutput)(std::string_view(m_buffer, got));
        }
    }

    UniqueFd m_read;
    UniqueFd m_event;
    OVERLAPPED m_overlapped{};
    bool m_pending = false;
    bool m_open = true;
    char m_buffer[kReadSize];
};

// Only the two handles given reach the child, however many inheritable
// handles the host has open. False when the system cannot limit them.
class HandleList {
  public:
    explicit HandleList(HANDLE first, HANDLE second) : m_handles{first, second} {
        SIZE_T size = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        if (size == 0) {
            return;
        }
        m_storage.resize(size);
        auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(m_storage.data());
        if (!InitializeProcThreadAttributeList(list, 1, 0, &size)) {
            return;
        }
        m_list = list;
        if (!UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, m_handles,
                                       sizeof(m_handles), nullptr, nullptr)) {
            DeleteProcThreadAttributeList(m_list);
            m_list = nullptr;
        }
    }
    ~HandleList() {
        if (m_list != nullptr) {
            DeleteProcThreadAttributeList(m_list);
        }
    }
    HandleList(const HandleList&) = delete;
    HandleList& operator=(const HandleList&) = delete;
    LPPROC_THREAD_ATTRIBUTE_LIST get() const { return m_list; }

  private:
    HANDLE m_handles[2];
    std::string m_storage;
    LPPROC_THREAD_ATTRIBUTE_LIST m_list = nullptr;
};

}  // namespace

ChildRun runChild(const std::vector<std::string>& argv,
                  std::chrono::steady_clock::time_point deadline,
                  const std::function<void(std::string_view)>& onOutput) {
    ChildRun result;
    if (argv.empty()) {
        result.spawnError = EINVAL;
        return result;
    }
    std::wstring commandLine;
    if (!buildCommandLine(argv, commandLine, result.spawnError)) {
        return result;
    }
    OutputPipe pipe;
    UniqueFd writeEnd;
    if (!pipe.create(writeEnd)) {
        result.spawnError = errnoFromSystem(GetLastError());
        return result;
    }
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    UniqueFd nullInput(
        fromHandle(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                               OPEN_EXISTING, 0, nullptr)));
    if (!nullInput) {
        result.spawnError = errnoFromSystem(GetLastError());
        return result;
    }

    HandleList handles(toHandle(nullInput.get()), toHandle(writeEnd.get()));
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb =
        handles.get() != nullptr ? sizeof(STARTUPINFOEXW) : sizeof(STARTUPINFOW);
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = toHandle(nullInput.get());
    startup.StartupInfo.hStdOutput = toHandle(writeEnd.get());
    startup.StartupInfo.hStdError = toHandle(writeEnd.get());
    startup.lpAttributeList = handles.get();
    const DWORD flags =
        CREATE_NO_WINDOW | (handles.get() != nullptr ? EXTENDED_STARTUPINFO_PRESENT : 0);
    PROCESS_INFORMATION process{};
    // No application name: Windows looks argv[0] up as a command line's
    // first word is looked up (the program's folder, the system's, PATH),
    // adding ".exe" when it has no extension.
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, flags, nullptr,
                        nullptr, &startup.StartupInfo, &process)) {
        result.spawnError = errnoFromSystem(GetLastError());
        return result;
    }
    writeEnd.reset();
    nullInput.reset();
    CloseHandle(process.hThread);
    UniqueFd child(fromHandle(process.hProcess));

    // The child's end is waited for on its process handle, not seen as the
    // end of the pipe: a child may leave a process behind (a server it
    // started) that holds the pipe open.
    for (;;) {
        pipe.startRead(onOutput);
        HANDLE waits[2] = {process.hProcess, pipe.pendingEvent()};
        const DWORD count = waits[1] != nullptr ? 2 : 1;
        const DWORD left = static_cast<DWORD>(win32::millisecondsLeft(deadline));
        const DWORD rc =
            left == 0 ? WAIT_TIMEOUT : WaitForMultipleObjects(count, waits, FALSE, left);
        if (rc == WAIT_OBJECT_0 + 1) {
            pipe.finish(onOutput);
            continue;
        }
        if (rc == WAIT_OBJECT_0) {
            pipe.drainRest(onOutput);
            DWORD code = 0;
            GetExitCodeProcess(process.hProcess, &code);
            result.status = ChildRun::Status::Exited;
            result.exitCode = static_cast<int>(code);
            return result;
        }
        // The deadline, or a wait that failed: the child is ended either way.
        TerminateProcess(process.hProcess, 1);
        WaitForSingleObject(process.hProcess, kTerminateMs);
        result.status = ChildRun::Status::TimedOut;
        return result;
    }
}

}  // namespace dd::platform
