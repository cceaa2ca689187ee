// The files and folders QX_InitDetect opens, when someone else got there
// first: a FIFO where a file belongs must not hold the module up, and without
// a home folder the module's files go to a folder of the user's own, or
// nowhere at all. Each case runs the module in a probe process with a time
// limit, so a regression fails instead of hanging the suite.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "child_program.h"
#include "module_loader.h"
#include "test_env.h"

namespace {

using ddtest::ChildProgram;
using ddtest::Sandbox;

constexpr auto kProbeLimit = std::chrono::seconds(30);
const std::string kLockName = "315082cd-02e7-4c3d-aaf6-0ca1a6f91321.lock";

// QX_InitDetect, QX_startDetect and QX_stopDetect in a second process.
std::string runProbe(const std::vector<ChildProgram::EnvChange>& env, int* exitCode = nullptr) {
    ChildProgram probe(
        {std::string(DD_TEST_BIN_DIR) + "/dd_init_probe", ddtest::LoadedModule::path(), "start"},
        env, kProbeLimit);
    EXPECT_TRUE(probe.started());
    int code = probe.finish();
    EXPECT_EQ(code, 0) << "the probe did not end by itself (" << code << "):\n" << probe.output();
    if (exitCode != nullptr) {
        *exitCode = code;
    }
    return probe.output();
}

mode_t modeOf(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

TEST(ModuleFiles, AFifoWhereTheModuleOpensAFileHoldsNothingUp) {
    struct Case {
        const char* name;
        std::function<std::string(const Sandbox&)> fifo;
        std::string init;        // the probe's result line
        std::string logSays;     // in the log file, when it can be written
        std::string outputSays;  // on the probe's output
    };
    const Case cases[] = {
        {"single-instance lock", [](const Sandbox& s) { return s.lockDir + "/" + kLockName; },
         "init=0 start=0", kLockName + " is a FIFO, not a regular file", ""},
        {"log file", [](const Sandbox& s) { return s.logFile; }, "init=0 start=0", "",
         "DeviceDetect.log is a FIFO, not a regular file"},
        {"loader INI", [](const Sandbox& s) { return s.moduleDir + "/orqBRAXLoader.ini"; },
         "init=0 start=0", "", ""},
        {"catalogue", [](const Sandbox& s) { return s.moduleDir + "/device.xml"; },
         "init=0 start=0", "device.xml is a FIFO, not a regular file", ""},
    };
    for (const Case& c : cases) {
        Sandbox sandbox;
        ddtest::TempDir tmp{"ddtmp"};
        ddtest::ScopedEnv tmpdir{"TMPDIR", tmp.path()};
        std::string fifo = c.fifo(sandbox);
        unlink(fifo.c_str());
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0) << c.name;
        std::string output = runProbe({});
        EXPECT_NE(output.find(c.init), std::string::npos) << c.name << ":\n" << output;
        if (!c.logSays.empty()) {
            EXPECT_TRUE(sandbox.logContains(c.logSays)) << c.name;
        }
        if (!c.outputSays.empty()) {
            EXPECT_NE(output.find(c.outputSays), std::string::npos) << c.name << ":\n" << output;
        }
    }
}

// No HOME, no XDG folders, no password entry: the data and configuration
// folders fall back to $TMPDIR/devicedetect-UID, which another user may have
// made first.
class NoHome : public ::testing::Test {
  protected:
    Sandbox sandbox;
    ddtest::TempDir tmp{"ddtmp"};
    ddtest::ScopedEnv tmpdir{"TMPDIR", tmp.path()};
    std::string fallback = tmp / ("devicedetect-" + std::to_string(geteuid()));

    std::vector<ChildProgram::EnvChange> environment(bool withLogFile) const {
        std::vector<ChildProgram::EnvChange> env = ddtest::withoutHome();
        if (!withLogFile) {
            env.push_back({"DEVICEDETECT_LOG_FILE", std::nullopt});
        }
        return env;
    }
};

TEST_F(NoHome, TheFilesGoToAPrivateFolderOfTheUsersOwn) {
    std::string output = runProbe(environment(false));
    EXPECT_NE(output.find("init=0 start=0"), std::string::npos) << output;
    EXPECT_EQ(modeOf(fallback), 0700u);
    std::string data = fallback + "/.local/share/Orq Sync/PCSync";
    EXPECT_EQ(modeOf(data), 0700u);
    std::string log = ddtest::readFile(data + "/log/DeviceDetect.log");
    EXPECT_NE(log.find("CDeviceDetectApp::stopDetect() --"), std::string::npos)
        << "the log goes to the data folder, as with a home";
    EXPECT_EQ(modeOf(data + "/log/DeviceDetect.log"), 0600u);
}

TEST_F(NoHome, AFallbackFolderSomeoneElseCouldUseStopsTheModule) {
    struct Case {
        const char* name;
        std::function<bool(const std::string&)> plant;  // false: cannot be made here
        std::string says;
    };
    const std::string elsewhere = tmp / "elsewhere";
    const Case cases[] = {
        {"open to all",
         [](const std::string& dir) {
             return mkdir(dir.c_str(), 0) == 0 && !chmod(dir.c_str(), 0777);
         },
         "is open to other users (mode 0777)"},
        {"readable by others",
         [](const std::string& dir) {
             return mkdir(dir.c_str(), 0) == 0 && !chmod(dir.c_str(), 0755);
         },
         "is open to other users (mode 0755)"},
        {"a link to a folder",
         [&](const std::string& dir) {
             return mkdir(elsewhere.c_str(), 0700) == 0 && !symlink(elsewhere.c_str(), dir.c_str());
         },
         "is a symbolic link"},
        {"a file",
         [](const std::string& dir) {
             ddtest::writeFile(dir, "");
             return true;
         },
         "is not a folder"},
        {"another user's",
         [](const std::string& dir) {
             return geteuid() == 0 && mkdir(dir.c_str(), 0700) == 0 &&
                    !chown(dir.c_str(), 65534, 65534);
         },
         "belongs to uid 65534"},
    };
    for (const Case& c : cases) {
        ddtest::removeTree(fallback);
        ddtest::removeTree(elsewhere);
        if (!c.plant(fallback)) {
            continue;  // another user's folder needs root to make
        }
        std::string output = runProbe(environment(true));
        EXPECT_NE(output.find("init=1 start=1"), std::string::npos) << c.name << ":\n" << output;
        EXPECT_TRUE(
            sandbox.logContains("no home folder, and the module's files cannot go to the "
                                "fallback folder: " +
                                fallback + " " + c.says))
            << c.name << ":\n"
            << sandbox.log();
        EXPECT_TRUE(sandbox.logContains("DeviceDetect does not start")) << c.name;
        struct stat st {};
        if (lstat(fallback.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            EXPECT_TRUE(ddtest::listDir(fallback).empty())
                << c.name << ": something was left there";
        }
        EXPECT_TRUE(ddtest::listDir(elsewhere).empty()) << c.name;
    }
}

TEST_F(NoHome, TheLogIsNotWrittenIntoAFallbackFolderThatFailsTheChecks) {
    ASSERT_EQ(mkdir(fallback.c_str(), 0700), 0);
    ASSERT_EQ(chmod(fallback.c_str(), 0777), 0);
    std::string output = runProbe(environment(false));
    EXPECT_NE(output.find("init=1 start=1"), std::string::npos) << output;
    EXPECT_NE(output.find("DeviceDetect log: no home folder, and " + fallback +
                          " is open to other users (mode 0777)"),
              std::string::npos)
        << output;
    EXPECT_TRUE(ddtest::listDir(fallback).empty());
}

}  // namespace
