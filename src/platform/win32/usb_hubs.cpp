// The machine's USB hubs through SetupAPI, the configuration manager and the
// hub driver's I/O controls. Only the calls are here: what a hub answers is
// taken apart by the pure parsers of usb_device_ids, within the bytes that
// actually came back.
#include "platform/usb_system.h"

// clang-format off
#include "platform/win32/win_handle.h"
#include <cfgmgr32.h>
#include <setupapi.h>
#include <winioctl.h>
#include <usbioctl.h>
// clang-format on

#include <cstddef>
#include <cstring>
#include <memory>
#include <vector>

namespace dd::platform {

namespace {

// GUID_DEVINTERFACE_USB_HUB.
constexpr GUID kUsbHubInterface = {
    0xF18A0E88, 0xC30C, 0x11D0, {0x88, 0x15, 0x00, 0xA0, 0xC9, 0x06, 0xBE, 0xD8}};
constexpr int kMaxPort = 255;
constexpr size_t kNodeInfoBytes = 76;
constexpr size_t kPipeRoomBytes = 30 * 11;  // 30 pipe entries (endpoint descriptor + offset)
constexpr size_t kDriverKeyBytes = 520;
constexpr size_t kDescriptorRequestBytes = 12;
constexpr size_t kDescriptorDataBytes = 255;
constexpr USHORT kEnglishUs = 0x0409;
constexpr UCHAR kGetDescriptor = 6;
constexpr UCHAR kStringDescriptorType = 3;
// A hub's interface path, as UTF-16 with its detail header; anything longer
// than kMaxSystemHubPathBytes is refused after the conversion anyway.
constexpr DWORD kMaxDetailBytes = 2048;
// The interface list of one hub node: a few paths at most.
constexpr ULONG kMaxInterfaceListChars = 4096;

struct HandleCloser {
    void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using Handle = std::unique_ptr<void, HandleCloser>;

struct DeviceListCloser {
    void operator()(HDEVINFO list) const { SetupDiDestroyDeviceInfoList(list); }
};
using DeviceList = std::unique_ptr<void, DeviceListCloser>;

// The hub at a system hub path, opened as the hub driver wants it: for
// writing, sharing writes, existing only. Empty when it cannot be opened.
Handle openHub(const std::string& hubPath) {
    HANDLE handle = CreateFileW(win32::widen(hubPath).c_str(), GENERIC_WRITE, FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    return Handle(handle == INVALID_HANDLE_VALUE ? nullptr : handle);
}

// One buffered hub I/O control; the number of bytes that came back, or -1.
long hubControl(HANDLE hub, DWORD code, void* buffer, size_t size) {
    DWORD returned = 0;
    if (!DeviceIoControl(hub, code, buffer, static_cast<DWORD>(size), buffer,
                         static_cast<DWORD>(size), &returned, nullptr) ||
        returned > size) {
        return -1;
    }
    return static_cast<long>(returned);
}

bool hubPorts(HANDLE hub, int& ports) {
    unsigned char node[kNodeInfoBytes] = {};
    long returned = hubControl(hub, IOCTL_USB_GET_NODE_INFORMATION, node, sizeof(node));
    return returned >= 0 && parseUsbHubNodeInfo(node, static_cast<size_t>(returned), ports);
}

// The port's connection information, the _EX form first (what every hub
// driver since XP answers), then the plain one.
bool portInfo(HANDLE hub, int port, UsbConnectionInfo& info) {
    for (DWORD code : {IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX,
                       IOCTL_USB_GET_NODE_CONNECTION_INFORMATION}) {
        // Room for the fixed part and the pipes a configured device has
        // open: the hub driver fills in as many as fit.
        unsigned char buffer[kUsbConnectionInfoBytes + kPipeRoomBytes] = {};
        auto index = static_cast<ULONG>(port);
        memcpy(buffer, &index, sizeof(index));
        long returned = hubControl(hub, code, buffer, sizeof(buffer));
        if (returned >= 0 && parseUsbConnectionInfo(buffer, static_cast<size_t>(returned), info)) {
            return true;
        }
    }
    return false;
}

std::string driverKey(HANDLE hub, int port) {
    unsigned char buffer[kDriverKeyBytes] = {};
    auto index = static_cast<ULONG>(port);
    memcpy(buffer, &index, sizeof(index));
    long returned =
        hubControl(hub, IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, buffer, sizeof(buffer));
    std::string name;
    if (returned < 0 || !parseUsbDriverKeyName(buffer, static_cast<size_t>(returned), name)) {
        name.clear();
    }
    return name;
}

bool validPort(int port) {
    return port >= 1 && port <= kMaxPort;
}

// The device on an open hub's port; false when nothing is connected.
bool connectedDevice(HANDLE hub, const std::string& hubPath, int port, UsbPortDevice& out) {
    UsbConnectionInfo info;
    if (!portInfo(hub, port, info) || info.status != kUsbDeviceConnected) {
        return false;
    }
    UsbPortDevice device;
    device.hubPath = hubPath;
    device.port = port;
    device.vid = info.vid;
    device.pid = info.pid;
    device.isHub = info.isHub;
    device.devnum = info.address;
    device.name = driverKey(hub, port);
    out = std::move(device);
    return true;
}

// The interface path of one entry of a device-interface list, as UTF-8; empty
// when it cannot be had or is no acceptable hub path.
std::string interfacePath(HDEVINFO list, SP_DEVICE_INTERFACE_DATA& iface) {
    DWORD needed = 0;
    SetupDiGetDeviceInterfaceDetailW(list, &iface, nullptr, 0, &needed, nullptr);
    if (needed < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) || needed > kMaxDetailBytes) {
        return {};
    }
    std::vector<BYTE> buffer(needed);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (!SetupDiGetDeviceInterfaceDetailW(list, &iface, detail, needed, nullptr, nullptr)) {
        return {};
    }
    size_t chars =
        (needed - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath)) / sizeof(WCHAR);
    std::wstring_view wide(detail->DevicePath, chars);
    std::string path = win32::narrow(wide.substr(0, wide.find(L'\0')));
    return isSystemHubPath(path) ? path : std::string();
}

// The first present hub interface of a device node, or empty.
std::string hubInterfaceOf(DEVINST node) {
    WCHAR id[MAX_DEVICE_ID_LEN + 1] = {};
    if (CM_Get_Device_IDW(node, id, MAX_DEVICE_ID_LEN, 0) != CR_SUCCESS) {
        return {};
    }
    GUID hubClass = kUsbHubInterface;
    ULONG chars = 0;
    if (CM_Get_Device_Interface_List_SizeW(&chars, &hubClass, id,
                                           CM_GET_DEVICE_INTERFACE_LIST_PRESENT) != CR_SUCCESS ||
        chars < 2 || chars > kMaxInterfaceListChars) {
        return {};
    }
    std::vector<WCHAR> list(chars + 1, L'\0');
    if (CM_Get_Device_Interface_ListW(&hubClass, id, list.data(), chars,
                                      CM_GET_DEVICE_INTERFACE_LIST_PRESENT) != CR_SUCCESS) {
        return {};
    }
    std::string path = win32::narrow(std::wstring_view(list.data()));
    return isSystemHubPath(path) ? path : std::string();
}

// The port of a USB device node on its hub: its address property, else the
// port number in its location text.
int portOf(DEVINST node) {
    ULONG type = 0;
    DWORD address = 0;
    ULONG size = sizeof(address);
    if (CM_Get_DevNode_Registry_PropertyW(node, CM_DRP_ADDRESS, &type, &address, &size, 0) ==
            CR_SUCCESS &&
        type == REG_DWORD && size == sizeof(address) && validPort(static_cast<int>(address))) {
        return static_cast<int>(address);
    }
    WCHAR location[64] = {};
    size = sizeof(location) - sizeof(WCHAR);
    int port = 0;
    int hub = 0;
    if (CM_Get_DevNode_Registry_PropertyW(node, CM_DRP_LOCATION_INFORMATION, &type, location, &size,
                                          0) == CR_SUCCESS &&
        type == REG_SZ && parseUsbLocation(win32::narrow(location), port, hub) && validPort(port)) {
        return port;
    }
    return 0;
}

}  // namespace

std::vector<UsbPortDevice> systemListPortDevices() {
    std::vector<UsbPortDevice> devices;
    HDEVINFO handle = SetupDiGetClassDevsW(&kUsbHubInterface, nullptr, nullptr,
                                           DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (handle == INVALID_HANDLE_VALUE) {
        return devices;
    }
    DeviceList list(handle);
    SP_DEVICE_INTERFACE_DATA iface{};
    iface.cbSize = sizeof(iface);
    for (DWORD index = 0;
         SetupDiEnumDeviceInterfaces(handle, nullptr, &kUsbHubInterface, index, &iface); ++index) {
        std::string hubPath = interfacePath(handle, iface);
        Handle hub = hubPath.empty() ? nullptr : openHub(hubPath);
        int ports = 0;
        if (!hub || !hubPorts(hub.get(), ports)) {
            continue;  // a hub that cannot be read does not end the walk
        }
        // An int counter: a byte would never pass a 255-port hub's last port.
        for (int port = 1; port <= ports; ++port) {
            UsbPortDevice device;
            if (connectedDevice(hub.get(), hubPath, port, device)) {
                devices.push_back(std::move(device));
            }
        }
    }
    return devices;
}

int systemHubPortCount(const std::string& hubPath, int& ports) {
    if (!isSystemHubPath(hubPath)) {
        return usb_error::kInvalidParameter;
    }
    Handle hub = openHub(hubPath);
    if (!hub) {
        return usb_error::kFileNotFound;
    }
    return hubPorts(hub.get(), ports) ? usb_error::kOk : usb_error::kGenFailure;
}

int systemPortConnection(const std::string& hubPath, int port, UsbPortDevice& out) {
    if (!isSystemHubPath(hubPath) || !validPort(port)) {
        return usb_error::kInvalidParameter;
    }
    Handle hub = openHub(hubPath);
    if (!hub) {
        return usb_error::kFileNotFound;
    }
    return connectedDevice(hub.get(), hubPath, port, out) ? usb_error::kOk
                                                          : usb_error::kDeviceNotConnected;
}

int systemSerialNumber(const std::string& hubPath, int port, std::string& out) {
    if (!isSystemHubPath(hubPath) || !validPort(port)) {
        return usb_error::kInvalidParameter;
    }
    Handle hub = openHub(hubPath);
    if (!hub) {
        return usb_error::kFileNotFound;
    }
    UsbConnectionInfo info;
    if (!portInfo(hub.get(), port, info) || info.status != kUsbDeviceConnected) {
        return usb_error::kDeviceNotConnected;
    }
    if (info.serialIndex == 0) {
        return usb_error::kGenFailure;
    }
    // The request header (port, then the setup packet of GET_DESCRIPTOR),
    // followed by room for the longest descriptor there is.
    unsigned char buffer[kDescriptorRequestBytes + kDescriptorDataBytes] = {};
    USB_DESCRIPTOR_REQUEST request{};
    request.ConnectionIndex = static_cast<ULONG>(port);
    request.SetupPacket.bmRequest = 0x80;
    request.SetupPacket.bRequest = kGetDescriptor;
    request.SetupPacket.wValue =
        static_cast<USHORT>((kStringDescriptorType << 8) | info.serialIndex);
    request.SetupPacket.wIndex = kEnglishUs;
    request.SetupPacket.wLength = static_cast<USHORT>(kDescriptorDataBytes);
    static_assert(sizeof(request) == kDescriptorRequestBytes);
    memcpy(buffer, &request, sizeof(request));
    long returned = hubControl(hub.get(), IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION, buffer,
                               sizeof(buffer));
    std::string serial;
    if (returned < static_cast<long>(kDescriptorRequestBytes) ||
        !parseUsbStringDescriptor(buffer + kDescriptorRequestBytes,
                                  static_cast<size_t>(returned) - kDescriptorRequestBytes,
                                  UsbSysfs::kMaxSerialBytes, serial)) {
        return usb_error::kGenFailure;
    }
    out = std::move(serial);
    return usb_error::kOk;
}

bool systemPortDeviceNamed(const std::string& interfacePath, UsbPortDevice& out) {
    UsbInstanceId named;
    std::string instanceId = usbInstanceIdOfInterfacePath(interfacePath);
    if (instanceId.empty() || !parseUsbInterfacePath(interfacePath, named)) {
        return false;
    }
    std::wstring wideId = win32::widen(instanceId);
    DEVINST node = 0;
    DEVINST parent = 0;
    if (CM_Locate_DevNodeW(&node, wideId.data(), CM_LOCATE_DEVNODE_NORMAL) != CR_SUCCESS ||
        CM_Get_Parent(&parent, node, 0) != CR_SUCCESS) {
        return false;
    }
    std::string hubPath = hubInterfaceOf(parent);
    int port = portOf(node);
    UsbPortDevice device;
    // The port may already carry another device: then the caller looks at all.
    if (hubPath.empty() || port == 0 ||
        systemPortConnection(hubPath, port, device) != usb_error::kOk || device.vid != named.vid ||
        device.pid != named.pid) {
        return false;
    }
    out = std::move(device);
    return true;
}

}  // namespace dd::platform
