#include "android/pairing_marker.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <set>

#include "base/text_codec.h"
#include "deviceinfo/android_device_info.h"
#include "log/log_stream.h"
#include "log/logged_ini.h"
#include "platform/paths.h"
#include "platform/regular_file.h"
#include "platform/unique_fd.h"

namespace dd::android {
namespace {

constexpr const char* kRememberedSection = "imei";
constexpr const char* kRememberedValue = "65535";

// Holds one local copy's path for the duration of a write-upload-delete or
// download-read-delete round, so the same phone's old and new threads (or a
// re-pairing on behalf of one of them) never interleave on the same file.
class LocalCopyLock {
  public:
    explicit LocalCopyLock(std::string path) : m_path(std::move(path)) {
        std::unique_lock<std::mutex> lock(state().mutex);
        state().released.wait(lock, [&] { return state().busy.count(m_path) == 0; });
        state().busy.insert(m_path);
    }
    ~LocalCopyLock() {
        {
            std::lock_guard<std::mutex> lock(state().mutex);
            state().busy.erase(m_path);
        }
        state().released.notify_all();
    }
    LocalCopyLock(const LocalCopyLock&) = delete;
    LocalCopyLock& operator=(const LocalCopyLock&) = delete;

    struct State {
        std::mutex mutex;
        std::condition_variable released;
        std::set<std::string> busy;
    };

  private:
    static State& state();
    std::string m_path;
};

// Built before and destroyed after theApp (init_priority), so phone threads
// that theApp stops while it is destroyed can still use it; freed at unload.
LocalCopyLock::State g_localCopies __attribute__((init_priority(102)));

LocalCopyLock::State& LocalCopyLock::state() {
    return g_localCopies;
}

// The local copy is temporary in every branch: removed when the round ends.
class RemoveWhenDone {
  public:
    explicit RemoveWhenDone(const std::string& path) : m_path(path) {}
    ~RemoveWhenDone() { platform::removeFile(m_path); }
    RemoveWhenDone(const RemoveWhenDone&) = delete;
    RemoveWhenDone& operator=(const RemoveWhenDone&) = delete;

