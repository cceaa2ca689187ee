// The Wi-Fi finder library as the module uses it: "libQXWIFIFinder.so" (on
// Windows "QXWIFIFinder.dll") from the module folder, with its nine entry points resolved. Shared by the
// bridge and every Wi-Fi phone thread, so the library stays loaded while any
// of them may still call it. Every call passes a copy of the caller's record:
// a finder may write into what it is given, and the module's own copy must
// not change under the threads that read it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "devicedetect/QXWIFIFinder.h"
#include "platform/shared_library.h"

class WifiFinderLibrary {
  public:
    using StateCallback = int32_t (*)(WifiDevRecord*, int32_t);
    using SyncCallback = void (*)(WifiDevRecord*, int32_t);

    // Loads the library from folder and resolves the nine entry points in
    // the order of the interface. Null (with one log line naming what is
    // missing) when the library or an entry point cannot be found.
    static std::shared_ptr<WifiFinderLibrary> load(const std::string& folder);

    WifiFinderLibrary(const WifiFinderLibrary&) = delete;
    WifiFinderLibrary& operator=(const WifiFinderLibrary&) = delete;

    int32_t StartDetect(const std::string& pcIdentity) const;
    int32_t StopDetect() const;
    void SetStateNotifyCallBack(StateCallback callback) const;
    int32_t SetSyncNotifyCallBack(SyncCallback callback) const;
    int32_t StartClient(const WifiDevRecord& record) const;
    int32_t SetDevStatus(int32_t status, const WifiDevRecord& record) const;
    void RemoveDev(const std::string& imei) const;

  private:
    WifiFinderLibrary() = default;

    dd::platform::SharedLibrary m_library;
    int32_t(QX_CALL* m_startDetect)(const char*) = nullptr;
    int32_t(QX_CALL* m_stopDetect)() = nullptr;
    void(QX_CALL* m_setStateNotifyCallBack)(StateCallback) = nullptr;
    int32_t(QX_CALL* m_startHttpServer)() = nullptr;
    int32_t(QX_CALL* m_stopHttpServer)() = nullptr;
    int32_t(QX_CALL* m_startClient)(WifiDevRecord*) = nullptr;
    int32_t(QX_CALL* m_setDevStatus)(int32_t, WifiDevRecord*) = nullptr;
    int32_t(QX_CALL* m_setSyncNotifyCallBack)(SyncCallback) = nullptr;
    void(QX_CALL* m_removeDev)(const char*) = nullptr;
};
