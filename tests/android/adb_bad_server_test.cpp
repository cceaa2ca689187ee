// Servers that misbehave, and callers that push: every call ends with a clean
// result code within the time limit and never writes past the buffer.
#include <sys/socket.h>

#include <atomic>
#include <functional>

#include "adb_harness.h"
#include "adb_wire.h"

namespace {

using ddtest::AdbEnvironment;
using ddtest::DeviceControllerLib;
using phonesim::sendAll;

// Answers host:version like a good server, then hands every other request
// to the test's script.
class ScriptedServer {
  public:
    using Script = std::function<void(int fd, const std::string& request)>;
    explicit ScriptedServer(Script script) : m_script(std::move(script)) {
        m_server.start(0, [this](int fd) {
            std::string request;
            while (phonesim::adbwire::readRequest(fd, request)) {
                if (request == "host:version") {
                    phonesim::adbwire::sendOkayPayload(fd, "0029");
                    return;
                }
                if (request.rfind("host:tport:", 0) == 0) {
                    sendAll(fd, std::string("OKAY\1\0\0\0\0\0\0\0", 12));
                    continue;
                }
                m_script(fd, request);
                return;
            }
        });
        m_port = std::make_unique<ddtest::AdbServerPort>(m_server.port());
    }

  private:
    Script m_script;
    phonesim::LoopbackServer m_server;
    std::unique_ptr<ddtest::AdbServerPort> m_port;
};

// Blocks until the runner gives up and the server shuts the connection.
void stayQuiet(int fd) {
    char byte;
    while (recv(fd, &byte, 1, 0) > 0) {
    }
}

class AdbBadServer : public ::testing::Test {
  protected:
    AdbEnvironment env{phonesim::kDefaultAdbServerVersion, "400"};
    DeviceControllerLib lib;
};

// Replies that break the protocol: a drop mid-reply, lengths that lie, a
// status word that is none.
TEST_F(AdbBadServer, BrokenRepliesAreProtocolErrors) {
    for (auto [reply, command] : {std::pair{"OKAY0100R58M\tdev", "devices"},
                                  {"OKAYzz12abcd", "devices"},
                                  {"FAILffffshort", "-s X shell getprop"},
                                  {"WHAT0000", "devices"}}) {
        ScriptedServer server([&](int fd, const std::string&) { sendAll(fd, std::string(reply)); });
        ddtest::CommandResult result = lib.run(command);
        EXPECT_EQ(result.code, ADBCMD_PROTOCOL_ERROR) << reply;
        EXPECT_EQ(result.text.rfind("error: protocol fault", 0), 0u) << result.text;
    }
}

TEST_F(AdbBadServer, FailIsPrintedAsTheClientPrintsIt) {
    ScriptedServer server(
        [](int fd, const std::string&) { phonesim::adbwire::sendFail(fd, "boom"); });
    EXPECT_EQ(lib.run("devices").text, "error: boom\nList of devices attached\n");
    ddtest::CommandResult shell = lib.run("-s X shell getprop");
    EXPECT_EQ(shell.code, ADBCMD_OK);
    EXPECT_EQ(shell.text, "error: boom\n");
    EXPECT_EQ(lib.run("-s X forward tcp:5000 tcp:8182").text, "adb: error: boom\n");
}

TEST_F(AdbBadServer, SilenceEndsAtTheTimeLimitKeepingWhatCame) {
    for (std::string first : {"", "OKAY[ro.product.model]: [X]\r\n"}) {
        ScriptedServer server([&](int fd, const std::string&) {
            sendAll(fd, first);
            stayQuiet(fd);
        });
        ddtest::CommandResult result = lib.run("-s X shell getprop");
        EXPECT_EQ(result.code, ADBCMD_TIMED_OUT);
        if (first.empty()) {
            EXPECT_NE(result.text.find("did not answer in time"), std::string::npos) << result.text;
        } else {
            EXPECT_EQ(result.text.rfind(first.substr(4), 0), 0u) << result.text;
        }
    }
}

TEST_F(AdbBadServer, SilentServerWithoutVersionAnswerEndsAtTheTimeLimit) {
    phonesim::LoopbackServer mute;
    mute.start(0, [](int fd) { stayQuiet(fd); });
    ddtest::AdbServerPort port(mute.port());
    EXPECT_EQ(lib.run("devices").code, ADBCMD_TIMED_OUT);
}

TEST_F(AdbBadServer, MegabytesOfOutputAreCutAtTheBuffer) {
    ScriptedServer server([](int fd, const std::string&) {
        std::string chunk(64 * 1024, 'p');
        if (!sendAll(fd, std::string("OKAY")))
            return;
        for (int i = 0; i < 80 && sendAll(fd, chunk); ++i) {
        }
    });
    ddtest::CommandResult big = lib.run("-s X shell getprop");
    EXPECT_EQ(big.code, ADBCMD_OK);
    EXPECT_EQ(big.text.size(), 40959u);
    ddtest::CommandResult tiny = lib.run("-s X shell getprop", 16);
    EXPECT_EQ(tiny.text, std::string(15, 'p'));
}

TEST_F(AdbBadServer, ConcurrentCallsEachGetTheirOwnPhone) {
    for (int i = 0; i < 8; ++i) {
        phonesim::AdbPhoneConfig phone = phonesim::makeDefaultPhone("PHONE" + std::to_string(i));
        phone.properties["ro.product.model"] = "Model " + std::to_string(i);
        env.server.addPhone(phone);
    }
    std::atomic<int> mismatches{0};
    ddtest::onThreads(16, [&](int t) {
        for (int n = 0; n < 10; ++n) {
            int phone = (t + n) % 8;
            ddtest::CommandResult r =
                lib.run("-s PHONE" + std::to_string(phone) + " shell getprop ro.product.model", 64);
            if (r.code != ADBCMD_OK || r.text != "Model " + std::to_string(phone) + "\r\n") {
                ++mismatches;
            }
        }
    });
    EXPECT_EQ(mismatches.load(), 0);
}

TEST_F(AdbBadServer, BadArgumentsAreRefused) {
    char out[8] = "keep";
    EXPECT_EQ(lib.entry()(u"devices", 7, nullptr, 10), ADBCMD_BAD_ARGUMENTS);
    EXPECT_EQ(lib.entry()(u"devices", 7, out, 0), ADBCMD_BAD_ARGUMENTS);
    EXPECT_STREQ(out, "keep");
    EXPECT_EQ(lib.entry()(u"devices", -1, out, sizeof(out)), ADBCMD_BAD_ARGUMENTS);
    EXPECT_EQ(lib.entry()(nullptr, 3, out, sizeof(out)), ADBCMD_BAD_ARGUMENTS);
    EXPECT_EQ(lib.run("").code, ADBCMD_BAD_ARGUMENTS);
    EXPECT_EQ(lib.run("-s").code, ADBCMD_BAD_ARGUMENTS);
}

}  // namespace
