// BREW phones as the host sees them: the module writes each one into its
// detected-device store ("detecteddevice.xml" in the data folder's "xml"
// folder) and sends no notification, so the host watches that file (a watch
// on its folder) and reports phones as they come and go.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/folder_watch.h"

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

    // Signalled when the store's folder changed; kNoHandle when it cannot
    // be watched.
    dd::platform::NativeHandle handle() const { return m_watch->handle(); }
    // Drains the change events, reads the store again and returns what
    // differs from the last reading (a phone whose entry changed is reported
    // as arrived again).
    std::vector<BrewChange> refresh();
    const std::map<std::string, BrewPhoneView>& phones() const { return m_phones; }

    static std::string defaultDataFolder();

  private:
    std::string m_folder;
    std::string m_file;
    std::unique_ptr<dd::platform::FolderWatch> m_watch;
    std::map<std::string, BrewPhoneView> m_phones;
};

std::string formatBrewReadable(const BrewChange& change);
std::string formatBrewJson(const BrewChange& change);
