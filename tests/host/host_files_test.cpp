// devicedetect-host and the files it shares with the module: the store's
// folder is private, a FIFO in the store's place holds nothing up, and when
// the module refuses to start for want of a folder of the user's own, the
// host says so rather than blaming another instance.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "child_program.h"
#include "test_env.h"

namespace {

using ddtest::ChildProgram;

constexpr auto kHostLimit = std::chrono::seconds(30);

// The host for half a second, then its exit code (or minus a signal).
int runHost(const std::vector<ChildProgram::EnvChange>& env, std::string* output) {
    ChildProgram host({std::string(DD_TEST_BIN_DIR) + "/devicedetect-host", "--json", "--duration",
                       "0.5", "--module-dir", DD_TEST_MODULE_DIR},
                      env, kHostLimit);
    EXPECT_TRUE(host.started());
    int code = host.finish();
    *output = host.output();
    return code;
}

class ScopedUmask {
  public:
    explicit ScopedUmask(mode_t mask) : m_old(umask(mask)) {}
    ~ScopedUmask() { umask(m_old); }

  private:
    mode_t m_old;
};

TEST(HostFiles, TheStoresFolderIsPrivateAndAFifoThereHoldsNothingUp) {
    ddtest::Sandbox sandbox;
    ScopedUmask umask022(022);  // what a login shell usually leaves
    std::string output;
    ASSERT_EQ(runHost({}, &output), 0) << output;
    struct stat st {};
    ASSERT_EQ(stat((sandbox.dataDir() + "/xml").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u) << "the folder names the user's phones";

    std::string store = sandbox.dataDir() + "/xml/detecteddevice.xml";
    ASSERT_EQ(mkfifo(store.c_str(), 0600), 0);
    EXPECT_EQ(runHost({}, &output), 0) << "the host waited on the store's FIFO:\n" << output;
    EXPECT_NE(output.find("DeviceDetect started"), std::string::npos) << output;
}

TEST(HostFiles, AFallbackFolderThatCannotBeUsedIsShownAsTheReason) {
    ddtest::Sandbox sandbox;
    ddtest::TempDir tmp{"ddtmp"};
    ddtest::ScopedEnv tmpdir{"TMPDIR", tmp.path()};
    std::string fallback = tmp / ("devicedetect-" + std::to_string(geteuid()));
    ASSERT_EQ(mkdir(fallback.c_str(), 0700), 0);
    ASSERT_EQ(chmod(fallback.c_str(), 0777), 0);
    std::string output;
    EXPECT_EQ(runHost(ddtest::withoutHome(), &output), 3) << output;
    EXPECT_NE(output.find("devicedetect-host: DeviceDetect did not start: no home folder, and the "
                          "module's files cannot go to the fallback folder: " +
                          fallback + " is open to other users (mode 0777)."),
              std::string::npos)
        << output;
    EXPECT_EQ(output.find("another DeviceDetect instance"), std::string::npos) << output;
    EXPECT_TRUE(ddtest::listDir(fallback).empty());
}

}  // namespace
