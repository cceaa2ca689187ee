// The module's C interface. Every export is a thin shell: it logs, checks its
// arguments and forwards to theApp.
#include <cstdio>
#include <string>

#include "base/text_codec.h"
#include "core/device_detect_app.h"
#include "devicedetect/DeviceDetect.h"
#include "deviceinfo/raw_http_client.h"
#include "deviceinfo/record_dump.h"
#include "log/log_stream.h"
#include "platform/tcp_socket.h"

#define QX_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

// The serial of a host-supplied record, or empty when the record is unusable.
std::string recordSerial(const DeviceRecord* record) {
    return record == nullptr ? std::string() : dd::fieldToUtf8(record->serialno);
}

// The shape shared by the per-device exports: "++name", the dump of a usable
// record, the work, "--name ret N".
template <typename Work>
int32_t perDeviceCall(const char* name, DeviceRecord* record, Work work) {
    DD_LOG(LOG_DEBUG) << "++" << name;
    std::string serial = recordSerial(record);
    int32_t ret = 1;
    if (!serial.empty()) {
        dumpDeviceRecord(record);
        ret = work(serial);
    }
    DD_LOG(LOG_DEBUG) << "--" << name << " ret " << ret;
    return ret;
}

}  // namespace

QX_EXPORT int32_t QX_InitDetect(void) {
    int32_t expected = 0;
    if (!theApp.m_bInitialised.compare_exchange_strong(expected, 1)) {
        return 1;
    }
    theApp.readLoaderConfig();
    DD_LOG(LOG_DEBUG) << "++QX_InitDetect";
    int32_t ret = theApp.prepareDetect();
    DD_LOG(LOG_DEBUG) << "--QX_InitDetect ret " << ret;
    return ret;
}

QX_EXPORT int32_t QX_SetDeviceChangeCallBack(DeviceChangeCallBack callback) {
    DD_LOG(LOG_DEBUG) << "++QX_SetDeviceChangeCallBack";
    theApp.deviceCB.store(callback);
    DD_LOG(LOG_DEBUG) << "--QX_SetDeviceChangeCallBack";
    return 0;
}

QX_EXPORT int32_t QX_SetSyncByDevCallBack(SyncByDevCallBack callback) {
    DD_LOG(LOG_DEBUG) << "++QX_SetSyncByDevCallBack";
    theApp.syncCB.store(callback);
    DD_LOG(LOG_DEBUG) << "--QX_SetSyncByDevCallBack";
    return 0;
}

QX_EXPORT int32_t QX_startDetect(void) {
    DD_LOG(LOG_DEBUG) << "++QX_startDetect";
    if (theApp.m_bInitialised.load() == 0 || theApp.m_bFoldersRefused.load() != 0) {
        DD_LOG(LOG_DEBUG) << "--QX_startDetect ret 1";
        return 1;
    }
    theApp.startDetect();  // clears the stopped flag
    DD_LOG(LOG_DEBUG) << "--QX_startDetect ret 0";
    return 0;
}

QX_EXPORT int32_t QX_stopDetect(void) {
    DD_LOG(LOG_DEBUG) << "++QX_stopDetect";
    theApp.m_bStopped.store(1);
    theApp.stopDetect();
    DD_LOG(LOG_DEBUG) << "--QX_stopDetect";
    return 0;
}

QX_EXPORT int32_t QX_DisconnectDevice(DeviceRecord* record) {
    return perDeviceCall("QX_DisconnectDevice", record, [](const std::string& serial) {
        theApp.disconnect(serial);
        return 0;
    });
}

QX_EXPORT int32_t QX_DeviceReadyToSync(DeviceRecord* record) {
    return perDeviceCall("QX_DeviceReadyToSync", record, [](const std::string& serial) {
        return theApp.setSyncStatus(serial, READY_SYNC) == 1 ? 0 : 1;
    });
}

QX_EXPORT int32_t QX_DeviceSyncBegin(DeviceRecord* record) {
    return perDeviceCall("QX_DeviceSyncBegin", record, [](const std::string& serial) {
        return theApp.setSyncStatus(serial, START_SYNC) == 1 ? 0 : 1;
    });
}

QX_EXPORT int32_t QX_DeviceSyncEnd(DeviceRecord* record) {
    return perDeviceCall("QX_DeviceSyncEnd", record, [record](const std::string&) {
        // The record comes back from the host, but its address text came from
        // the phone's side: only a plain dotted address goes into the URL.
        std::string server = dd::fieldToUtf8(record->serverip);
        if (!dd::platform::isDottedIpv4(server)) {
            DD_LOG(LOG_ERR) << "QX_DeviceSyncEnd: no usable server address";
            return 1;
        }
        char url[512];
        std::snprintf(url, sizeof(url), "http://%s:%d/sync/do/end", server.c_str(),
                      static_cast<int>(record->adbdeviceport));
        char reply[1024];
        qxurllib2 client;
        return client.dohttpRequest("GET", url, nullptr, 0, reply, sizeof(reply)) == 1 ? 0 : 1;
    });
}

QX_EXPORT char* itoa(int32_t value, char* buffer, int32_t radix) {
    if (buffer == nullptr) {
        return buffer;
    }
    if (radix < 2 || radix > 16) {
        buffer[0] = '\0';
        return buffer;
    }
    static constexpr char kDigits[] = "0123456789abcdef";
    // The magnitude as unsigned, so INT32_MIN has one too.
    uint32_t magnitude =
        value < 0 ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value);
    char reversed[40];
    int length = 0;
    do {
        reversed[length++] = kDigits[magnitude % static_cast<uint32_t>(radix)];
        magnitude /= static_cast<uint32_t>(radix);
    } while (magnitude != 0);
    int out = 0;
    if (value < 0 && radix == 10) {
        buffer[out++] = '-';
    }
    while (length > 0) {
        buffer[out++] = reversed[--length];
    }
    buffer[out] = '\0';
    return buffer;
}
