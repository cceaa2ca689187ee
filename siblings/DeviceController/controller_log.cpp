#include "controller_log.h"

#include <string>

#include "output_log.h"

namespace devctl {

void logLine(LogKind kind, std::string_view text) {
    // The sink takes UTF-16; our lines are ASCII apart from what a phone or a
    // server sent, which is widened byte by byte (never more than one line).
    std::u16string line =
        kind == LogKind::Err ? u"Err  DeviceController: " : u"Info DeviceController: ";
    for (unsigned char c : text.substr(0, 400)) {
        line += static_cast<char16_t>(c < 0x20 || c >= 0x7f ? u'?' : c);
    }
    line += u'\n';
    OutputString(u"DeviceController", kind == LogKind::Err ? 3 : 2, line.c_str());
}

}  // namespace devctl
