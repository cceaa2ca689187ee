// The module end to end against Debian's real adb server: a private server
// on a free loopback port that the test starts (adb -P PORT nodaemon server,
// HOME in the sandbox for its key) and stops (adb -P PORT kill-server), and
// a phone that the server reaches over adb's TCP transport (adb connect
// 127.0.0.1:PORT, played by phonesim's device side) with its companion
// service and sync tool behind it. The fake USB tree carries the phone with
// the serial adb gives it, "127.0.0.1:PORT".
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include "adb_harness.h"
#include "adb_tcp_phone.h"
#include "companion_service.h"
#include "fake_usb_tree.h"
#include "loopback_server.h"
#include "phone_harness.h"
#include "sync_tool.h"

namespace {

bool haveRealAdb() {
    return access("/usr/bin/adb", X_OK) == 0;
}

// The real adb server as a child of the test, on its own port.
class RealAdbServer {
  public:
    explicit RealAdbServer(const std::string& logFile) : m_port(ddtest::freePort()) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, logFile.c_str(),
                                         O_WRONLY | O_CREAT | O_APPEND, 0600);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        std::string port = std::to_string(m_port);
        const char* argv[] = {"/usr/bin/adb", "-P", port.c_str(), "nodaemon", "server", nullptr};
        EXPECT_EQ(
            posix_spawn(&m_pid, argv[0], &actions, nullptr, const_cast<char**>(argv), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        EXPECT_TRUE(ddtest::waitUntil([&] {
            return adb({"devices"}).text.find("List of devices") != std::string::npos;
        })) << "the server did not start";
    }
    ~RealAdbServer() {
        adb({"kill-server"});
        int status = 0;
        bool ended = ddtest::waitUntil([&] { return waitpid(m_pid, &status, WNOHANG) == m_pid; });
        if (!ended) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, &status, 0);
        }
    }
    RealAdbServer(const RealAdbServer&) = delete;
    RealAdbServer& operator=(const RealAdbServer&) = delete;

    ddtest::CommandResult adb(const std::vector<std::string>& args) const {
        std::vector<std::string> argv{"/usr/bin/adb", "-P", std::to_string(m_port)};
        argv.insert(argv.end(), args.begin(), args.end());
        return ddtest::runProgram(argv);
    }
    uint16_t port() const { return m_port; }
    // Still the same process: nobody restarted the server.
    bool stillRunning() const { return kill(m_pid, 0) == 0; }

  private:
    uint16_t m_port;
    pid_t m_pid = -1;
};

// A phone's programs, and its device side of adb on a loopback port.
class TcpPhone {
  public:
    explicit TcpPhone(bool prompt) {
        uint16_t port = ddtest::freePort();
        serial = "127.0.0.1:" + std::to_string(port);
        phonesim::PhoneConfig own;
        own.serialNumber = serial;
        service.setConfig(own);
        EXPECT_TRUE(service.start());
        EXPECT_TRUE(tool.start());
        phonesim::AdbPhoneConfig config = phonesim::makeDefaultPhone(serial);
        config.servicePorts = {
            {8182, service.port()}, {7890, tool.commandPort()}, {7990, tool.syncPort()}};
        config.packages = {"com.qx.httpd"};
        adbPhone = std::make_shared<phonesim::AdbPhone>(config, 1);
        device = std::make_unique<phonesim::AdbTcpPhone>(adbPhone, prompt);
        EXPECT_TRUE(device->start(port));
    }

    std::string serial;
    phonesim::CompanionService service{phonesim::PhoneConfig{}};
    phonesim::SyncTool tool;
    std::shared_ptr<phonesim::AdbPhone> adbPhone;
    std::unique_ptr<phonesim::AdbTcpPhone> device;
};

