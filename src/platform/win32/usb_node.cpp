#include "platform/usb_node.h"

#include "platform/win32/win_handle.h"

namespace dd::platform {

// Windows has no device nodes of its own; this serves the fake trees, whose
// nodes are plain files. A node counts as usable when it is there and not
// read-only (a node without write permission shows as read-only under Wine).
// There is no device manager to wait for: realSysfs never holds here.
bool usbNodeUsable(const std::string& nodePath, const std::string& /*sysPath*/,
                   bool /*realSysfs*/) {
    DWORD attributes = GetFileAttributesW(win32::widen(nodePath).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) == 0;
}

}  // namespace dd::platform
