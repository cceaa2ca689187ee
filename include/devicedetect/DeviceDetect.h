/*
 * DeviceDetect: phone detection module of the Orq Sync desktop suite.
 *
 * A host loads libDeviceDetect.so, calls QX_InitDetect, registers its two
 * callbacks and calls QX_startDetect. From then on the module reports phones
 * through the device-change callback and forwards the phones' sync requests
 * through the sync callback. Usable from C and C++.
 *
 * Text in the records is UTF-16 (char16_t), NUL-terminated within each
 * fixed-size field. Exports return 0 for success and 1 for failure unless a
 * function says otherwise.
 */
#ifndef DEVICEDETECT_DEVICEDETECT_H
#define DEVICEDETECT_DEVICEDETECT_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#include <uchar.h>
extern "C" {
#else
#include <uchar.h>
#endif

/* The suite's 32-bit Windows ABI: every export that takes arguments, and both
 * callbacks, clean their own arguments off the stack. Elsewhere there is one
 * calling convention and QX_CALL only marks the ABI. */
#ifndef QX_CALL
#if defined(_WIN32) && defined(__i386__)
#define QX_CALL __stdcall
#else
#define QX_CALL
#endif
#endif

/* Device-change codes: first argument of DeviceChangeCallBack. */
enum {
    NEW_DEVICE = 0,        /* record complete; valid until its REMOVE_DEVICE returns */
    REMOVE_DEVICE = 1,     /* same pointer as NEW_DEVICE, or a temporary record */
    DRIVER_INSTALLING = 2, /* temporary record: serialno, pid, vid */
    DEVICE_DISCOVERED = 3  /* temporary record: serialno, model, pid, vid */
};

/* Sync states given to the phone, and actions of SyncByDevCallBack. */
enum { START_SYNC = 0, STOP_SYNC = 1, READY_SYNC = 2 };

/* One storage area of a phone (1080 bytes). */
typedef struct CardRecord {
    uint32_t kind;         /* 0 removable card, 1 internal storage */
    char16_t state[18];    /* "none" when not reported */
    uint64_t storageTotal; /* bytes, 0 when not reported */
    uint64_t storageFree;  /* bytes, 0 when not reported */
    char16_t path[256];    /* "null" when not reported */
    char16_t sid[256];     /* "null" when not reported */
} CardRecord;

/*
 * The per-phone record handed to the host. Every field sits at the offset the
 * Windows module used. The only difference is the `cards` slot: it holds a
 * pointer, so on 64-bit Linux it takes 8 bytes, `cardcount` sits at 3136 and
 * the record is 3144 bytes long (3136 with 32-bit pointers).
 */
typedef struct DeviceRecord {
    char16_t imei[64];
    char16_t model[64];
    char16_t serverip[32];   /* where the companion service answers */
    uint32_t adbdeviceport;  /* its TCP port at serverip */
    char16_t serialno[64];   /* the key the host's calls are matched by */
    char16_t autolaunch[32]; /* "auto" or "manual" */
    char16_t allowwifi[12];  /* "yes" or "no" */
    char16_t storagetype;    /* 'A'..'D', anything else means none */
    char16_t pad_;           /* keeps `kernel` at offset 544 */
    double kernel;
    uint32_t sdk;
    char16_t optname[256];
    uint16_t pid;
    uint16_t vid;
    uint32_t factoryreset;
    char16_t firmware[512];
    uint16_t battery;
    char16_t usbIfId[512];
    CardRecord* cards; /* `cardcount` entries, owned by the record */
    uint32_t cardcount;
} DeviceRecord;

#ifdef __cplusplus
#define QX_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define QX_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif
QX_STATIC_ASSERT(offsetof(CardRecord, state) == 4, "CardRecord.state");
QX_STATIC_ASSERT(offsetof(CardRecord, storageTotal) == 40, "CardRecord.storageTotal");
QX_STATIC_ASSERT(offsetof(CardRecord, storageFree) == 48, "CardRecord.storageFree");
QX_STATIC_ASSERT(offsetof(CardRecord, path) == 56, "CardRecord.path");
QX_STATIC_ASSERT(offsetof(CardRecord, sid) == 568, "CardRecord.sid");
QX_STATIC_ASSERT(sizeof(CardRecord) == 1080, "CardRecord size");
QX_STATIC_ASSERT(offsetof(DeviceRecord, model) == 128, "DeviceRecord.model");
QX_STATIC_ASSERT(offsetof(DeviceRecord, serverip) == 256, "DeviceRecord.serverip");
QX_STATIC_ASSERT(offsetof(DeviceRecord, adbdeviceport) == 320, "DeviceRecord.adbdeviceport");
QX_STATIC_ASSERT(offsetof(DeviceRecord, serialno) == 324, "DeviceRecord.serialno");
QX_STATIC_ASSERT(offsetof(DeviceRecord, autolaunch) == 452, "DeviceRecord.autolaunch");
QX_STATIC_ASSERT(offsetof(DeviceRecord, allowwifi) == 516, "DeviceRecord.allowwifi");
QX_STATIC_ASSERT(offsetof(DeviceRecord, storagetype) == 540, "DeviceRecord.storagetype");
QX_STATIC_ASSERT(offsetof(DeviceRecord, kernel) == 544, "DeviceRecord.kernel");
QX_STATIC_ASSERT(offsetof(DeviceRecord, sdk) == 552, "DeviceRecord.sdk");
QX_STATIC_ASSERT(offsetof(DeviceRecord, optname) == 556, "DeviceRecord.optname");
QX_STATIC_ASSERT(offsetof(DeviceRecord, pid) == 1068, "DeviceRecord.pid");
QX_STATIC_ASSERT(offsetof(DeviceRecord, vid) == 1070, "DeviceRecord.vid");
QX_STATIC_ASSERT(offsetof(DeviceRecord, factoryreset) == 1072, "DeviceRecord.factoryreset");
QX_STATIC_ASSERT(offsetof(DeviceRecord, firmware) == 1076, "DeviceRecord.firmware");
QX_STATIC_ASSERT(offsetof(DeviceRecord, battery) == 2100, "DeviceRecord.battery");
QX_STATIC_ASSERT(offsetof(DeviceRecord, usbIfId) == 2102, "DeviceRecord.usbIfId");
QX_STATIC_ASSERT(offsetof(DeviceRecord, cards) == 3128, "DeviceRecord.cards");
QX_STATIC_ASSERT(offsetof(DeviceRecord, cardcount) == 3128 + sizeof(void*),
                 "DeviceRecord.cardcount");
QX_STATIC_ASSERT(sizeof(void*) != 8 || sizeof(DeviceRecord) == 3144, "DeviceRecord size");
QX_STATIC_ASSERT(sizeof(void*) != 4 || sizeof(DeviceRecord) == 3136, "DeviceRecord size (32-bit)");

/* Called on module threads (and on the host's own thread from QX_DisconnectDevice). */
typedef void(QX_CALL* DeviceChangeCallBack)(int32_t code, DeviceRecord* record);
/* device: NUL-terminated UTF-16 text the phone sent before ';'. action: START_SYNC or STOP_SYNC. */
typedef void(QX_CALL* SyncByDevCallBack)(const char16_t* device, int32_t action);

/* First call: reads the loader INI, prepares detection. 0 ready; 1 already
 * initialised or another instance runs on this machine (do not start then). */
int32_t QX_CALL QX_InitDetect(void);
/* Stores the device-change callback; null switches notifications off. Returns 0. */
int32_t QX_CALL QX_SetDeviceChangeCallBack(DeviceChangeCallBack callback);
/* Stores the sync-request callback. Returns 0. */
int32_t QX_CALL QX_SetSyncByDevCallBack(SyncByDevCallBack callback);
/* Starts the detector threads and the first scan. 1 when never initialised. */
int32_t QX_CALL QX_startDetect(void);
/* Stops detection without waiting for any thread. Returns 0. */
int32_t QX_CALL QX_stopDetect(void);
/* Disconnects every phone whose serial matches record->serialno (ignoring
 * case); REMOVE_DEVICE is sent on the calling thread before this returns, so
 * the callback must not call back into the module. 1 for a null record or an
 * empty serial, else 0. */
int32_t QX_CALL QX_DisconnectDevice(DeviceRecord* record);
/* Tells the phone the host is ready to sync. 0 when a thread has that serial. */
int32_t QX_CALL QX_DeviceReadyToSync(DeviceRecord* record);
/* Tells the phone a sync begins. 0 when a thread has that serial. */
int32_t QX_CALL QX_DeviceSyncBegin(DeviceRecord* record);
/* Asks the phone's service for /sync/do/end. 0 when it answered. */
int32_t QX_CALL QX_DeviceSyncEnd(DeviceRecord* record);
/* Windows' C library declares an itoa of its own (another calling convention
 * on 32-bit); this one is named QX_itoa in C and exported as "itoa". */
#ifdef _WIN32
#include <stdlib.h>
#define itoa QX_itoa
#endif
/* Writes value in radix 2..16 ("0123456789abcdef"); a '-' only in radix 10;
 * any other radix writes "". Returns buffer. */
char* QX_CALL itoa(int32_t value, char* buffer, int32_t radix);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* DEVICEDETECT_DEVICEDETECT_H */
