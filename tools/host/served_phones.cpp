#include "served_phones.h"

#include "devicedetect/DeviceDetect.h"

bool ServedPhones::unservedRemoval(int32_t code, const std::string& serial, uint32_t vid) {
    switch (code) {
        case DEVICE_DISCOVERED:
        case DRIVER_INSTALLING:
            m_left.erase(serial);  // a new journey of the phone
            return false;
        case NEW_DEVICE:
            m_announced.insert(serial);
            return false;
        case REMOVE_DEVICE:
            if (m_announced.erase(serial) != 0) {
                m_left.insert(serial);
                return false;
            }
            return m_left.erase(serial) == 0 && vid != 0;
        default:
            return false;
    }
}
