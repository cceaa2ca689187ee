// The companion service of a simulated phone: the HTTP service that the
// module reaches through an adb forward (or at a Wi-Fi phone's address).
// "/info/" answers with the phone's configuration as Base64 text of
// AES-ECB-encrypted JSON; "/filesystem/file<path>" serves an in-memory file
// store behind basic auth; "/sync/do/end" is recorded. Tests script it:
// they change the configuration, the files and the faults at any time, and
// read back every request it received.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "companion_http.h"
#include "loopback_server.h"

namespace phonesim {

struct PhoneStorage {
    std::string state = "mounted";
    std::string path;
    std::string sid;
    std::string mapLicPath;
    std::string total = "0";  // decimal text, as the real service sends it
    std::string free = "0";
};

// What "/info/" reports. Optional fields are left out of the JSON when empty.
struct PhoneConfig {
    int status = 0;
    std::string imei = "860000000000001";
    std::string model = "Orq One";
    std::string serialNumber = "SIM0001";
    std::string firmware = "orq_one-user 10 QP1A.190711.020 release-keys";
    std::string confPath = "/sdcard/.orqsync";
    std::string installNonMarketApps = "1";
    std::string pairedDev;
    int battery = 80;
    std::optional<int> versionCode = 25;
    std::optional<int> allowWifi = 1;
    int storageType = 'B';
    std::optional<PhoneStorage> sdcard =
        PhoneStorage{"mounted", "/storage/sdcard1", "SD01", "", "31914983424", "1073741824"};
    std::optional<PhoneStorage> emmc =
        PhoneStorage{"mounted", "/storage/emulated/0", "EM01", "", "119185342464", "68719476736"};
    // The cipher key of the replies; the module knows only the real one.
    std::string key = "wqbelsorn_R8%~;+";
    // When set, sealed and sent instead of the document built from the above.
    std::optional<std::string> rawJson;
};

// The JSON document of "/info/" for a configuration.
std::string infoJson(const PhoneConfig& config);

// How the service misbehaves on the requests of the raw client ("/info/"
// and "/sync/do/end"). The file-system paths always answer properly.
enum class Fault {
    None,
    Slow,         // the reply trickles out in small pieces
    Silent,       // reads the request, never answers, keeps the connection
    KeepOpen,     // answers in full but does not close the connection
    CloseEarly,   // sends the first bytes of the status line, then closes
    CloseAtOnce,  // closes without sending anything
    Chunked,      // a chunked reply ending in the "0" chunk
    NoBlankLine,  // status line, headers and body with no blank line
    Garbage,      // "/info/": a body of binary noise, NUL bytes included
    Oversized,    // "/info/": a body far beyond the client's buffer
    WrongKey,     // "/info/": encrypted under another key
    WrongTypes,   // "/info/": a document with values of the wrong JSON types
};

// Parses a fault's command-line name ("slow", "silent", "keep-open" ...).
std::optional<Fault> faultFromName(const std::string& name);

class CompanionService {
  public:
    struct StoredFile {
        std::string content;
        int64_t lastModified = 1700000000000;  // ms since the epoch, as Android reports it
        bool readOnly = false;
    };

    explicit CompanionService(PhoneConfig config = {});
    ~CompanionService();
    CompanionService(const CompanionService&) = delete;
    CompanionService& operator=(const CompanionService&) = delete;

    bool start(uint16_t port = 0);  // 0 = any free loopback port
    // On a port of another loopback address (a Wi-Fi phone's own address).
    bool start(uint16_t port, const std::string& address);
    void stop();
    uint16_t port() const { return m_server.port(); }

    void setConfig(const PhoneConfig& config);
    PhoneConfig config() const;
    void setFault(Fault fault);
    // Bytes sent verbatim as the whole reply to the next raw-client
    // requests (then the connection is closed); nullopt returns to normal.
    void setRawReply(std::optional<std::string> bytes);
    // A fixed JSON answer for a path outside the built-in ones.
    void setRoute(const std::string& path, const std::string& jsonBody);
    // Basic auth "username"/"quillmot" on the file-system paths (default on).
    void setRequireAuth(bool required);

    void putFile(const std::string& path, const std::string& content);
    std::optional<StoredFile> file(const std::string& path) const;
    std::vector<std::string> filePaths() const;

    std::vector<HttpRequest> requests() const;
    size_t requestCount() const;
    size_t syncEndCount() const;

  private:
    void serve(int fd);
    std::string answer(const HttpRequest& request, Fault fault);
    std::string infoBody(Fault fault);
    std::string fileSystemAnswer(const HttpRequest& request);
    bool authorized(const HttpRequest& request) const;
    void sendRawClientReply(int fd, const std::string& reply, Fault fault);

    LoopbackServer m_server;
    mutable std::mutex m_mutex;  // guards everything below (handlers run on their own threads)
    PhoneConfig m_config;
    Fault m_fault = Fault::None;
    std::optional<std::string> m_rawReply;
    bool m_requireAuth = true;
    std::map<std::string, StoredFile> m_files;
    std::map<std::string, std::string> m_routes;
    std::vector<HttpRequest> m_requests;
    size_t m_syncEnds = 0;
};

}  // namespace phonesim

namespace phonesim {
// The "companion" subcommand of phonesim; argv holds the words after it.
int runCompanionCommand(int argc, char** argv);
}  // namespace phonesim
