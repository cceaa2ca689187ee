// Plug and unplug cycles across the three phone families, each phone pulled
// at a random moment: as it is plugged, while it is being read, or after its
// announcement (sometimes after a host disconnect or a sync request). After
// every cycle the module must be back to idle with every announcement
// withdrawn once; at the end the threads and open descriptors of the process
// must be what they were.
//
// DD_SOAK_CYCLES sets the number of cycles, DD_SOAK_SEED the random seed (a
// failing run prints the one it used), DD_SOAK_LOG_LEVEL the module's log
// level.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <thread>

#include "soak_machine.h"

namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;
using ddtest::Notice;
using ddtest::ProcessCounts;
using ddtest::SoakMachine;

enum class Family { Usb, Wifi, Brew };
// When the phone is pulled.
enum class Moment { AtPlug, Soon, WhileRead, Announced };
// What happens between the announcement and the pull.
enum class Extra { None, HostDisconnect, SyncRequest };

const char* const kFamilyNames[] = {"usb", "wifi", "brew"};
const char* const kMomentNames[] = {"at-plug", "soon", "while-read", "announced"};
const char* const kExtraNames[] = {"", "+disconnect", "+sync"};

unsigned long envNumber(const char* name, unsigned long fallback) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') {
        return fallback;
    }
    char* end = nullptr;
    unsigned long value = std::strtoul(text, &end, 10);
    return *end == '\0' ? value : fallback;
}

std::string envText(const char* name, const std::string& fallback) {
    const char* text = std::getenv(name);
    return text != nullptr && *text != '\0' ? text : fallback;
}

std::string numbered(const std::string& prefix, size_t width, unsigned long n) {
    std::string digits = std::to_string(n);
    return prefix + std::string(width > digits.size() ? width - digits.size() : 0, '0') + digits;
}

struct Plan {
    Family family;
    Moment moment;
    Extra extra;
    std::chrono::milliseconds delay;  // for Moment::Soon
    bool serviceFirst;                // Wi-Fi: the service goes before the goodbye
    std::string describe() const {
        return std::string(kFamilyNames[int(family)]) + " " + kMomentNames[int(moment)] +
               kExtraNames[int(extra)];
    }
};

class Soak : public ::testing::Test {
  protected:
    static constexpr auto kStageLimit = 30s;

    Soak()
        : m_seed(envNumber("DD_SOAK_SEED", 20261207)),
          m_cycles(envNumber("DD_SOAK_CYCLES", 48)),
          m_random(static_cast<std::mt19937::result_type>(m_seed)),
          machine(envText("DD_SOAK_LOG_LEVEL", "Info")) {}

    Plan plan() {
        Plan p{};
        p.family = static_cast<Family>(pick(3));
        p.moment = static_cast<Moment>(pick(4));
        p.extra = Extra::None;
        if (p.moment == Moment::Announced) {
            p.extra = static_cast<Extra>(pick(3));
            if (p.family == Family::Brew && p.extra == Extra::SyncRequest) {
                p.extra = Extra::None;  // a BREW phone asks for nothing
            }
        }
        p.delay = std::chrono::milliseconds(pick(400));
        p.serviceFirst = pick(2) == 1;
        return p;
    }

    // One whole cycle; false (with the failure recorded) when the module did
    // not come back to idle, so that the soak stops at the first fault.
    bool cycle(unsigned long n, const Plan& p) {
        SCOPED_TRACE("cycle " + std::to_string(n) + " (" + p.describe() + "), seed " +
                     std::to_string(m_seed));
        size_t before = machine.host.notices().size();
        std::string serial;
        switch (p.family) {
            case Family::Usb:
                serial = usbCycle(n, p);
                break;
            case Family::Wifi:
                serial = wifiCycle(n, p);
                break;
            case Family::Brew:
                brewCycle(n, p);
                break;
        }
        if (!waitForIdle()) {
            ADD_FAILURE() << "the module did not come back to idle: " << theApp.m_lConnectCount
                          << " counted, " << theApp.deviceThreads().size() << " phone threads; "
                          << ddtest::processReport() << "\n"
                          << logTail();
            return false;
        }
        checkNotices(before, serial, p);
        if (::testing::Test::HasFailure()) {
            std::printf("%s\n", logTail().c_str());
            return false;
        }
        return true;
    }

