// The runner's device-list tracker (QX_StartAdbTracking) against the
// emulated server: the whole list at once and at every change of a phone's
// state, the server's exit and return, and no server at all.
#include <condition_variable>
#include <mutex>

#include "adb_harness.h"

namespace {

// What the tracker called back with, in order.
class TrackLog {
  public:
    static void QX_CALL onEvent(void* context, int32_t event, const char* devices) {
        auto* self = static_cast<TrackLog*>(context);
        std::lock_guard<std::mutex> lock(self->m_mutex);
        self->m_events.push_back(event == ADBTRACK_DEVICES ? std::string(devices)
                                 : event == ADBTRACK_LOST  ? "<lost>"
                                                           : "<no server>");
        self->m_changed.notify_all();
    }
    // Waits for an event equal to text after the ones seen so far.
    bool waitFor(const std::string& text) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(10), [&] {
            for (; m_seen < m_events.size(); ++m_seen) {
                if (m_events[m_seen] == text) {
                    ++m_seen;
                    return true;
                }
            }
            return false;
        });
    }

  private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::string> m_events;
    size_t m_seen = 0;
};

class AdbTracking : public ::testing::Test {
  protected:
    void SetUp() override {
        start = reinterpret_cast<QX_StartAdbTrackingFn>(lib.symbol("QX_StartAdbTracking"));
        stop = reinterpret_cast<QX_StopAdbTrackingFn>(lib.symbol("QX_StopAdbTracking"));
        ASSERT_NE(start, nullptr);
        ASSERT_NE(stop, nullptr);
    }

    ddtest::AdbEnvironment env;
    ddtest::DeviceControllerLib lib;
    TrackLog log;
    QX_StartAdbTrackingFn start = nullptr;
    QX_StopAdbTrackingFn stop = nullptr;
};

TEST_F(AdbTracking, FollowsEveryStateAPhonePassesThrough) {
    void* tracker = start(&TrackLog::onEvent, &log);
    ASSERT_NE(tracker, nullptr);
    EXPECT_TRUE(log.waitFor("")) << "the list at once, empty";

    phonesim::AdbPhoneConfig phone = phonesim::makeDefaultPhone("LATE1");
    phone.listedAfter = std::chrono::milliseconds(300);
    phone.offlineFor = std::chrono::milliseconds(300);
    phone.authorized = false;
    env.server.addPhone(phone);
    EXPECT_TRUE(log.waitFor("LATE1\toffline\n"));
    // As the real server, the list is not sent again when the phone turns
    // "unauthorized": only "adb devices" tells.
    EXPECT_TRUE(ddtest::waitUntil(
        [&] { return lib.run("devices").text.find("LATE1\tunauthorized") != std::string::npos; }));
    ASSERT_TRUE(env.server.authorize("LATE1"));
    EXPECT_TRUE(log.waitFor("LATE1\tdevice\n"));
    EXPECT_EQ(env.server.trackers(), 1);

    // The server exits: the list ends; a server in its place is followed.
    env.server.setRestartAfterKill(true);
    EXPECT_EQ(lib.run("kill-server").code, ADBCMD_OK);
    EXPECT_TRUE(log.waitFor("<lost>"));
    EXPECT_TRUE(log.waitFor("LATE1\tdevice\n"));

    env.server.removePhone("LATE1");
    EXPECT_TRUE(log.waitFor(""));
    stop(tracker);
    EXPECT_TRUE(ddtest::waitUntil([&] { return env.server.trackers() == 0; }));
}

TEST_F(AdbTracking, NoServerIsReportedAndStopEndsTheRetries) {
    ddtest::AdbServerPort noServer;
    void* tracker = start(&TrackLog::onEvent, &log);
    ASSERT_NE(tracker, nullptr);
    EXPECT_TRUE(log.waitFor("<no server>"));
    stop(tracker);  // cuts the pause before the next try short
}

}  // namespace
