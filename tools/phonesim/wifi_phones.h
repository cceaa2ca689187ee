// The Wi-Fi phones of a simulated machine, driven by the machine's
// commands:
//   wifi-connect IMEI [SERIAL [other]]   a phone joins the network and
//                                        announces itself (paired with this
//                                        PC, or with another one)
//   wifi-disconnect IMEI                 it leaves
//   wifi-start IMEI / wifi-stop IMEI     it asks to start / cancel a sync
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "wifi_phone.h"

namespace phonesim {

class WifiPhones {
  public:
    // pcIdentity: this PC's identity, which paired phones carry.
    WifiPhones(std::string pcIdentity, std::string finderAddress, uint16_t finderPort);

    bool handles(const std::string& verb) const;
    // Runs one command; false when it failed.
    bool run(const std::string& verb, const std::string& imei, const std::string& arg1,
             const std::string& arg2);
    WifiPhone* phone(const std::string& imei);

  private:
    std::string m_pcIdentity;
    std::string m_finderAddress;
    uint16_t m_finderPort;
    std::map<std::string, std::unique_ptr<WifiPhone>> m_phones;
};

}  // namespace phonesim
