// A Wi-Fi finder that is not ours: the nine entry points of the finder
// interface and nothing of our finder's behaviour, plus controls for the
// tests (FinderDouble_*). A test reaches the controls by loading the same
// file the module loaded. Every record it hands to a callback is a heap
// copy that it scribbles over and frees the moment the callback returns, as
// a finder may.
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "devicedetect/QXWIFIFinder.h"

#define DOUBLE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

std::mutex g_mutex;
int32_t (*g_onState)(WifiDevRecord*, int32_t) = nullptr;
void (*g_onSync)(WifiDevRecord*, int32_t) = nullptr;
bool g_running = false;
int32_t g_startClientResult = 1;
std::map<std::string, int> g_calls;
WifiDevRecord g_lastClient{};
int32_t g_lastStatus = -1;
std::string g_lastRemoved;

void count(const char* name) {
    std::lock_guard<std::mutex> lock(g_mutex);
    ++g_calls[name];
}

WifiDevRecord* heapCopy(const WifiDevRecord* record) {
    if (record == nullptr) {
        return nullptr;  // passed on as it is: a finder may report nothing
    }
    auto* copy = new WifiDevRecord;
    std::memcpy(copy, record, sizeof(WifiDevRecord));
    return copy;
}

void scribbleAndFree(WifiDevRecord* record) {
    if (record == nullptr) {
        return;
    }
    std::memset(record, 0x5A, sizeof(WifiDevRecord));
    delete record;
}

}  // namespace

DOUBLE_EXPORT int32_t StartDetect(const char* pcIdentity) {
    count("StartDetect");
    (void)pcIdentity;
    std::lock_guard<std::mutex> lock(g_mutex);
    g_running = true;
    return 1;
}

DOUBLE_EXPORT int32_t StopDetect(void) {
    count("StopDetect");
    std::lock_guard<std::mutex> lock(g_mutex);
    g_running = false;
    return 1;
}

DOUBLE_EXPORT void SetStateNotifyCallBack(int32_t (*onState)(WifiDevRecord*, int32_t)) {
    count("SetStateNotifyCallBack");
    std::lock_guard<std::mutex> lock(g_mutex);
    g_onState = onState;
}

DOUBLE_EXPORT int32_t SetSyncNotifyCallBack(void (*onSync)(WifiDevRecord*, int32_t)) {
    count("SetSyncNotifyCallBack");
    std::lock_guard<std::mutex> lock(g_mutex);
    g_onSync = onSync;
    return 0;
}

#ifndef FINDER_DOUBLE_WITHOUT_HTTP_SERVER
DOUBLE_EXPORT int32_t StartHttpServer(void) {
    count("StartHttpServer");
    return 0;
}
#endif

DOUBLE_EXPORT int32_t StopHttpServer(void) {
    count("StopHttpServer");
    return 0;
}

DOUBLE_EXPORT int32_t StartClient(WifiDevRecord* record) {
    count("StartClient");
    std::lock_guard<std::mutex> lock(g_mutex);
    g_lastClient = *record;
    // A finder may write into the record it is given.
    std::memset(record->ip, 'X', sizeof(record->ip));
    return g_startClientResult;
}

DOUBLE_EXPORT int32_t SetDevStatus(int32_t status, WifiDevRecord* record) {
    count("SetDevStatus");
    (void)record;
    std::lock_guard<std::mutex> lock(g_mutex);
    g_lastStatus = status;
    return 0;
}

DOUBLE_EXPORT void RemoveDev(const char* imei) {
    count("RemoveDev");
    std::lock_guard<std::mutex> lock(g_mutex);
    g_lastRemoved.assign(imei, strnlen(imei, sizeof(WifiDevRecord::imei)));
}

// --- Controls -------------------------------------------------------------------

// Calls the state callback now, on the caller's thread, whether or not the
// finder runs (a late report). -1 when no callback is registered.
DOUBLE_EXPORT int32_t FinderDouble_Emit(const WifiDevRecord* record, int32_t code) {
    int32_t (*onState)(WifiDevRecord*, int32_t);
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        onState = g_onState;
    }
    if (onState == nullptr) {
        return -1;
    }
    WifiDevRecord* copy = heapCopy(record);
    int32_t result = onState(copy, code);
    scribbleAndFree(copy);
    return result;
}

DOUBLE_EXPORT int32_t FinderDouble_EmitSync(const WifiDevRecord* record, int32_t action) {
    void (*onSync)(WifiDevRecord*, int32_t);
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        onSync = g_onSync;
    }
    if (onSync == nullptr) {
        return -1;
    }
    WifiDevRecord* copy = heapCopy(record);
    onSync(copy, action);
    scribbleAndFree(copy);
    return 0;
}

DOUBLE_EXPORT void FinderDouble_SetStartClientResult(int32_t result) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_startClientResult = result;
}

DOUBLE_EXPORT int32_t FinderDouble_Calls(const char* name) {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_calls[name];
}

DOUBLE_EXPORT void FinderDouble_LastClient(WifiDevRecord* out) {
    std::lock_guard<std::mutex> lock(g_mutex);
    *out = g_lastClient;
}

DOUBLE_EXPORT int32_t FinderDouble_LastStatus(void) {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_lastStatus;
}

DOUBLE_EXPORT int32_t FinderDouble_Running(void) {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_running ? 1 : 0;
}