    std::string usbCycle(unsigned long n, const Plan& p) {
        std::string serial = numbered("SOAKU", 5, n);
        phonesim::SimPhoneSpec spec =
            ddtest::simPhone(serial, "1-" + std::to_string(1 + n % 4), numbered("35693803", 7, n));
        spec.service.model = "Pixel 7";
        phonesim::SimPhone* sim = machine.machine.plug(spec);
        EXPECT_NE(sim, nullptr);
        if (sim == nullptr) {
            return serial;
        }
        if (p.moment == Moment::Soon) {
            std::this_thread::sleep_for(p.delay);
        } else if (p.moment == Moment::WhileRead) {
            EXPECT_TRUE(waitForNotice(DEVICE_DISCOVERED, serial));
        } else if (p.moment == Moment::Announced) {
            EXPECT_TRUE(waitForNotice(NEW_DEVICE, serial));
            if (p.extra == Extra::HostDisconnect) {
                hostDisconnect(serial, true);
            } else if (p.extra == Extra::SyncRequest) {
                size_t syncs = machine.host.syncs().size();
                EXPECT_TRUE(sim->syncTool().waitForSyncLink(1, kStageLimit));
                EXPECT_TRUE(sim->syncTool().sendStart(serial));
                EXPECT_TRUE(machine.host.waitForSync(syncs + 1, kStageLimit));
            }
        }
        EXPECT_TRUE(machine.machine.unplug(serial));
        return serial;
    }

    std::string wifiCycle(unsigned long n, const Plan& p) {
        std::string serial = numbered("SOAKW", 5, n);
        auto phone = machine.wifiPhone(numbered("86000000", 7, n), serial);
        EXPECT_TRUE(phone->connect());
        if (p.moment == Moment::Soon) {
            std::this_thread::sleep_for(p.delay);
        } else if (p.moment == Moment::WhileRead) {
            EXPECT_TRUE(ddtest::waitUntil([&] { return !phone->service().requests().empty(); },
                                          kStageLimit));
        } else if (p.moment == Moment::Announced) {
            EXPECT_TRUE(waitForNotice(NEW_DEVICE, serial));
            if (p.extra == Extra::HostDisconnect) {
                hostDisconnect(serial, true);
            } else if (p.extra == Extra::SyncRequest) {
                size_t requests = machine.loaderSyncRequests();
                EXPECT_TRUE(phone->startSync());
                EXPECT_TRUE(ddtest::waitUntil(
                    [&] { return machine.loaderSyncRequests() > requests; }, kStageLimit));
            }
        }
        // The phone leaves the network: it says goodbye and its service
        // goes, in either order.
        if (p.serviceFirst) {
            phone->stop();
        }
        EXPECT_TRUE(phone->disconnect());
        phone.reset();
        return serial;
    }

    void brewCycle(unsigned long n, const Plan& p) {
        std::string imei = numbered("35800000", 7, n);
        phonesim::BrewPhoneSpec spec;
        spec.port = "1-" + std::to_string(5 + n % 4);
        spec.imei = imei;
        spec.syncSvr = "other@PC\0"s + machine.brewKey + "\0"s;
        spec.syncSetting = "other@PC," + machine.brewKey;
        phonesim::BrewPhone phone(spec);
        EXPECT_TRUE(phone.plug(machine.machine.usb()));
        if (p.moment == Moment::Soon) {
            std::this_thread::sleep_for(p.delay);
        } else if (p.moment == Moment::WhileRead) {
            EXPECT_TRUE(ddtest::waitUntil([&] { return !phone.commands().empty(); }, kStageLimit));
        } else if (p.moment == Moment::Announced) {
            EXPECT_TRUE(ddtest::waitUntil([&] { return machine.storeHolds(imei); }, kStageLimit));
            if (p.extra == Extra::HostDisconnect) {
                hostDisconnect(imei, false);
                EXPECT_FALSE(machine.storeHolds(imei)) << "the entry goes with the disconnect";
            }
        }
        phone.unplug();
        EXPECT_TRUE(ddtest::waitUntil([&] { return !machine.storeHolds(imei); }, kStageLimit))
            << "the store still lists " << imei;
    }

