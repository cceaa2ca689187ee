#include "platform/machine_identity.h"

#include <algorithm>
#include <vector>

#include "base/text_codec.h"
#include "platform/paths.h"
#include "platform/regular_file.h"
#include "platform/win32/private_security.h"
#include "platform/win32/win_handle.h"

#include <lm.h>
#include <winioctl.h>

namespace dd::platform {
namespace {

using win32::narrow;
using win32::widen;

constexpr size_t kMaxNameChars = 1024;
constexpr size_t kDiskSerialChars = 8;
constexpr size_t kMaxSerialFileBytes = 256;
constexpr size_t kIdentifyBytes = 512;
constexpr size_t kSerialOffset = 20;  // in the ATA IDENTIFY DEVICE data
constexpr size_t kSerialBytes = 20;

// At most limit UTF-16 units (the pieces are counted in characters), as
// UTF-8.
std::string boundedText(const wchar_t* text, size_t limit) {
    if (text == nullptr) {
        return {};
    }
    std::wstring_view view(text);
    return narrow(view.substr(0, std::min(view.size(), limit)));
}

// Blanks trimmed, cut at the first byte that is not printable ASCII (what
// a disk reports is not trusted to be text), then to 8 characters.
std::string serialPiece(std::string_view raw) {
    std::string serial(trim(raw));
    size_t end = 0;
    while (end < serial.size() && serial[end] >= 0x20 && serial[end] < 0x7f) {
        ++end;
    }
    serial.resize(std::min(end, kDiskSerialChars));
    return serial;
}

std::vector<std::string> folderNames(const std::string& folder) {
    std::vector<std::string> names;
    WIN32_FIND_DATAW entry{};
    HANDLE search = FindFirstFileW(widen(joinPath(folder, "*")).c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) {
        return names;
    }
    do {
        if (entry.cFileName[0] != L'.') {
            names.push_back(narrow(entry.cFileName));
        }
    } while (FindNextFileW(search, &entry));
    FindClose(search);
    std::sort(names.begin(), names.end());
    return names;
}

// The same tree the Linux build reads, when the environment names one.
std::string serialFromTree(const std::string& sysfsRoot) {
    std::string blockDir = joinPath(sysfsRoot, "block");
    for (const std::string& name : folderNames(blockDir)) {
        std::string raw;
        if (!readFilePrefix(blockDir + "/" + name + "/device/serial", kMaxSerialFileBytes, raw)) {
            continue;
        }
        if (std::string serial = serialPiece(raw); !serial.empty()) {
            return serial;
        }
    }
    return {};
}

// Physical disk 0 asked for its ATA IDENTIFY DEVICE data. Opening the disk
// for reading and writing needs an administrator; without one there is no
// disk piece, which the identity allows for.
std::string serialFromFirstDisk() {
    HANDLE disk =
        CreateFileW(L"\\\\.\\PhysicalDrive0", GENERIC_READ | GENERIC_WRITE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (disk == INVALID_HANDLE_VALUE) {
        return {};
    }
    SENDCMDINPARAMS in{};
    in.cBufferSize = kIdentifyBytes;
    in.irDriveRegs.bSectorCountReg = 1;
    in.irDriveRegs.bSectorNumberReg = 1;
    in.irDriveRegs.bDriveHeadReg = 0xA0;  // drive 0
    in.irDriveRegs.bCommandReg = ID_CMD;
    in.bDriveNumber = 0;
    constexpr size_t kHeader = sizeof(SENDCMDOUTPARAMS) - 1;
    std::vector<unsigned char> out(kHeader + kIdentifyBytes, 0);
    DWORD returned = 0;
    BOOL ok = DeviceIoControl(disk, SMART_RCV_DRIVE_DATA, &in, sizeof(in) - 1, out.data(),
                              static_cast<DWORD>(out.size()), &returned, nullptr);
    CloseHandle(disk);
    if (!ok || returned < kHeader + kSerialOffset + kSerialBytes) {
        return {};
    }
    // An ATA string: the two bytes of every 16-bit word swapped.
    const unsigned char* field = out.data() + kHeader + kSerialOffset;
    std::string raw(kSerialBytes, '\0');
    for (size_t i = 0; i + 1 < kSerialBytes; i += 2) {
        raw[i] = static_cast<char>(field[i + 1]);
        raw[i + 1] = static_cast<char>(field[i]);
    }
    return serialPiece(raw);
}

}  // namespace

std::string currentUserName() {
    wchar_t name[kMaxNameChars + 1] = {};
    DWORD size = kMaxNameChars + 1;
    if (GetUserNameW(name, &size) && name[0] != 0) {
        name[kMaxNameChars] = 0;
        return boundedText(name, kMaxNameChars);
    }
    // No name for the account: its SID still tells this user apart.
    return win32::currentUserSidText();
}

std::string computerName() {
    // The workstation information gives the LAN group (workgroup or domain)
    // along with the name.
    LPBYTE buffer = nullptr;
    if (NetWkstaGetInfo(nullptr, 100, &buffer) == NERR_Success && buffer != nullptr) {
        const auto* info = reinterpret_cast<const WKSTA_INFO_100*>(buffer);
        std::wstring name =
            std::wstring(info->wki100_computername ? info->wki100_computername : L"") + L"." +
            (info->wki100_langroup ? info->wki100_langroup : L"");
        NetApiBufferFree(buffer);
        return boundedText(name.c_str(), kMaxNameChars);
    }
    if (buffer != nullptr) {
        NetApiBufferFree(buffer);
    }
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 2] = {};
    DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
    if (!GetComputerNameW(name, &size)) {
        return {};
    }
    return boundedText(name, kMaxNameChars);
}

uint32_t systemVolumeSerial() {
    wchar_t system[MAX_PATH + 1] = {};
    UINT length = GetSystemDirectoryW(system, MAX_PATH);
    if (length == 0 || length > MAX_PATH) {
        return 0;
    }
    // The volume's root, which a mounted folder would not be at "C:\".
    wchar_t root[MAX_PATH + 1] = {};
    if (!GetVolumePathNameW(system, root, MAX_PATH)) {
        return 0;
    }
    DWORD serial = 0;
    if (!GetVolumeInformationW(root, nullptr, 0, &serial, nullptr, nullptr, nullptr, 0)) {
        return 0;
    }
    return serial;
}

std::string firstDiskSerial(const std::string& sysfsRoot) {
    return sysfsRoot.empty() ? serialFromFirstDisk() : serialFromTree(sysfsRoot);
}

}  // namespace dd::platform
