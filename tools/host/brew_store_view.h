// BREW phones as the host sees them: the module writes each one into its
// detected-device store ("detecteddevice.xml" in the data folder's "xml"
// folder) and sends no notification, so the host watches that file
// (inotify on its folder) and reports phones as they come and go.
#pragma once

#include <map>
#include <string>
#include <vector>

struct BrewPhoneView {
    std::string imei, model, commport, firmware, battery, factoryreset;
    bool operator==(const BrewPhoneView&) const = default;
};

struct BrewChange {
    bool arrived = true;  // false: the phone left the store
    BrewPhoneView phone;
};

class BrewStoreView {
  public:
    // dataFolder: $XDG_DATA_HOME/Orq Sync/PCSync (the module's data folder).
    explicit BrewStoreView(const std::string& dataFolder);
    ~BrewStoreView();
    BrewStoreView(const BrewStoreView&) = delete;
    BrewStoreView& operator=(const BrewStoreView&) = delete;

    // Readable when the store's folder changed; -1 when it cannot be watched.
    int fd() const { return m_fd; }
    // Drains the change events, reads the store again and returns what
    // differs from the last reading (a phone whose entry changed is reported
    // as arrived again).
    std::vector<BrewChange> refresh();
    const std::map<std::string, BrewPhoneView>& phones() const { return m_phones; }

    static std::string defaultDataFolder();

  private:
    std::string m_folder;
    std::string m_file;
    int m_fd = -1;
    std::map<std::string, BrewPhoneView> m_phones;
};

std::string formatBrewReadable(const BrewChange& change);
std::string formatBrewJson(const BrewChange& change);
