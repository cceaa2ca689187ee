// The nine C entry points of libQXWIFIFinder.so, on one finder object.
#include "finder.h"

#define QXWIFI_EXPORT extern "C" __attribute__((visibility("default")))

namespace {
qxwifi::Finder g_finder;
}  // namespace

QXWIFI_EXPORT int32_t StartDetect(const char* pcIdentity) {
    return g_finder.start(pcIdentity);
}

QXWIFI_EXPORT int32_t StopDetect(void) {
    return g_finder.stop();
}

QXWIFI_EXPORT void SetStateNotifyCallBack(int32_t (*onState)(WifiDevRecord*, int32_t)) {
    g_finder.setStateCallback(onState);
}

QXWIFI_EXPORT int32_t SetSyncNotifyCallBack(void (*onSync)(WifiDevRecord*, int32_t)) {
    g_finder.setSyncCallback(onSync);
    return 1;
}

// The phones reach the finder by datagram; there is no HTTP side to serve.
QXWIFI_EXPORT int32_t StartHttpServer(void) {
    return 1;
}

QXWIFI_EXPORT int32_t StopHttpServer(void) {
    return 1;
}

QXWIFI_EXPORT int32_t StartClient(WifiDevRecord* record) {
    return g_finder.startClient(record);
}

QXWIFI_EXPORT int32_t SetDevStatus(int32_t status, WifiDevRecord* record) {
    return g_finder.setDevStatus(status, record);
}

QXWIFI_EXPORT void RemoveDev(const char* imei) {
    g_finder.removeDev(imei);
}
