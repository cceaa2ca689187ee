// The adb side of a test machine: a temp HOME, the emulated adb server on an
// ephemeral loopback port, and the environment that points the adb runner
// (libDeviceController.so) and the real adb client at that server only. The
// adb binary the runner may start is a wrapper that refuses to start a real
// server, so no test can leave an adb server of its own behind.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "adb_server.h"
#include "test_env.h"

extern char** environ;

namespace ddtest {

struct CommandResult {
    int code = -1;
    std::string text;
};

// Runs argv (stdout and stderr into one pipe, as a caller capturing adb sees
// them) and returns what it printed and its exit status.
inline CommandResult runProgram(const std::vector<std::string>& argv) {
    CommandResult result;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return result;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    std::vector<char*> args;
    for (const std::string& word : argv) {
        args.push_back(const_cast<char*>(word.c_str()));
    }
    args.push_back(nullptr);
    pid_t pid = -1;
    int error = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (error == 0) {
        char buffer[4096];
        ssize_t n;
        while ((n = read(fds[0], buffer, sizeof(buffer))) != 0) {
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                break;
            result.text.append(buffer, static_cast<size_t>(n));
        }
        int status = 0;
        waitpid(pid, &status, 0);
        result.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    close(fds[0]);
    return result;
}

// A temp HOME, the emulated server with phones, and the environment that
// points the runner (and the real client) at it.
class AdbEnvironment {
  public:
    explicit AdbEnvironment(int serverVersion = phonesim::kDefaultAdbServerVersion,
                            const std::string& timeLimitMs = "5000")
        : server(serverVersion),
          m_home("adbhome"),
          m_homeEnv("HOME", m_home.path()),
          m_tmpEnv("TMPDIR", m_home.path()),
          m_timeEnv("DEVICEDETECT_ADB_TIMEOUT_MS", timeLimitMs) {
        EXPECT_TRUE(server.start(0));
        m_portEnv =
            std::make_unique<ScopedEnv>("ANDROID_ADB_SERVER_PORT", std::to_string(server.port()));
        // The runner may run adb: never let it start a real server.
        writeAdbWrapper("echo 'test wrapper: no real adb server here' >&2; exit 1");
    }

    // The script the runner runs as adb: real adb for everything but
    // start-server, which runs startServerBody instead.
    void writeAdbWrapper(const std::string& startServerBody) {
        std::string path = m_home / "adb-wrapper";
        writeFile(path,
                  "#!/bin/sh\n"
                  "for word in \"$@\"; do case \"$word\" in start-server|fork-server)\n" +
                      startServerBody +
                      "\n;; esac; done\n"
                      "exec adb \"$@\"\n");
        chmod(path.c_str(), 0755);
        m_adbEnv.reset();  // restore first, so the new value is not undone by the old one
        m_adbEnv = std::make_unique<ScopedEnv>("DEVICEDETECT_ADB", path);
    }

    // The real adb client against the emulated server only.
    CommandResult realAdb(const std::vector<std::string>& args) {
        EXPECT_TRUE(server.running()) << "the real client would start a server of its own";
        std::vector<std::string> argv{"adb", "-P", std::to_string(server.port())};
        argv.insert(argv.end(), args.begin(), args.end());
        return runProgram(argv);
    }

    std::string home() const { return m_home.path(); }

    phonesim::AdbServer server;

  private:
    TempDir m_home;
    ScopedEnv m_homeEnv;
    ScopedEnv m_tmpEnv;
    ScopedEnv m_timeEnv;
    std::unique_ptr<ScopedEnv> m_portEnv;
    std::unique_ptr<ScopedEnv> m_adbEnv;
};

// Puts the built adb runner into a module folder, the way the build lays it
// beside the module (a Sandbox's module folder has it already).
inline void linkAdbRunner(const std::string& moduleDir) {
    std::string library = std::string(DD_TEST_MODULE_DIR) + "/libDeviceController.so";
    std::string link = moduleDir + "/libDeviceController.so";
    if (access(link.c_str(), F_OK) != 0) {
        EXPECT_EQ(symlink(library.c_str(), link.c_str()), 0);
    }
}

}  // namespace ddtest
