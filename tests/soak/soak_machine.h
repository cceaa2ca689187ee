// One simulated machine for all three phone families at once: the USB tree
// and adb server with whole Android phones, Wi-Fi phones aimed at the finder
// with a stand-in for the suite loader, and BREW phones on pseudo-terminals
// in the same USB tree. The module runs in this process, driven through its
// C interface, so that its count of running phone threads can be read.
#pragma once

#include <dirent.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "android/pc_identity.h"
#include "brew_phone.h"
#include "core/device_detect_app.h"
#include "wifi/wifi_harness.h"

namespace ddtest {

// What the process holds at one moment.
struct ProcessCounts {
    size_t threads = 0;  // the module's threads (all named "dd-...")
    size_t fds = 0;
    size_t allThreads = 0;  // the simulator's and the test's too
};

inline size_t entriesIn(const char* dir) {
    size_t count = 0;
    if (DIR* listing = opendir(dir)) {
        while (dirent* entry = readdir(listing)) {
            count += entry->d_name[0] != '.';
        }
        closedir(listing);
    }
    return count;
}

// The listing's own descriptor is open while /proc/self/fd is read, in every
// reading alike, so readings compare with each other.
inline ProcessCounts processCounts() {
    ProcessCounts counts;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        counts.threads += readFile(task.path().string() + "/comm").rfind("dd-", 0) == 0;
        counts.allThreads++;
    }
    counts.fds = entriesIn("/proc/self/fd");
    return counts;
}

// Each thread of this process with the system call it waits in and where
// the kernel holds it, and what each open descriptor is: the report on a
// module that did not come back to idle.
inline std::string processReport() {
    std::string report = "threads:";
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::string dir = task.path().string();
        std::string line = readFile(dir + "/comm") + " " + readFile(dir + "/syscall") + " " +
                           readFile(dir + "/wchan");
        std::replace(line.begin(), line.end(), '\n', ' ');
        report += "\n  " + line.substr(0, 160);
    }
    report += "\ndescriptors:";
    for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        report += "\n  " + fd.path().filename().string() + " -> " +
                  std::filesystem::read_symlink(fd.path(), error).string();
    }
    return report;
}

class SoakMachine : public WifiUsbMachine {
  public:
    explicit SoakMachine(const std::string& logLevel) {
        // The module runs in-process here; the loaded copy stays unused.
        module.unload();
        EXPECT_TRUE(loader.start());
        sandbox.writeModuleFile("orqBRAXLoader.ini",
                                "[Detect]\nLogLevel=" + logLevel +
                                    "\nLoaderHttpPort=" + std::to_string(loader.port()) + "\n");
    }
    ~SoakMachine() {
        if (m_running) {
            stop();
        }
    }

    // Initialises the module and reads this PC's short identity (the name
    // BREW phones list).
    void init() {
        ASSERT_EQ(QX_InitDetect(), 0);
        ASSERT_EQ(QX_SetDeviceChangeCallBack(&HostRecorder::onDeviceChange), 0);
        ASSERT_EQ(QX_SetSyncByDevCallBack(&HostRecorder::onSync), 0);
        brewKey = dd::android::shortPcIdentity();
        ASSERT_FALSE(brewKey.empty());
    }
    void run() {
        ASSERT_EQ(QX_startDetect(), 0);
        m_running = true;
    }
    // Stops detection and waits for every module thread to end, as unloading
    // the library would.
    void stop() {
        m_running = false;
        EXPECT_EQ(QX_stopDetect(), 0);
        theApp.waitForDetectionEnd();
    }

    std::unique_ptr<phonesim::WifiPhone> wifiPhone(const std::string& imei,
                                                   const std::string& serial) {
        phonesim::WifiPhoneSpec spec;
        spec.imei = imei;
        spec.serial = serial;
        return WifiUsbMachine::wifiPhone(spec);
    }

    // Sync requests the loader stand-in has received for Wi-Fi phones.
    size_t loaderSyncRequests() const {
        size_t count = 0;
        for (const auto& request : loader.requests()) {
            count += request.target.rfind("/__dispatch__dodevicesync", 0) == 0;
        }
        return count;
    }

    std::string storeFile() const { return sandbox.dataDir() + "/xml/detecteddevice.xml"; }
    bool storeHolds(const std::string& imei) const {
        return readFile(storeFile()).find("imei=\"" + imei + "\"") != std::string::npos;
    }

    // No phone thread of the module runs, and no more threads run than in
    // the quiet state the soak measured.
    static bool moduleIdle() {
        return theApp.m_lConnectCount.load() == 0 && theApp.deviceThreads().empty();
    }

    phonesim::CompanionService loader;
    std::string brewKey;

  private:
    bool m_running = false;
};

}  // namespace ddtest
