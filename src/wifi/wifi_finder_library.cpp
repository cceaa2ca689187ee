#include "wifi/wifi_finder_library.h"

#include <cstring>

#include "log/log_stream.h"
#include "platform/paths.h"
#include "platform/program_files.h"

namespace {

template <typename Fn>
bool resolve(const dd::platform::SharedLibrary& library, const char* name, Fn& out) {
    out = reinterpret_cast<Fn>(library.symbol(name));
    if (out == nullptr) {
        DD_LOG(LOG_ERR) << "wifi finder lacks the entry point " << name;
        return false;
    }
    return true;
}

}  // namespace

std::shared_ptr<WifiFinderLibrary> WifiFinderLibrary::load(const std::string& folder) {
    std::shared_ptr<WifiFinderLibrary> finder(new WifiFinderLibrary());
    std::string path =
        dd::platform::joinPath(folder, dd::platform::sharedLibraryName("QXWIFIFinder"));
    std::string error;
    if (!finder->m_library.open(path, &error)) {
        DD_LOG(LOG_ERR) << "load " << path << " failed: " << error;
        return nullptr;
    }
    const dd::platform::SharedLibrary& lib = finder->m_library;
    if (!resolve(lib, "StartDetect", finder->m_startDetect) ||
        !resolve(lib, "StopDetect", finder->m_stopDetect) ||
        !resolve(lib, "SetStateNotifyCallBack", finder->m_setStateNotifyCallBack) ||
        !resolve(lib, "StartHttpServer", finder->m_startHttpServer) ||
        !resolve(lib, "StopHttpServer", finder->m_stopHttpServer) ||
        !resolve(lib, "StartClient", finder->m_startClient) ||
        !resolve(lib, "SetDevStatus", finder->m_setDevStatus) ||
        !resolve(lib, "SetSyncNotifyCallBack", finder->m_setSyncNotifyCallBack) ||
        !resolve(lib, "RemoveDev", finder->m_removeDev)) {
        return nullptr;
    }
    return finder;
}

int32_t WifiFinderLibrary::StartDetect(const std::string& pcIdentity) const {
    // The finder takes at most 511 bytes of identity and its NUL.
    std::string identity = pcIdentity.substr(0, 511);
    return m_startDetect(identity.c_str());
}

int32_t WifiFinderLibrary::StopDetect() const {
    return m_stopDetect();
}

void WifiFinderLibrary::SetStateNotifyCallBack(StateCallback callback) const {
    m_setStateNotifyCallBack(callback);
}

int32_t WifiFinderLibrary::SetSyncNotifyCallBack(SyncCallback callback) const {
    return m_setSyncNotifyCallBack(callback);
}

int32_t WifiFinderLibrary::StartClient(const WifiDevRecord& record) const {
    WifiDevRecord copy = record;
    return m_startClient(&copy);
}

int32_t WifiFinderLibrary::SetDevStatus(int32_t status, const WifiDevRecord& record) const {
    WifiDevRecord copy = record;
    return m_setDevStatus(status, &copy);
}

void WifiFinderLibrary::RemoveDev(const std::string& imei) const {
    char text[sizeof(WifiDevRecord::imei)] = {};
    std::memcpy(text, imei.data(), std::min(imei.size(), sizeof(text) - 1));
    m_removeDev(text);
}