class RealAdb : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!haveRealAdb()) {
            GTEST_SKIP() << "no /usr/bin/adb (scripts/install-deps installs it)";
        }
        ddtest::makeDirs(sandbox.root / "home");  // the server keeps its key there
        server = std::make_unique<RealAdbServer>(sandbox.root / "adb-server.log");
        portEnv = std::make_unique<ddtest::ScopedEnv>("ANDROID_ADB_SERVER_PORT",
                                                      std::to_string(server->port()));
        adbEnv = std::make_unique<ddtest::ScopedEnv>("DEVICEDETECT_ADB", "/usr/bin/adb");
        phonesim::writeServicePackages(sandbox.moduleDir, 25);
        ddtest::startModule(module);
    }
    void TearDown() override { ddtest::stopModule(module); }

    // USB first, adb after: the module waits for the server to list it.
    void plugAndConnect(TcpPhone& phone) {
        phonesim::FakeUsbDevice usb;
        usb.port = "1-1";
        usb.serial = phone.serial;
        usb.vid = 0x18d1;
        usb.pid = 0x4ee7;
        ASSERT_TRUE(tree.plug(usb));
        server->adb({"connect", phone.serial});
    }

    ddtest::Sandbox sandbox;
    ddtest::HostRecorder host;
    phonesim::FakeUsbTree tree{sandbox.sysfsRoot, sandbox.devRoot};
    std::unique_ptr<RealAdbServer> server;
    std::unique_ptr<ddtest::ScopedEnv> portEnv;
    std::unique_ptr<ddtest::ScopedEnv> adbEnv;
    ddtest::LoadedModule module;
};

TEST_F(RealAdb, APhoneIsAnnouncedLinkedAndRemoved) {
    TcpPhone phone(false);
    plugAndConnect(phone);
    ASSERT_TRUE(host.waitFor(NEW_DEVICE)) << sandbox.log();
    ddtest::Notice ready = host.last(NEW_DEVICE);
    EXPECT_EQ(ready.serial, phone.serial);
    EXPECT_EQ(ready.imei, phonesim::PhoneConfig{}.imei);
    EXPECT_EQ(ready.serverip, "127.0.0.1");

    // Both links run through the real server's forwards.
    ASSERT_TRUE(phone.tool.waitForSyncLink(1, std::chrono::seconds(20)));
    DeviceRecord record = ddtest::PhoneMachine::recordFor(phone.serial);
    ASSERT_EQ(module.DeviceReadyToSync(&record), 0);
    EXPECT_TRUE(phone.tool.waitForSyncReceived("READY_TO_SYNC\r\n", std::chrono::seconds(10)));
    ASSERT_TRUE(phone.tool.sendStart("REAL1"));
    ASSERT_TRUE(host.waitForSync(1));
    EXPECT_EQ(host.syncs()[0].action, START_SYNC);

    ASSERT_TRUE(tree.unplug("1-1"));
    server->adb({"disconnect", phone.serial});
    ASSERT_TRUE(host.waitFor(REMOVE_DEVICE, 1, std::chrono::seconds(20)));
    EXPECT_EQ(host.last(REMOVE_DEVICE).record, ready.record);
    EXPECT_TRUE(server->stillRunning());
}

TEST_F(RealAdb, APhoneOnItsPromptIsWaitedForWithoutRestartingTheServer) {
    TcpPhone phone(true);
    plugAndConnect(phone);
    // The server's device list shows such a phone "offline" (it is not sent
    // again when the phone turns "unauthorized"); "adb devices" tells.
    ASSERT_TRUE(sandbox.waitForLog("waits in adb (unauthorized)")) << sandbox.log();
    EXPECT_EQ(host.last(DRIVER_INSTALLING).serial, phone.serial);
    EXPECT_NE(server->adb({"devices"}).text.find(phone.serial + "\tunauthorized"),
              std::string::npos);
    EXPECT_FALSE(host.waitFor(NEW_DEVICE, 1, std::chrono::seconds(3)));

    phone.device->authorize();
    ASSERT_TRUE(host.waitFor(NEW_DEVICE, 1, std::chrono::seconds(30))) << sandbox.log();
    EXPECT_TRUE(server->stillRunning()) << "the server was never restarted";
    EXPECT_FALSE(sandbox.logContains("call KillAdbProcess"));
}

}  // namespace
