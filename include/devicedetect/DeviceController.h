/*
 * libDeviceController.so: the suite's adb runner, loaded by DeviceDetect from
 * its own folder.
 *
 * QX_RunAdbCmd runs one adb command line (the arguments without the program
 * name, UTF-16, e.g. "-s SERIAL shell getprop") and leaves in `out` what the
 * adb client would print for it, standard output and error lines together,
 * as UTF-8 ending in NUL, never more than outSize bytes including the NUL.
 * devices, shell, forward and kill-server are spoken directly to the adb
 * server on 127.0.0.1:ANDROID_ADB_SERVER_PORT (default 5037); install,
 * uninstall and every other command run the adb binary (DEVICEDETECT_ADB,
 * else "adb" on PATH). When no server answers, "adb start-server" is run once.
 * Before kill-server and before running the adb binary (which would kill a
 * server of another version and start its own) the server's version is asked:
 * a server of another adb version belongs to another program and is left
 * alone (ADBCMD_VERSION_CLASH, with a line naming both versions).
 * Every wait is bounded by DEVICEDETECT_ADB_TIMEOUT_MS (default 20000); a
 * child adb still running then is killed. Safe to call from many threads.
 *
 * QX_StartAdbTracking follows the adb server's device list on one connection
 * (host:track-devices) and calls back with every new list, so that a caller
 * waiting for a phone to become "device" waits on the server's own events
 * instead of asking again and again. A server is started when none answers,
 * as for the commands; a server that exits (kill-server) is followed again.
 *
 * QX_UnmountDisk unmounts the file systems of the block devices that belong
 * to the phone's USB device (matched by serial number, and vid/pid when set)
 * and nothing else. The mount table is /proc/self/mountinfo, or the file
 * named by DEVICEDETECT_MOUNTINFO; the USB tree is DEVICEDETECT_SYSFS_ROOT
 * (default /sys). What it did goes to the suite's log sink.
 */
#ifndef DEVICEDETECT_DEVICECONTROLLER_H
#define DEVICEDETECT_DEVICECONTROLLER_H

#include <stdint.h>

#include "devicedetect/DeviceDetect.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Results of QX_RunAdbCmd. 0 means the command ran: its output (which may be
 * an adb error line such as "error: device 'X' not found") is in `out`. */
enum {
    ADBCMD_OK = 0,
    ADBCMD_BAD_ARGUMENTS = 1,  /* null pointers, negative sizes, empty or unknown command */
    ADBCMD_NO_SERVER = 2,      /* no server answers, and starting one failed */
    ADBCMD_TIMED_OUT = 3,      /* the time limit passed (a child adb is killed) */
    ADBCMD_PROTOCOL_ERROR = 4, /* the server dropped the connection or broke the protocol */
    ADBCMD_VERSION_CLASH = 5,  /* the server belongs to another adb version; left alone */
    ADBCMD_SPAWN_FAILED = 6    /* the adb binary could not be run */
};

/* Results of QX_UnmountDisk. */
enum {
    UNMOUNT_OK = 0,               /* every mount of the phone's disks is gone (or there was none) */
    UNMOUNT_BAD_RECORD = 1,       /* null record or no serial number */
    UNMOUNT_DEVICE_NOT_FOUND = 2, /* no USB device with that serial number */
    UNMOUNT_PARTIAL = 3           /* at least one mount could not be unmounted */
};

/* Events of the device-list callback. */
enum {
    ADBTRACK_DEVICES = 0,  /* devices: the server's whole list, "SERIAL\tSTATE\n" per phone
                              as "adb devices" prints it (empty: no phone) */
    ADBTRACK_LOST = 1,     /* the server closed the list (it exited); following it again */
    ADBTRACK_NO_SERVER = 2 /* no server answers and none could be started; tried again
                              after a growing pause (1 s doubling up to 30 s) */
};

/* Called on the tracker's own thread, one call at a time; devices is valid
 * during the call only (NULL for the events without a list). The callback
 * must return promptly and must not call QX_StopAdbTracking. */
typedef void(QX_CALL* QX_AdbTrackFn)(void* context, int32_t event, const char* devices);

int32_t QX_CALL QX_RunAdbCmd(const char16_t* args, int32_t argsLen, char* out, int32_t outSize);
uint16_t QX_CALL QX_UnmountDisk(DeviceRecord* record);
/* Starts following the device list of the server on ANDROID_ADB_SERVER_PORT;
 * a handle for QX_StopAdbTracking, or NULL (null callback, no thread). */
void* QX_CALL QX_StartAdbTracking(QX_AdbTrackFn callback, void* context);
/* Closes the connection and waits for the tracker's thread: no callback runs
 * once it has returned. A start-server in progress is waited for. */
void QX_CALL QX_StopAdbTracking(void* tracker);

typedef int32_t(QX_CALL* QX_RunAdbCmdFn)(const char16_t*, int32_t, char*, int32_t);
typedef uint16_t(QX_CALL* QX_UnmountDiskFn)(DeviceRecord*);
typedef void*(QX_CALL* QX_StartAdbTrackingFn)(QX_AdbTrackFn, void*);
typedef void(QX_CALL* QX_StopAdbTrackingFn)(void*);

#ifdef __cplusplus
}
#endif

#endif
