#include "ready_phones.h"

#include <iterator>

#include "base/utf8_encode.h"

void ReadyPhones::onDeviceChange(int32_t code, const DeviceRecord& record) {
    std::string serial = dd::utf16UnitsToUtf8(record.serialno, std::size(record.serialno));
    std::lock_guard<std::mutex> lock(m_mutex);
    if (code == NEW_DEVICE) {
        DeviceRecord copy = record;
        copy.cards = nullptr;
        copy.cardcount = 0;
        m_records[serial] = copy;
    } else if (code == REMOVE_DEVICE) {
        m_records.erase(serial);
    }
}

std::optional<DeviceRecord> ReadyPhones::find(const std::string& serial) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_records.find(serial);
    if (it == m_records.end()) {
        return std::nullopt;
    }
    return it->second;
}

std::optional<DeviceRecord> ReadyPhones::namedBy(const std::string& deviceText) const {
    if (deviceText.empty()) {
        return std::nullopt;  // no record has an empty serial; say so plainly
    }
    return find(deviceText);
}

std::vector<std::string> ReadyPhones::serials() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<std::string> out;
    for (const auto& [serial, record] : m_records) {
        (void)record;
        out.push_back(serial);
    }
    return out;
}
