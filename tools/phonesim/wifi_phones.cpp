#include "wifi_phones.h"

#include <cstdio>

namespace phonesim {

WifiPhones::WifiPhones(std::string pcIdentity, std::string finderAddress, uint16_t finderPort)
    : m_pcIdentity(std::move(pcIdentity)),
      m_finderAddress(std::move(finderAddress)),
      m_finderPort(finderPort) {}

bool WifiPhones::handles(const std::string& verb) const {
    return verb == "wifi-connect" || verb == "wifi-disconnect" || verb == "wifi-start" ||
           verb == "wifi-stop";
}

WifiPhone* WifiPhones::phone(const std::string& imei) {
    auto found = m_phones.find(imei);
    return found == m_phones.end() ? nullptr : found->second.get();
}

bool WifiPhones::run(const std::string& verb, const std::string& imei, const std::string& arg1,
                     const std::string& arg2) {
    if (imei.empty()) {
        return false;
    }
    if (verb == "wifi-connect") {
        WifiPhone* existing = phone(imei);
        if (existing == nullptr) {
            WifiPhoneSpec spec;
            spec.imei = imei;
            spec.serial = arg1.empty() ? "W" + imei : arg1;
            spec.paired = arg2 == "other" ? "another-pc" : m_pcIdentity;
            auto created = std::make_unique<WifiPhone>(spec);
            if (!created->start()) {
                return false;
            }
            created->setFinder(m_finderAddress, m_finderPort);
            std::printf("wifi phone %s at %s:%u\n", imei.c_str(), created->address().c_str(),
                        WifiPhone::kServicePort);
            existing = created.get();
            m_phones[imei] = std::move(created);
        }
        return existing->connect();
    }
    WifiPhone* known = phone(imei);
    if (known == nullptr) {
        return false;
    }
    if (verb == "wifi-disconnect") {
        bool sent = known->disconnect();
        m_phones.erase(imei);
        return sent;
    }
    return verb == "wifi-start" ? known->startSync() : known->stopSync();
}

}  // namespace phonesim
