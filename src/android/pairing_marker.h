// The pairing marker: "android.dat" on the phone's storage holds the identity
// of the last PC that paired with the phone, UTF-16LE without byte-order mark
// or terminator. Once per connection the Android device thread reads it
// through the companion service and records the outcome in the phone's
// factoryreset value: 0 paired with this PC, 1 no marker (new or
// factory-reset phone; one is written now), 2 another PC's marker (this PC's
// is written back by rememberDevice, which sets 0 again).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

class AndroidDeviceInfo;

namespace dd {
class ExitFlag;
}

namespace dd::android {

// factoryreset values.
constexpr uint32_t kPairedWithThisPc = 0;
constexpr uint32_t kNoMarker = 1;
constexpr uint32_t kPairedWithOtherPc = 2;

// The marker file is read up to this many bytes, and at most this many
// UTF-16 units of it count as its text.
constexpr size_t kMarkerReadBytes = 2048;
constexpr size_t kMarkerTextUnits = 1023;

// The companion service's file requests that the marker needs, on one
// phone's service port. Implemented over the service's HTTP client; tests
// give an in-memory phone.
class MarkerFileRequests {
  public:
    virtual ~MarkerFileRequests() = default;
    // The listing request of remotePath: 0 when the file exists; any other
    // value (no such file, or the request failed) means no marker.
    virtual int listFile(const std::string& remotePath) = 0;
    // Sends the local file to remotePath; true when the phone took it.
    virtual bool uploadFile(const std::string& remotePath, const std::string& localPath) = 0;
    // Writes the phone's remotePath into the local file; true when it did.
    virtual bool downloadFile(const std::string& remotePath, const std::string& localPath) = 0;
};

// Makes the file requests for the service reached at 127.0.0.1:port; stop
// (may be null) cuts them short when the phone's thread must leave.
using MarkerServiceFactory =
    std::function<std::unique_ptr<MarkerFileRequests>(uint16_t port, const dd::ExitFlag* stop)>;

// --- Pure rules ---------------------------------------------------------------

// The marker's text as the comparison sees it: the first kMarkerReadBytes
// bytes laid over zero-filled UTF-16LE units (an odd last byte fills the
// low half of a unit whose high half stays 0), up to the first NUL unit and
// at most kMarkerTextUnits units. Never reads past the given bytes.
std::u16string markerTextOf(std::string_view fileBytes);
// True when the marker names this PC: exact, case-sensitive equality of the
// marker's text and the identity (UTF-8).
bool markerNamesThisPc(std::string_view fileBytes, std::string_view pcIdentity);
// The marker file's bytes for an identity: UTF-16LE, no mark, no terminator.
std::string encodeMarker(std::string_view pcIdentity);
// "/filesystem/file%s/android.dat" with the phone's confPath.
std::string markerRemotePath(std::string_view confPath);

// --- Files on this PC -----------------------------------------------------------

struct PairingContext {
    std::string pcIdentity;  // deviceHost().m_csPCIdentity (UTF-8)
    std::string dataDir;     // deviceHost().dataFolder()
};

// The local copy of one phone's marker: "android_<serial>.dat" in the data
// folder, the serial reduced to safe file-name characters, so two phones
// pairing at once never share (and never read) each other's copy.
std::string localMarkerPath(const std::string& dataDir, std::string_view serial);
// "remembereddevice.ini" in the data folder.
std::string rememberedDevicesPath(const std::string& dataDir);
// Section "imei", key serial, value "65535". False when the key cannot be
// stored (empty, or characters that would break the file) or not written.
bool rememberSerial(const std::string& dataDir, std::string_view serial);

// --- Steps --------------------------------------------------------------------------

// Re-pairing (rememberDevice): what it needs to know about the device thread
// of a serial. Filled under the monitor-list lock by the finder.
struct PairingTarget {
    std::shared_ptr<AndroidDeviceInfo> entry;  // the thread's information entry
    std::string confPath;                      // the entry's confPath
    uint16_t httpPort = 0;                     // the thread's m_nHttpLocalPort
    const dd::ExitFlag* stop = nullptr;        // the thread's m_lExit
    std::shared_ptr<const void> owner;         // keeps the thread (and stop) alive meanwhile
};
// Finds the first device thread whose m_csSerialNum equals serial (ignoring
// case); nullopt when there is none.
using PairingTargetFinder = std::function<std::optional<PairingTarget>(const std::string& serial)>;

// Writes this PC's marker to the phone of serial through its thread's service
// port, sets its entry's factoryreset to 0 and remembers the serial. 1 when a
// thread was found (whether or not the upload went through), else 0.
int rememberDeviceWith(const std::string& serial, const PairingTargetFinder& findTarget,
                       const MarkerServiceFactory& makeService, const PairingContext& context);

// The marker check of one connection (stage 13). Does nothing when the
// entry's confPath is empty. threadSerial is the thread's m_csSerialNum (for
// the log); the entry's adbSerial is the remembered key. rememberDevice is
// called with the adbSerial when another PC's marker was found.
void checkPairingMarker(MarkerFileRequests& service, AndroidDeviceInfo& entry,
                        const std::string& threadSerial, const PairingContext& context,
                        const std::function<int(const std::string&)>& rememberDevice);

}  // namespace dd::android