    void hostDisconnect(const std::string& serial, bool announced) {
        DeviceRecord record = SoakMachine::recordFor(serial);
        EXPECT_EQ(QX_DisconnectDevice(&record), 0);
        if (announced) {
            EXPECT_EQ(removalsOf(serial), 1u) << "withdrawn before the disconnect returned";
        }
    }

    bool waitForNotice(int32_t code, const std::string& serial) {
        return ddtest::waitUntil([&] { return machine.host.first(code, serial).code == code; },
                                 kStageLimit);
    }

    size_t removalsOf(const std::string& serial) {
        size_t count = 0;
        for (const Notice& notice : machine.host.notices()) {
            count += notice.code == REMOVE_DEVICE && notice.serial == serial;
        }
        return count;
    }

    // Phone threads gone, and the module back to its quiet thread count.
    bool waitForIdle() {
        return ddtest::waitUntil(
            [&] {
                return SoakMachine::moduleIdle() &&
                       (m_quiet.threads == 0 || ddtest::processCounts().threads <= m_quiet.threads);
            },
            kStageLimit);
    }

    // The cycle's notices: only for its own phone; each announcement
    // withdrawn exactly once with the same record; a phone given up while
    // being read withdrawn at most once.
    void checkNotices(size_t before, const std::string& serial, const Plan& p) {
        std::vector<Notice> all = machine.host.notices();
        std::map<int32_t, std::vector<Notice>> mine;
        for (size_t i = before; i < all.size(); ++i) {
            const Notice& notice = all[i];
            if (notice.serial != serial &&
                !(notice.code == REMOVE_DEVICE && notice.serial.empty())) {
                ADD_FAILURE() << "notice " << notice.code << " for " << notice.serial
                              << " during the cycle of " << serial;
                continue;
            }
            mine[notice.code].push_back(notice);
        }
        size_t added = mine[NEW_DEVICE].size();
        size_t removed = mine[REMOVE_DEVICE].size();
        if (p.family == Family::Brew) {
            EXPECT_EQ(added + removed + mine[DEVICE_DISCOVERED].size(), 0u)
                << "BREW phones are reported through the store only";
            return;
        }
        EXPECT_LE(added, 1u) << serial << " announced more than once";
        if (added == 1) {
            EXPECT_EQ(removed, 1u) << serial << " announced but withdrawn " << removed << " times";
            if (removed == 1) {
                EXPECT_EQ(mine[REMOVE_DEVICE][0].record, mine[NEW_DEVICE][0].record)
                    << "the withdrawal names the announced record";
                EXPECT_EQ(mine[REMOVE_DEVICE][0].serial, serial);
            }
            m_announced++;
        } else {
            EXPECT_LE(removed, mine[DEVICE_DISCOVERED].size())
                << serial << " withdrawn without an announcement or a discovery";
        }
        if (p.moment == Moment::Announced) {
            EXPECT_EQ(added, 1u) << serial << " was waited for until announced";
        }
    }

    std::string logTail() const {
        std::string log = machine.sandbox.log();
        size_t from = log.size() > 6000 ? log.size() - 6000 : 0;
        return "log tail:\n" + log.substr(from);
    }

    // The simulated adb server can keep a forward's listener (its thread, its
    // socket and the connection it serves) for a phone pulled while the
    // forward was being made; those are not the module's.
    size_t simulatorAllowance(const ProcessCounts& now) const {
        size_t extraThreads =
            now.allThreads - now.threads > m_quiet.allThreads - m_quiet.threads
                ? (now.allThreads - now.threads) - (m_quiet.allThreads - m_quiet.threads)
                : 0;
        return 3 * extraThreads;
    }

    unsigned long pick(unsigned long below) {
        return std::uniform_int_distribution<unsigned long>(0, below - 1)(m_random);
    }

