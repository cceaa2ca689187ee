// One phone as the emulated adb server sees it: its properties, its boot
// state, the files pushed to it, the packages installed on it, and the
// answers of the shell commands the module sends (getprop, netstat, am, pm).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace phonesim {

struct AdbPhoneConfig {
    std::string serial;
    // "device", "offline" or "unauthorized": what host:devices shows once the
    // phone has reached adb (below); only a phone in state "device" accepts
    // a transport.
    std::string state = "device";
    // How a real phone reaches adb, counted from its attach (the USB plug,
    // or the server's start): not listed at all for listedAfter, then
    // "offline" for offlineFor while its adb daemon starts, then
    // "unauthorized" until authorize() when authorized is false (the USB
    // debugging prompt), then `state`.
    std::chrono::milliseconds listedAfter{0};
    std::chrono::milliseconds offlineFor{0};
    bool authorized = true;
    // The getprop list. sys.boot_completed is added by the boot settings
    // below, not taken from here.
    std::map<std::string, std::string> properties;
    // false: sys.boot_completed never shows (a phone stuck in its boot).
    bool bootCompleted = true;
    // Late boot: the first N successful full getprop lists lack the key.
    int bootCompletedAfterGetprops = 0;
    // Slow boot: the key shows only this long after the phone was added.
    std::chrono::milliseconds bootDelay{0};
    // The first N getprop calls fail the way a phone still starting does.
    int getpropFailures = 0;
    // Phone TCP port -> 127.0.0.1 port of the process that plays that
    // service; "forward tcp:L tcp:P" relays to it. These ports also show as
    // LISTEN in netstat.
    std::map<uint16_t, uint16_t> servicePorts;
    // Extra ports shown as LISTEN in netstat without a forward target.
    std::set<uint16_t> listeningPorts;
    // Packages installed before the test starts.
    std::set<std::string> packages;
    // Consulted first for every shell command; a value is the whole output.
    std::function<std::optional<std::string>(const std::string& command)> shellHandler;
    // USB path shown by devices -l ("usb:1-2").
    std::string devpath = "usb:1-1";
};

// A property list of a real phone (well over 1000 characters of getprop).
AdbPhoneConfig makeDefaultPhone(const std::string& serial);

// What one shell command yields: a failure refuses the service the way adbd
// does ("closed"), otherwise output is the raw stream.
struct ShellResult {
    bool failed = false;
    std::string failMessage;
    std::string output;
};

class AdbPhone {
  public:
    AdbPhone(AdbPhoneConfig config, uint32_t transportId);

    const std::string& serial() const { return m_config.serial; }
    // What host:devices shows now; empty while the phone is not listed.
    std::string state() const;
    // When state() changes next by itself; nullopt when it will not.
    std::optional<std::chrono::steady_clock::time_point> nextChange() const;
    // The phone (re)attaches now: its USB plug, or a restarted server that
    // finds it again after listedAfter.
    void attachNow(std::optional<std::chrono::milliseconds> listedAfter = std::nullopt);
    // The user accepts the USB debugging prompt.
    void authorize();
    // Called after every change of the phone's state that is not a matter
    // of time (setState, authorize); set by the server.
    void setOnChange(std::function<void()> onChange);
    uint32_t transportId() const { return m_transportId; }
    // Port of the loopback service behind a phone port; 0 when none.
    uint16_t servicePort(uint16_t phonePort) const;
    // "product:X model:Y device:Z" for devices -l.
    std::string describe() const;

    ShellResult runShell(const std::string& command);

    // Sync service (push): files live in memory, keyed by path.
    bool hasFile(const std::string& path) const;
    size_t fileSize(const std::string& path) const;
    void storeFile(const std::string& path, std::string content);

    // What tests look at.
    int getpropCalls() const;
    std::vector<std::string> shellHistory() const;
    std::set<std::string> packages() const;
    void setListening(uint16_t port, bool listening);
    void setState(const std::string& state);

  private:
    bool bootCompletedNow() const;                             // m_mutex held
    std::string getpropList();                                 // m_mutex held
    std::string netstat() const;                               // m_mutex held
    std::string runPm(const std::vector<std::string>& words);  // m_mutex held
    std::string runAm(const std::vector<std::string>& words) const;

    void changed();

    AdbPhoneConfig m_config;
    const uint32_t m_transportId;
    const std::chrono::steady_clock::time_point m_added;
    std::chrono::steady_clock::time_point m_attached;  // guarded by m_mutex
    std::function<void()> m_onChange;                  // guarded by m_mutex
    mutable std::mutex m_mutex;  // guards everything below and the mutable parts of m_config
    int m_getpropCalls = 0;
    int m_getpropListsServed = 0;
    std::map<std::string, std::string> m_files;
    std::vector<std::string> m_history;
};

// Splits a command line the way the phone's shell does for the words the
// module and the adb client send: blanks separate, single and double quotes
// group, a backslash escapes one character.
std::vector<std::string> splitShellWords(const std::string& line);

}  // namespace phonesim
