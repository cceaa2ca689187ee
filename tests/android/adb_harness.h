// What the adb tests share: the runner library loaded from the build, the
// emulated adb server on an ephemeral loopback port, and the real adb client
// pointed at that server only (adb -P PORT, HOME in a temp folder). The adb
// binary the runner may start is a wrapper that refuses to start a real
// server, so no test can leave an adb server of its own behind.
#pragma once

#include <dlfcn.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "adb_server.h"
#include "core/text_codec.h"
#include "devicedetect/DeviceController.h"
#include "support/test_env.h"

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

// libDeviceController.so as the module loads it.
class DeviceControllerLib {
  public:
    DeviceControllerLib() {
        std::string path = std::string(DD_TEST_MODULE_DIR) + "/libDeviceController.so";
        m_handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        EXPECT_NE(m_handle, nullptr) << dlerror();
        if (m_handle != nullptr) {
            m_run = reinterpret_cast<QX_RunAdbCmdFn>(dlsym(m_handle, "QX_RunAdbCmd"));
            m_unmount = reinterpret_cast<QX_UnmountDiskFn>(dlsym(m_handle, "QX_UnmountDisk"));
        }
    }
    ~DeviceControllerLib() {
        if (m_handle != nullptr) {
            dlclose(m_handle);
        }
    }
    DeviceControllerLib(const DeviceControllerLib&) = delete;
    DeviceControllerLib& operator=(const DeviceControllerLib&) = delete;

    CommandResult run(const std::string& args, size_t outSize = 40960) const {
        CommandResult result;
        std::u16string wide = dd::utf8ToUtf16(args);
        std::vector<char> out(outSize + 64, '\x5a');  // a guard area past the buffer
        result.code = m_run(wide.c_str(), static_cast<int32_t>(wide.size()), out.data(),
                            static_cast<int32_t>(outSize));
        for (size_t i = outSize; i < out.size(); ++i) {
            EXPECT_EQ(out[i], '\x5a') << "written past the buffer at " << i;
        }
        result.text.assign(out.data(), strnlen(out.data(), outSize));
        EXPECT_LT(result.text.size(), outSize) << "no NUL inside the buffer";
        return result;
    }
    uint16_t unmount(DeviceRecord* record) const { return m_unmount(record); }
    QX_RunAdbCmdFn entry() const { return m_run; }

  private:
    void* m_handle = nullptr;
    QX_RunAdbCmdFn m_run = nullptr;
    QX_UnmountDiskFn m_unmount = nullptr;
};

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

// Splits a command line at blanks (the tests' command lines hold no quotes).
inline std::vector<std::string> words(const std::string& line) {
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos < line.size()) {
        size_t end = line.find(' ', pos);
        if (end == std::string::npos)
            end = line.size();
        if (end > pos)
            out.push_back(line.substr(pos, end - pos));
        pos = end + 1;
    }
    return out;
}

}  // namespace ddtest
