/*
 * QXWIFIFinder: the Wi-Fi finder library that DeviceDetect loads from its own
 * folder ("libQXWIFIFinder.so"). Any library with these nine C entry points
 * serves; DeviceDetect relies only on what is written here.
 *
 * Text fields of WifiDevRecord are narrow (UTF-8) text, normally ending in a
 * NUL within their room. A reader must not rely on that NUL: every field is
 * read within its own room only.
 */
#ifndef DEVICEDETECT_QXWIFIFINDER_H
#define DEVICEDETECT_QXWIFIFINDER_H

#include <stddef.h>
#include <stdint.h>

/* As in DeviceDetect.h: the suite's 32-bit Windows calling convention. */
#ifndef QX_CALL
#if defined(_WIN32) && defined(__i386__)
#define QX_CALL __stdcall
#else
#define QX_CALL
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Codes of the state callback. */
enum {
    WIFI_CONNECT = 0,    /* the phone is reachable; its record is complete */
    WIFI_DISCONNECT = 1, /* the phone left */
    WIFI_START_SYNC = 2, /* the phone asks for a synchronisation to start */
    WIFI_STOP_SYNC = 3   /* the phone asks for it to be cancelled */
};

/* Actions of the sync callback. */
enum { WIFI_SYNC_START = 0, WIFI_SYNC_CANCEL = 1, WIFI_SYNC_GONE = 3 };

/* One phone as the finder reports it (744 bytes). */
typedef struct WifiDevRecord {
    char imei[128];     /* the phone's IMEI: its key */
    char model[128];    /* model name */
    char version[32];   /* Android version, decimal ("10", "8.1") */
    char sdk[96];       /* SDK level, decimal */
    char brand[136];    /* brand name */
    char ip[16];        /* the phone's IPv4 address, dotted */
    char port[8];       /* companion service port, decimal */
    char paired[128];   /* identity of the PC the phone is paired with */
    char pid[5];        /* USB product id, hexadecimal; may be empty */
    char serial[51];    /* the phone's serial number */
    int32_t autolaunch; /* non-zero: start the sync suite on connect */
    /* A 4-byte slot: no thread handle fits here, so the module keeps its own
     * bookkeeping elsewhere and never reads this field. */
    uint32_t detectThread;
    unsigned char reserved[8];
} WifiDevRecord;

/* The entry points use QX_CALL (__stdcall on 32-bit Windows); the two
 * callbacks the finder is given are plain C functions. */
/* Starts finding phones on behalf of the PC with this identity. Callbacks
 * arrive on the finder's own threads from now on. */
int32_t QX_CALL StartDetect(const char* pcIdentity);
/* Stops finding phones; no callback runs after it has returned. */
int32_t QX_CALL StopDetect(void);
/* onState receives a record and a WIFI_ code; the record is valid only
 * during the call. Its result: 1 the report was taken, 0 dropped. */
void QX_CALL SetStateNotifyCallBack(int32_t (*onState)(WifiDevRecord* record, int32_t code));
/* onSync receives a record and a WIFI_SYNC_ action; valid during the call. */
int32_t QX_CALL SetSyncNotifyCallBack(void (*onSync)(WifiDevRecord* record, int32_t action));
int32_t QX_CALL StartHttpServer(void);
int32_t QX_CALL StopHttpServer(void);
/* Non-zero when the client connection to the phone is ready. */
int32_t QX_CALL StartClient(WifiDevRecord* record);
/* Tells the finder the phone's sync status (3: its connection ended). */
int32_t QX_CALL SetDevStatus(int32_t status, WifiDevRecord* record);
/* Forgets the phone with this IMEI. */
void QX_CALL RemoveDev(const char* imei);

#ifdef __cplusplus
} /* extern "C" */

static_assert(offsetof(WifiDevRecord, imei) == 0);
static_assert(offsetof(WifiDevRecord, model) == 128);
static_assert(offsetof(WifiDevRecord, version) == 256);
static_assert(offsetof(WifiDevRecord, sdk) == 288);
static_assert(offsetof(WifiDevRecord, brand) == 384);
static_assert(offsetof(WifiDevRecord, ip) == 520);
static_assert(offsetof(WifiDevRecord, port) == 536);
static_assert(offsetof(WifiDevRecord, paired) == 544);
static_assert(offsetof(WifiDevRecord, pid) == 672);
static_assert(offsetof(WifiDevRecord, serial) == 677);
static_assert(offsetof(WifiDevRecord, autolaunch) == 728);
static_assert(offsetof(WifiDevRecord, detectThread) == 732);
static_assert(offsetof(WifiDevRecord, reserved) == 736);
static_assert(sizeof(WifiDevRecord) == 744);
#else
_Static_assert(offsetof(WifiDevRecord, serial) == 677, "WifiDevRecord layout");
_Static_assert(offsetof(WifiDevRecord, autolaunch) == 728, "WifiDevRecord layout");
_Static_assert(sizeof(WifiDevRecord) == 744, "WifiDevRecord size");
#endif

#endif /* DEVICEDETECT_QXWIFIFINDER_H */