    unsigned long m_seed;
    unsigned long m_cycles;
    std::mt19937 m_random;
    SoakMachine machine;
    ProcessCounts m_quiet;  // after the warm-up, detection running, no phone
    size_t m_announced = 0;
};

TEST_F(Soak, PlugAndUnplugAtRandomMomentsLeavesNothingBehind) {
    std::printf("soak: %lu cycles, seed %lu (DD_SOAK_CYCLES, DD_SOAK_SEED)\n", m_cycles, m_seed);
    ASSERT_NO_FATAL_FAILURE(machine.init());
    ProcessCounts stopped = ddtest::processCounts();
    ASSERT_NO_FATAL_FAILURE(machine.run());

    // Warm-up: one phone of each family taken through its whole story, so
    // that whatever the module and the simulator create once (and keep) is
    // there before the baseline is taken. The simulated servers keep their
    // last finished connection until the next one comes: each is used once.
    unsigned long n = 0;
    for (Plan warmUp : {Plan{Family::Usb, Moment::Announced, Extra::SyncRequest, 0ms, false},
                        Plan{Family::Wifi, Moment::Announced, Extra::SyncRequest, 0ms, false},
                        Plan{Family::Brew, Moment::Announced, Extra::HostDisconnect, 0ms, false}}) {
        ASSERT_TRUE(cycle(n++, warmUp));
    }
    ASSERT_TRUE(ddtest::waitUntil([&] {
        m_quiet = ddtest::processCounts();
        return SoakMachine::moduleIdle();
    }));

    auto started = std::chrono::steady_clock::now();
    std::map<std::string, unsigned long> kinds;
    size_t mostFds = m_quiet.fds;
    for (unsigned long i = 0; i < m_cycles; ++i, ++n) {
        Plan p = plan();
        kinds[p.describe()]++;
        ASSERT_TRUE(cycle(n, p)) << "replay with DD_SOAK_SEED=" << m_seed;
        mostFds = std::max(mostFds, ddtest::processCounts().fds);
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    // Flat: the same threads and descriptors as after the warm-up.
    ProcessCounts after;
    EXPECT_TRUE(ddtest::waitUntil([&] {
        after = ddtest::processCounts();
        return after.threads <= m_quiet.threads &&
               after.fds <= m_quiet.fds + simulatorAllowance(after);
    })) << "threads "
        << m_quiet.threads << " -> " << after.threads << ", descriptors " << m_quiet.fds << " -> "
        << after.fds << "; " << ddtest::processReport();

    // Across the whole run every announced serial was withdrawn exactly once.
    std::map<std::string, int> balance;
    for (const Notice& notice : machine.host.notices()) {
        if (notice.code == NEW_DEVICE) {
            balance[notice.serial]++;
        } else if (notice.code == REMOVE_DEVICE && balance.count(notice.serial) != 0) {
            balance[notice.serial]--;
        }
    }
    for (const auto& [serial, open] : balance) {
        EXPECT_EQ(open, 0) << serial << ": announcements minus withdrawals";
    }

    machine.stop();
    EXPECT_EQ(theApp.m_lConnectCount.load(), 0);
    ProcessCounts end;
    EXPECT_TRUE(ddtest::waitUntil([&] {
        end = ddtest::processCounts();
        return end.threads == stopped.threads;
    })) << "threads before start "
        << stopped.threads << ", after stop " << end.threads << ": " << ddtest::processReport();
    EXPECT_LE(end.fds, m_quiet.fds + simulatorAllowance(end)) << ddtest::processReport();

    std::printf("soak: %lu cycles in %.1f s, %zu announced and withdrawn\n", m_cycles, seconds,
                m_announced);
    std::printf(
        "soak: module threads %zu/%zu/%zu/%zu, descriptors %zu/%zu/%zu/%zu (before start, "
        "quiet, at the end, after stop); at most %zu descriptors between cycles\n",
        stopped.threads, m_quiet.threads, after.threads, end.threads, stopped.fds, m_quiet.fds,
        after.fds, end.fds, mostFds);
    for (const auto& [kind, count] : kinds) {
        std::printf("soak:   %-28s %lu\n", kind.c_str(), count);
    }
}

}  // namespace
