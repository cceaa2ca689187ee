#include "brew_store_view.h"

#include <optional>

#include "deviceinfo/xml_helper.h"
#include "events.h"
#include "platform/paths.h"

namespace {

// The BREW phones in the store; none when there is no store; nullopt when it
// is there but cannot be read or parsed now (a FIFO in its place is refused
// at once, never waited on).
std::optional<std::map<std::string, BrewPhoneView>> readStore(const std::string& file) {
    std::map<std::string, BrewPhoneView> phones;
    std::string text;
    dd::platform::FileProblem problem;
    if (!dd::platform::readFileBounded(file, CXmlHelper::kMaxFileBytes, text, &problem)) {
        if (problem.kind == dd::platform::FileRefusal::Missing) {
            return phones;
        }
        return std::nullopt;
    }
    CXmlHelper doc;
    if (doc.LoadFromText(text) != CXmlHelper::kOk) {
        return std::nullopt;
    }
    CXmlNode root = doc.root();
    if (root.name() != "detecteddevice") {
        return phones;
    }
    for (const CXmlNode& device : root.children("device")) {
        if (device.attribute("devicetype") != "bmp") {
            continue;
        }
        BrewPhoneView phone;
        phone.imei = device.attribute("imei");
        phone.model = device.attribute("model");
        phone.commport = device.attribute("commport");
        phone.firmware = device.child("firmware").text();
        phone.battery = device.child("battery").attribute("level");
        phone.factoryreset = device.child("factoryreset").text();
        if (!phone.imei.empty()) {
            phones[phone.imei] = phone;
        }
    }
    return phones;
}

}  // namespace

std::string BrewStoreView::defaultDataFolder() {
    return dd::platform::readRuntimePaths().dataDir;  // where the module keeps it
}

BrewStoreView::BrewStoreView(const std::string& dataFolder)
    : m_folder(dataFolder + "/xml"), m_file(m_folder + "/detecteddevice.xml") {
    // Made before the module writes its first entry, so that the folder can
    // be watched from the start; private (0700) like the rest of the data
    // folder.
    dd::platform::makeDirectories(m_folder);
    m_watch = std::make_unique<dd::platform::FolderWatch>(m_folder);
}

BrewStoreView::~BrewStoreView() = default;

std::vector<BrewChange> BrewStoreView::refresh() {
    m_watch->drain();
    std::optional<std::map<std::string, BrewPhoneView>> read = readStore(m_file);
    if (!read) {
        return {};  // unreadable for now: the phones shown stay until it reads again
    }
    std::map<std::string, BrewPhoneView> now = std::move(*read);
    std::vector<BrewChange> changes;
    for (const auto& [imei, phone] : m_phones) {
        if (now.count(imei) == 0) {
            changes.push_back({false, phone});
        }
    }
    for (const auto& [imei, phone] : now) {
        auto before = m_phones.find(imei);
        if (before == m_phones.end() || !(before->second == phone)) {
            changes.push_back({true, phone});
        }
    }
    m_phones = std::move(now);
    return changes;
}

std::string formatBrewReadable(const BrewChange& change) {
    BrewPhoneView p = change.phone;
    for (std::string* text : {&p.model, &p.imei, &p.commport, &p.firmware, &p.battery}) {
        *text = printableText(*text);  // the phone's own words reach a terminal
    }
    if (!change.arrived) {
        return "BREW phone left: " + p.model + " (IMEI " + p.imei + ")";
    }
    std::string line = "BREW phone: " + p.model + " (IMEI " + p.imei + ") on " + p.commport +
                       ", firmware " + p.firmware + ", battery " + p.battery;
    if (p.factoryreset == "1") {
        line += " [factory reset: this PC registered again]";
    }
    return line;
}

std::string formatBrewJson(const BrewChange& change) {
    const BrewPhoneView& p = change.phone;
    return std::string("{\"event\":") + (change.arrived ? "\"BREW_DEVICE\"" : "\"BREW_REMOVED\"") +
           ",\"imei\":" + jsonText(p.imei) + ",\"model\":" + jsonText(p.model) +
           ",\"commport\":" + jsonText(p.commport) + ",\"firmware\":" + jsonText(p.firmware) +
           ",\"battery\":" + jsonText(p.battery) + ",\"factoryreset\":" + jsonText(p.factoryreset) +
           "}";
}
