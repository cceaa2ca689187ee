#include "platform/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/linux/milliseconds_left.h"
#include "platform/unique_fd.h"

extern char** environ;

namespace dd::platform {
namespace {

int exitCodeOf(int status) {
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

// Hands on what is in the pipe now; false at EOF.
bool drain(int fd, const std::function<void(std::string_view)>& onOutput) {
    char buffer[8192];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof(buffer));
        if (n > 0) {
            onOutput(std::string_view(buffer, static_cast<size_t>(n)));
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return n != 0;  // EAGAIN: nothing more for now
    }
}

class SpawnActions {
  public:
    SpawnActions() { posix_spawn_file_actions_init(&m_actions); }
    ~SpawnActions() { posix_spawn_file_actions_destroy(&m_actions); }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;
    posix_spawn_file_actions_t* get() { return &m_actions; }

  private:
    posix_spawn_file_actions_t m_actions;
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
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        result.spawnError = errno;
        return result;
    }
    UniqueFd readEnd(pipeFds[0]);
    UniqueFd writeEnd(pipeFds[1]);

    SpawnActions actions;
    posix_spawn_file_actions_addopen(actions.get(), 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(actions.get(), writeEnd.get(), 1);
    posix_spawn_file_actions_adddup2(actions.get(), writeEnd.get(), 2);
    // Descriptors the host left inheritable stay out of the child.
    posix_spawn_file_actions_addclosefrom_np(actions.get(), 3);

    std::vector<char*> args;
    for (const std::string& word : argv) {
        args.push_back(const_cast<char*>(word.c_str()));
    }
    args.push_back(nullptr);
    pid_t pid = -1;
    int error = argv[0].find('/') == std::string::npos
                    ? posix_spawnp(&pid, args[0], actions.get(), nullptr, args.data(), environ)
                    : posix_spawn(&pid, args[0], actions.get(), nullptr, args.data(), environ);
    writeEnd.reset();
    if (error != 0) {
        result.spawnError = error;
        return result;
    }
    fcntl(readEnd.get(), F_SETFL, O_NONBLOCK);

    // The child's end is noticed through a pidfd, not through EOF on the pipe:
    // a child may leave a process behind (a server it started) that holds the
    // pipe open.
    UniqueFd pidFd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
    bool pipeOpen = true;
    int status = 0;
    for (;;) {
        int left = millisecondsLeft(deadline);
        if (left <= 0) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            result.status = ChildRun::Status::TimedOut;
            return result;
        }
        pollfd fds[2] = {{readEnd.get(), static_cast<short>(pipeOpen ? POLLIN : 0), 0},
                         {pidFd.get(), POLLIN, 0}};
        // Without a pidfd (old kernel) the exit is checked every 50 ms.
        int ready = poll(fds, 2, pidFd ? left : std::min(left, 50));
        if (ready < 0 && errno != EINTR) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            result.status = ChildRun::Status::TimedOut;
            return result;
        }
        if (pipeOpen && (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            pipeOpen = drain(readEnd.get(), onOutput);
        }
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done < 0 && errno == ECHILD) {
            // A host that ignores SIGCHLD has the child reaped for us.
            status = 0;
            done = pid;
        }
        if (done == pid) {
            if (pipeOpen) {
                drain(readEnd.get(), onOutput);
            }
            result.status = ChildRun::Status::Exited;
            result.exitCode = exitCodeOf(status);
            return result;
        }
    }
}

}  // namespace dd::platform
