// A whole machine for end-to-end tests: a sandbox, the simulated USB tree and
// adb server with whole phones (phonesim), the module loaded through its C
// interface, and a recorder of everything the module tells the host.
#pragma once

#include <sys/stat.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/text_codec.h"
#include "devicedetect/DeviceDetect.h"
#include "module_loader.h"
#include "sim_phone.h"
#include "test_env.h"

namespace ddtest {

// One notification as the host saw it.
struct Notice {
    int32_t code = -1;
    DeviceRecord* record = nullptr;  // as passed (only NEW_DEVICE's stays valid)
    DeviceRecord copy{};             // the record's fields at the time of the call
    std::string serial, model, imei, serverip, allowwifi;
    uint32_t cardcount = 0;
    bool onCallerThread = false;               // delivered on the thread that called an export
    std::chrono::steady_clock::time_point at;  // when it arrived (the benchmarks time by it)
};

struct SyncRequest {
    std::string text;
    int32_t action = -1;
};

// What the host's two callbacks received. The callbacks are plain function
// pointers, so the one recorder of a test is reached through a global.
class HostRecorder {
  public:
    HostRecorder() { s_current = this; }
    ~HostRecorder() { s_current = nullptr; }

    static void QX_CALL onDeviceChange(int32_t code, DeviceRecord* record) {
        Notice notice;
        notice.at = std::chrono::steady_clock::now();
        notice.code = code;
        notice.record = record;
        if (record != nullptr) {
            notice.copy = *record;
            notice.serial = dd::fieldToUtf8(record->serialno);
            notice.model = dd::fieldToUtf8(record->model);
            notice.imei = dd::fieldToUtf8(record->imei);
            notice.serverip = dd::fieldToUtf8(record->serverip);
            notice.allowwifi = dd::fieldToUtf8(record->allowwifi);
            notice.cardcount = record->cardcount;
        }
        std::lock_guard<std::mutex> lock(s_current->m_mutex);
        notice.onCallerThread = s_current->m_callerThread == std::this_thread::get_id();
        s_current->m_notices.push_back(notice);
        s_current->m_changed.notify_all();
    }
    static void QX_CALL onSync(const char16_t* text, int32_t action) {
        std::lock_guard<std::mutex> lock(s_current->m_mutex);
        s_current->m_syncs.push_back({text != nullptr ? dd::utf16ToUtf8(text) : "", action});
        s_current->m_changed.notify_all();
    }

    // Waits until `count` notices of code have arrived.
    bool waitFor(int32_t code, size_t count = 1,
                 std::chrono::milliseconds deadline = std::chrono::seconds(30)) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, deadline, [&] { return countLocked(code) >= count; });
    }
    bool waitForSync(size_t count, std::chrono::milliseconds deadline = std::chrono::seconds(10)) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, deadline, [&] { return m_syncs.size() >= count; });
    }
    size_t count(int32_t code) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return countLocked(code);
    }
    std::vector<Notice> notices() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_notices;
    }
    // The first notice of code for serial; code -1 when none came.
    Notice first(int32_t code, const std::string& serial) {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const Notice& notice : m_notices) {
            if (notice.code == code && notice.serial == serial) {
                return notice;
            }
        }
        return {};
    }
    Notice last(int32_t code) {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto it = m_notices.rbegin(); it != m_notices.rend(); ++it) {
            if (it->code == code) {
                return *it;
            }
        }
        return {};
    }
    std::vector<SyncRequest> syncs() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_syncs;
    }
    void markCallerThread() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_callerThread = std::this_thread::get_id();
    }

  private:
    size_t countLocked(int32_t code) const {
        size_t n = 0;
        for (const Notice& notice : m_notices) {
            n += notice.code == code;
        }
        return n;
    }

    static inline HostRecorder* s_current = nullptr;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Notice> m_notices;
    std::vector<SyncRequest> m_syncs;
    std::thread::id m_callerThread;
};

// Initialises the module with the recorder's callbacks and starts detection.
inline void startModule(LoadedModule& module) {
    ASSERT_TRUE(module.ok());
    ASSERT_EQ(module.InitDetect(), 0);
    module.SetDeviceChangeCallBack(&HostRecorder::onDeviceChange);
    module.SetSyncByDevCallBack(&HostRecorder::onSync);
    ASSERT_EQ(module.startDetect(), 0);
}

// Unloading joins every module thread before the phones go.
inline void stopModule(LoadedModule& module) {
    if (module.ok()) {
        module.stopDetect();
        module.unload();
    }
}

// A whole phone on a USB port, its service telling the IMEI given.
inline phonesim::SimPhoneSpec simPhone(const std::string& serial, const std::string& port = "1-1",
                                       const std::string& imei = "356938035643809") {
    phonesim::SimPhoneSpec spec;
    spec.serial = serial;
    spec.port = port;
    spec.service.imei = imei;
    return spec;
}

// The module on a simulated machine. Phones are plugged through `machine`.
class PhoneMachine {
  public:
    static constexpr int kServiceVersion = 25;

    PhoneMachine()
        : machine(sandbox.sysfsRoot, sandbox.devRoot),
          m_tmp("TMPDIR", sandbox.root.path()),
          m_timeLimit("DEVICEDETECT_ADB_TIMEOUT_MS", "10000") {
        EXPECT_TRUE(machine.start());
        machine.adb().setRestartAfterKill(true);
        m_port = std::make_unique<ScopedEnv>("ANDROID_ADB_SERVER_PORT",
                                             std::to_string(machine.adbPort()));
        // The real adb client installs packages; it must never start a
        // server of its own, so start-server is refused.
        std::string wrapper = sandbox.root / "adb-wrapper";
        writeFile(wrapper,
                  "#!/bin/sh\nfor word in \"$@\"; do case \"$word\" in "
                  "start-server|fork-server) exit 1;; esac; done\nexec adb \"$@\"\n");
        chmod(wrapper.c_str(), 0755);
        m_adb = std::make_unique<ScopedEnv>("DEVICEDETECT_ADB", wrapper);
        phonesim::writeServicePackages(sandbox.moduleDir, kServiceVersion);
    }
    ~PhoneMachine() { stopModule(module); }

    void start() { startModule(module); }

    static DeviceRecord recordFor(const std::string& serial) {
        DeviceRecord record{};
        dd::copyToField(record.serialno, serial);
        return record;
    }

    Sandbox sandbox;
    phonesim::SimMachine machine;
    HostRecorder host;
    LoadedModule module;

  private:
    ScopedEnv m_tmp;
    ScopedEnv m_timeLimit;
    std::unique_ptr<ScopedEnv> m_port;
    std::unique_ptr<ScopedEnv> m_adb;
};

}  // namespace ddtest
