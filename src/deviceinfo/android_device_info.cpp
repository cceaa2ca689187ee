#include "deviceinfo/android_device_info.h"

#include "deviceinfo/device_record.h"

AndroidDeviceInfo::~AndroidDeviceInfo() { freeDeviceRecord(record); }

std::string AndroidDeviceInfo::serialNumber() const {
    std::lock_guard<std::mutex> lock(m_keyMutex);
    return m_serialNumber;
}

void AndroidDeviceInfo::setSerialNumber(const std::string& serial) {
    std::lock_guard<std::mutex> lock(m_keyMutex);
    m_serialNumber = serial;
}

int AndroidDeviceInfo::QueryDeviceInfo(const std::string&, int, int localPort, const std::string& key) {
    httpPort = localPort;
    setSerialNumber(key);
    return 0;
}
