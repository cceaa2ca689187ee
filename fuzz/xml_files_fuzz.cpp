// The XML files the module reads: the supported-device catalogue and the
// detected-device store. The input is written to a scratch file (they are
// read from files) and read the way the module reads each; the first byte
// also picks an id to look up and the rest is used as a key quoted into an
// XPath literal, which must never break the expression.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "deviceinfo/supported_devices.h"
#include "deviceinfo/xml_helper.h"

namespace {

const std::string& scratchFile() {
    static const std::string path = [] {
        const char* tmp = std::getenv("TMPDIR");
        std::string name =
            std::string(tmp != nullptr && *tmp == '/' ? tmp : "/tmp") + "/xml_files_fuzz.XXXXXX";
        int fd = mkstemp(name.data());
        if (fd >= 0) {
            close(fd);
        }
        return name;
    }();
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& path = scratchFile();
    int fd = open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0) {
        return 0;
    }
    if (write(fd, data, size) != static_cast<ssize_t>(size)) {
        close(fd);
        return 0;
    }
    close(fd);

    CSupportedDevices catalogue;
    catalogue.loadSupportedIds(path);
    uint32_t vid = size > 1 ? data[0] * 0x101u : 0x18d1;
    uint32_t pid = size > 2 ? data[1] * 0x101u : 0x4ee7;
    catalogue.doesDeviceSupport(vid, pid);
    CXmlHelper doc;
    CXmlNode node;
    CSupportedDevices::findDeviceNode(path, vid, pid, doc, node);

    CXmlHelper store;
    if (store.LoadFromFile(path) == CXmlHelper::kOk) {
        std::string_view key(reinterpret_cast<const char*>(data), size < 64 ? size : 64);
        std::string xpath = "/detecteddevice/device[@imei=" + CXmlHelper::xpathLiteral(key) + "]";
        CXmlNode found;
        // A quoted key makes a valid expression; only a NUL (which no XML
        // attribute can hold) ends it early, and then nothing is selected.
        int result = store.GetNode(xpath, found);
        if (result == CXmlHelper::kParserError && key.find('\0') == std::string_view::npos) {
            std::abort();
        }
        if (key.find('\0') != std::string_view::npos && result == CXmlHelper::kOk) {
            std::abort();
        }
        std::string model;
        store.GetNodeAttribeValue("/detecteddevice/device", "model", model);
    }
    return 0;
}
