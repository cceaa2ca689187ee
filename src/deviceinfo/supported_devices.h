// The supported-device catalogue "device.xml". Loaded once into a flat list
// of (vid << 16 | pid) entries that answers "is this device supported" for
// every port on every scan; the file is opened again only when a thread is
// about to be created, to read the device's attributes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "deviceinfo/xml_helper.h"

class CSupportedDevices {
  public:
    // Fills the list from the file; a file that cannot be loaded logs
    // "not find <path>" at Crit and leaves the list empty.
    void loadSupportedIds(const std::string& path);
    // 1 when (vid, pid) is in the list, else 0. Answers from memory only.
    int doesDeviceSupport(uint32_t vid, uint32_t pid) const;
    const std::vector<uint32_t>& ids() const { return m_dwSupportedIds; }

    // Loads path into doc and selects the first device whose vid and pid
    // attributes read exactly as four lower-case hex digits ("%04x").
    // Returns false (node empty) when the file does not load (logged) or
    // nothing matches; loadFailed tells the two apart.
    static bool findDeviceNode(const std::string& path, uint32_t vid, uint32_t pid, CXmlHelper& doc,
                               CXmlNode& node, bool* loadFailed = nullptr);
    // The attribute's text, empty when absent.
    static std::string getAttribute(const CXmlNode& node, const char* name);
    // Base-16 conversion as the catalogue has always read ids: leading blanks
    // and "0x" accepted, stops at the first non-hex character, no digits = 0.
    static uint32_t parseHexId(const std::string& text);

  private:
    std::vector<uint32_t> m_dwSupportedIds;  // written once before detection starts
};
