// INI files: the loader's "orqBRAXLoader.ini", "apkConfig.ini", the
// remembered devices and the settings file. Parsing is a pure function of the
// text; reading and writing files are thin wrappers around it. Section and
// key names compare ignoring ASCII case, as the Windows profile functions do.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace dd::platform {

class IniDocument {
  public:
    // Lines are "[section]", "key=value", or comments starting with ';' or '#'.
    // Anything else (binary junk, lines without '=') is ignored; blanks around
    // names and values are trimmed; a line may end in CRLF.
    static IniDocument parse(std::string_view text);
    std::string render() const;

    std::optional<std::string> get(std::string_view section, std::string_view key) const;
    // False (and nothing changed) when the section or key cannot be written
    // safely: empty, starting with '#', or holding '=', '[', ']', ';', a line
    // break or a NUL.
    bool set(std::string_view section, std::string_view key, std::string_view value);

    static bool isSafeName(std::string_view name);

  private:
    struct Entry {
        std::string key;
        std::string value;
    };
    struct Section {
        std::string name;
        std::vector<Entry> entries;
    };
    std::vector<Section> m_sections;
};

// Like GetPrivateProfileString: the value (at most maxChars bytes), or
// fallback when the file, the section or the key is missing. A file that is
// there but cannot be read gives the fallback too, and problem (when given)
// a plain line saying so; it is cleared otherwise.
std::string readIniString(const std::string& path, std::string_view section, std::string_view key,
                          std::string_view fallback, size_t maxChars = 4096,
                          std::string* problem = nullptr);
int readIniInt(const std::string& path, std::string_view section, std::string_view key,
               int fallback, std::string* problem = nullptr);
// Of files (a user's override first, the packaged file last), the first that
// sets section/key; the last one when none does, so that reading it gives
// the fallback. Settings are overridden key by key this way.
std::string iniFileSetting(const std::vector<std::string>& files, std::string_view section,
                           std::string_view key);
// Sets one key and rewrites the file atomically. Writers in this process are
// serialised, so two threads never lose each other's key. False when the key
// is refused or the file cannot be read whole or written; problem (when
// given) then says why in a plain line (empty for a refused key).
bool writeIniString(const std::string& path, std::string_view section, std::string_view key,
                    std::string_view value, std::string* problem = nullptr);

}  // namespace dd::platform