  private:
    const std::string& m_path;
};

// The first kMarkerReadBytes bytes of a file; empty when it cannot be opened
// (or is not a regular file).
std::string readMarkerFile(const std::string& path) {
    platform::FileProblem problem;
    std::string bytes;
    if (!platform::readFilePrefix(path, kMarkerReadBytes, bytes, &problem)) {
        if (problem.kind != platform::FileRefusal::Missing) {
            DD_LOG(LOG_ERR) << "pairing marker copy: " << problem.text;
        }
        return {};
    }
    return bytes;
}

// Writes this PC's marker to the phone: local copy, upload, delete.
void uploadMarker(MarkerFileRequests& service, const std::string& localPath,
                  const std::string& remotePath, const std::string& pcIdentity, bool logPut) {
    LocalCopyLock copyLock(localPath);
    RemoveWhenDone removeCopy(localPath);
    if (!platform::writeFileAtomically(localPath, encodeMarker(pcIdentity))) {
        DD_LOG(LOG_ERR) << "cannot write " << localPath;
        return;
    }
    if (logPut) {
        DD_LOG(LOG_INFO) << "put" << localPath << " to " << remotePath;
    }
    if (!service.uploadFile(remotePath, localPath)) {
        // Not fatal: the next connection finds no marker (or another PC's)
        // and writes it again.
        DD_LOG(LOG_WAR) << "upload of the pairing marker to " << remotePath << " failed";
    }
}

// Downloads the phone's marker into the local copy and reads it back. A
// failed download is an empty text, which no identity equals.
std::string downloadMarker(MarkerFileRequests& service, const std::string& localPath,
                           const std::string& remotePath) {
    LocalCopyLock copyLock(localPath);
    RemoveWhenDone removeCopy(localPath);
    platform::removeFile(localPath);  // never read a stale copy
    if (!service.downloadFile(remotePath, localPath)) {
        return {};
    }
    return readMarkerFile(localPath);
}

}  // namespace

std::u16string markerTextOf(std::string_view fileBytes) {
    const size_t size = std::min(fileBytes.size(), kMarkerReadBytes);
    std::u16string text;
    for (size_t i = 0; i < size && text.size() < kMarkerTextUnits; i += 2) {
        auto low = static_cast<unsigned char>(fileBytes[i]);
        auto high = i + 1 < size ? static_cast<unsigned char>(fileBytes[i + 1]) : 0u;
        auto unit = static_cast<char16_t>(low | (high << 8));
        if (unit == 0) {
            break;
        }
        text += unit;
    }
    return text;
}

bool markerNamesThisPc(std::string_view fileBytes, std::string_view pcIdentity) {
    return markerTextOf(fileBytes) == utf8ToUtf16(pcIdentity);
}

std::string encodeMarker(std::string_view pcIdentity) {
    std::u16string units = utf8ToUtf16(pcIdentity);
    std::string bytes;
    bytes.reserve(units.size() * 2);
    for (char16_t unit : units) {
        bytes += static_cast<char>(unit & 0xff);
        bytes += static_cast<char>(unit >> 8);
    }
    return bytes;
}

std::string markerRemotePath(std::string_view confPath) {
    return "/filesystem/file" + std::string(confPath) + "/android.dat";
}

std::string localMarkerPath(const std::string& dataDir, std::string_view serial) {
    return platform::joinPath(dataDir, "android_" + safeFileComponent(serial) + ".dat");
}

std::string rememberedDevicesPath(const std::string& dataDir) {
    return platform::joinPath(dataDir, "remembereddevice.ini");
}

bool rememberSerial(const std::string& dataDir, std::string_view serial) {
    if (!logged::writeIniString(rememberedDevicesPath(dataDir), kRememberedSection, serial,
                                kRememberedValue)) {
        DD_LOG(LOG_ERR) << "cannot remember device " << serial;
        return false;
    }
    return true;
}

int rememberDeviceWith(const std::string& serial, const PairingTargetFinder& findTarget,
                       const MarkerServiceFactory& makeService, const PairingContext& context) {
    std::optional<PairingTarget> target = findTarget ? findTarget(serial) : std::nullopt;
    if (!target) {
        return 0;
    }
    std::unique_ptr<MarkerFileRequests> service =
        makeService ? makeService(target->httpPort, target->stop) : nullptr;
    if (service) {
        uploadMarker(*service, localMarkerPath(context.dataDir, serial),
                     markerRemotePath(target->confPath), context.pcIdentity, false);
    }
    if (target->entry) {
        target->entry->factoryReset = kPairedWithThisPc;
    }
    rememberSerial(context.dataDir, serial);
    return 1;
}

void checkPairingMarker(MarkerFileRequests& service, AndroidDeviceInfo& entry,
                        const std::string& threadSerial, const PairingContext& context,
                        const std::function<int(const std::string&)>& rememberDevice) {
    if (entry.confPath.empty()) {
        return;
    }
    const std::string remotePath = markerRemotePath(entry.confPath);
    const std::string localPath = localMarkerPath(context.dataDir, entry.adbSerial);

    if (service.listFile(remotePath) != 0) {
        DD_LOG(LOG_INFO) << "IMEI:" << threadSerial << " already factory reset.";
        uploadMarker(service, localPath, remotePath, context.pcIdentity, true);
        entry.factoryReset = kNoMarker;
        rememberSerial(context.dataDir, entry.adbSerial);
        return;
    }

    DD_LOG(LOG_INFO) << "IMEI:" << threadSerial << " not factory reset.";
    std::string marker = downloadMarker(service, localPath, remotePath);
    if (markerNamesThisPc(marker, context.pcIdentity)) {
        DD_LOG(LOG_INFO) << "IMEI:" << threadSerial << " not factory reset match pc";
        entry.factoryReset = kPairedWithThisPc;
        return;
    }
    DD_LOG(LOG_INFO) << "IMEI:" << threadSerial << " not factory reset other pc";
    entry.factoryReset = kPairedWithOtherPc;
    if (rememberDevice) {
        rememberDevice(entry.adbSerial);
    }
}

}  // namespace dd::android
