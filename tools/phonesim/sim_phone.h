// Whole simulated Android phones on a simulated machine: the machine is a
// fake USB tree plus an emulated adb server on loopback; each phone is a USB
// device in the tree, an adb device with its properties, a companion service
// and a sync tool, all tied together by adb forwards the way a real phone is.
// Tests script the phone's behaviour through SimPhoneSpec and the parts.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "adb_server.h"
#include "companion_service.h"
#include "fake_usb_tree.h"
#include "sync_tool.h"

namespace phonesim {

struct SimPhoneSpec {
    std::string port = "1-1";  // USB port name in the fake tree
    std::string serial = "SIM0001";
    uint16_t vid = 0x18d1;
    uint16_t pid = 0x4ee7;
    std::string model = "Pixel 7";
    std::string androidVersion = "13";
    int sdk = 33;
    std::string velaVersion;  // ro.build.vela.version; empty = none (no sync-tool start)
    std::map<std::string, std::string> properties;  // added to / replacing the defaults
    // Companion service answers; its serial_number follows `serial` unless set.
    PhoneConfig service;
    bool serviceInstalled = true;  // com.qx.httpd present; else "Not found" until installed
    bool syncToolListens = true;   // port 7890 shows LISTEN in netstat
    bool bootCompleted = true;
    std::chrono::milliseconds bootDelay{0};
    int getpropFailures = 0;
    bool deviceNode = true;  // false: the driver is still being installed
    // How the phone reaches adb after its plug (AdbPhoneConfig).
    std::chrono::milliseconds adbListedAfter{0};
    std::chrono::milliseconds adbOfflineFor{0};
    bool adbUnauthorized = false;  // shows the USB debugging prompt until authorized
};

class SimPhone {
  public:
    explicit SimPhone(SimPhoneSpec spec);
    ~SimPhone();
    SimPhone(const SimPhone&) = delete;
    SimPhone& operator=(const SimPhone&) = delete;

    const SimPhoneSpec& spec() const { return m_spec; }
    CompanionService& service() { return m_service; }
    SyncTool& syncTool() { return m_syncTool; }
    void setSyncToolListens(bool listens);
    bool syncToolListens() const;

  private:
    friend class SimMachine;
    bool start();
    AdbPhoneConfig adbConfig(AdbServer& server);

    SimPhoneSpec m_spec;
    CompanionService m_service;
    SyncTool m_syncTool;
    // Whether the sync tool shows in netstat. Shared with the adb phone's
    // shell handler, which an adb connection may still run after this
    // phone was unplugged and destroyed.
    std::shared_ptr<std::atomic<bool>> m_syncListens;
};

class SimMachine {
  public:
    SimMachine(std::string sysfsRoot, std::string devRoot);
    ~SimMachine();
    SimMachine(const SimMachine&) = delete;
    SimMachine& operator=(const SimMachine&) = delete;

    // Starts the adb server (port 0: any free loopback port).
    bool start(uint16_t adbPort = 0);
    uint16_t adbPort() const { return m_adb.port(); }
    AdbServer& adb() { return m_adb; }
    FakeUsbTree& usb() { return m_usb; }

    // Starts the phone's programs, registers it with adb and plugs it in.
    // Null when the port is taken or a part cannot start.
    SimPhone* plug(const SimPhoneSpec& spec);
    // Pulls the phone's USB device out (its programs stop with it).
    bool unplug(const std::string& serial);
    // plug() in two steps, so that many phones can appear on USB at the same
    // moment: prepare starts the programs and registers the phone with adb,
    // connectUsb puts its device on the USB tree.
    SimPhone* prepare(const SimPhoneSpec& spec);
    bool connectUsb(const std::string& serial);
    // Only the USB device goes (unplug() later stops the programs).
    bool pullUsb(const std::string& serial);
    // The device node appears: the "driver" has finished installing.
    bool finishDriver(const std::string& serial);
    SimPhone* phone(const std::string& serial);

  private:
    FakeUsbTree m_usb;
    AdbServer m_adb;
    std::mutex m_mutex;  // guards m_phones
    std::vector<std::unique_ptr<SimPhone>> m_phones;
};

// The package files the module installs, as the emulated adb server reads
// them ("package:" first line); written into a module folder for tests and
// the demo, with the matching "apkConfig.ini" version.
void writeServicePackages(const std::string& moduleDir, int versionCode);

}  // namespace phonesim
