// INI text (the loader's settings, "apkConfig.ini", the remembered devices):
// any bytes parse without harm, and what a parsed document renders reads
// back to the same values.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/ini_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    dd::platform::IniDocument doc = dd::platform::IniDocument::parse(text);
    doc.get("Detect", "LogLevel");
    // A key taken from the input is written only when it is safe, and then
    // reads back unchanged after a render and a parse.
    size_t cut = text.find('\n');
    std::string_view key = text.substr(0, cut == std::string_view::npos ? 16 : cut);
    if (doc.set("imei", key, "65535")) {
        dd::platform::IniDocument again = dd::platform::IniDocument::parse(doc.render());
        if (again.get("imei", key).value_or("") != "65535") {
            std::abort();
        }
    }
    return 0;
}
