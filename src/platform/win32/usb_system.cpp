#include "platform/usb_system.h"

// clang-format off
#include "platform/win32/win_handle.h"
#include <cfgmgr32.h>
#include <setupapi.h>
// clang-format on

#include <memory>
#include <vector>

#include "platform/usb_device_ids.h"
#include "platform/usb_sysfs.h"

namespace dd::platform {

namespace {

// GUID_DEVINTERFACE_USB_DEVICE.
constexpr GUID kUsbDeviceInterface = {
    0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};
constexpr DWORD kMaxDetailBytes = 2048;
constexpr ULONG kClassPropertyBytes = 200;

std::string deviceId(DEVINST node) {
    WCHAR id[MAX_DEVICE_ID_LEN + 1] = {};
    if (CM_Get_Device_IDW(node, id, MAX_DEVICE_ID_LEN, 0) != CR_SUCCESS) {
        return {};
    }
    return win32::narrow(id);
}

bool equalsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] + 32) : a[i];
        char y = b[i] >= 'A' && b[i] <= 'Z' ? static_cast<char>(b[i] + 32) : b[i];
        if (x != y) {
            return false;
        }
    }
    return true;
}

// The state of a function of a USB device: one whose parent is the phone
// ("USB\VID_&PID_\SERIAL"), whose own id names the same vid and pid, and
// whose setup class is the wanted one; -1 for any other node.
int childState(DEVINST child, const std::string& fullId, const std::string& shortId,
               std::string_view classLower) {
    DEVINST parent = 0;
    std::string id = deviceId(child);
    std::string lowerShort;
    for (char c : shortId) {
        lowerShort += c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
    }
    if (CM_Get_Parent(&parent, child, 0) != CR_SUCCESS || !equalsNoCase(deviceId(parent), fullId) ||
        !classGuidMatches(id, lowerShort)) {
        return -1;
    }
    WCHAR property[kClassPropertyBytes / sizeof(WCHAR) + 1] = {};
    ULONG size = kClassPropertyBytes;
    ULONG type = 0;
    if (CM_Get_DevNode_Registry_PropertyW(child, CM_DRP_CLASSGUID, &type, property, &size, 0) !=
            CR_SUCCESS ||
        !classGuidMatches(win32::narrow(property), classLower)) {
        return -1;
    }
    ULONG status = 0;
    ULONG problem = 0;
    if (CM_Get_DevNode_Status(&status, &problem, child, 0) != CR_SUCCESS) {
        return kUsbDriverProblem;
    }
    return usbDriverStateOf(true, (status & DN_HAS_PROBLEM) != 0 ? problem : 0);
}

}  // namespace

int systemUsbDriverState(uint16_t vid, uint16_t pid, const std::string& serial,
                         std::string_view classLower) {
    std::string fullId = usbInstanceId(vid, pid, serial);
    std::string shortId = usbInstanceId(vid, pid);
    HDEVINFO list = SetupDiGetClassDevsW(&kUsbDeviceInterface, nullptr, nullptr,
                                         DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (list == INVALID_HANDLE_VALUE) {
        return kUsbDriverNotFound;
    }
    std::unique_ptr<void, decltype(&SetupDiDestroyDeviceInfoList)> owner(
        list, &SetupDiDestroyDeviceInfoList);
    int state = kUsbDriverNotFound;
    SP_DEVICE_INTERFACE_DATA iface{};
    iface.cbSize = sizeof(iface);
    for (DWORD index = 0;
         SetupDiEnumDeviceInterfaces(list, nullptr, &kUsbDeviceInterface, index, &iface); ++index) {
        DWORD needed = 0;
        SetupDiGetDeviceInterfaceDetailW(list, &iface, nullptr, 0, &needed, nullptr);
        if (needed == 0 || needed > kMaxDetailBytes) {
            break;
        }
        std::vector<BYTE> buffer(needed);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof(device);
        if (!SetupDiGetDeviceInterfaceDetailW(list, &iface, detail, needed, nullptr, &device)) {
            break;
        }
        DEVINST child = 0;
        for (CONFIGRET result = CM_Get_Child(&child, device.DevInst, 0); result == CR_SUCCESS;
             result = CM_Get_Sibling(&child, child, 0)) {
            int found = childState(child, fullId, shortId, classLower);
            if (found >= 0) {
                state = found;
            }
        }
    }
    return state;
}

}  // namespace dd::platform
