// CUsbDeviceThread_BMP: the thread of one BREW phone, a feature phone whose
// USB driver exposes a serial port. It finds the phone's tty, asks the phone
// who it is over the framed tag protocol, makes sure this PC is registered
// as its sync partner (registering it again when the phone has lost both
// registrations: a factory reset), writes the phone into the detected-device
// store, and then only watches that the phone stays plugged in. It sends no
// device-change notification: the host reads the store.
//
// The IMEI is the phone's key, claimed like any phone's: while another live
// phone (BREW, Android or Wi-Fi) goes by it, this one is not recorded. A
// phone that answers busy past its limit is only watched until unplugged.
//
// While the file "ORQ_Connect_In_Sync" exists in the lock folder the host is
// synchronising with a phone, and the thread leaves its phone alone.
#pragma once

#include <chrono>
#include <string>

#include "brew/usb_helper.h"
#include "device/usb_device_thread.h"

class CUsbDeviceThread_BMP : public CUsbDeviceThread {
  public:
    // The phone's own poll period: the hub port is checked every 2 s (and at
    // once when a USB removal pokes the thread).
    static constexpr std::chrono::milliseconds kPresencePollPeriod{2000};
    // Name of the flag file the host creates in the lock folder while it
    // synchronises.
    static constexpr const char* kInSyncFlagName = "ORQ_Connect_In_Sync";
    // Passes the thread waits for the driver to create the phone's tty
    // before it gives up on the phone.
    static constexpr int kTtyWaitPasses = 3;

    CUsbDeviceThread_BMP(std::string hubPath, int hubPort, std::string dllName, int vid, int pid);
    ~CUsbDeviceThread_BMP() override;

    // Vendor, product and driver key of the device on the port; the serial
    // output is left alone. 87, a hub error, or 1167 as for the hub queries.
    int GetUsbNodeInfo(const std::string& hubPath, int port, int* vid, int* pid,
                       std::string* driverKey, std::string* serial) override;
    void TouchConnectMarker() override {}
    // true: end the thread and wait. false: the phone leaves the
    // detected-device store; the thread watches on until it is unplugged.
    // Either way the running count is given back once.
    int Disconnect(bool shutdown) override;

    // The tty of the USB device with this driver key (its sysfs name):
    // 0 with tty set, 2 when the device has none.
    int findComPort(const std::string& driverKey, std::string& tty) const;
    // Whether this PC (key) is in the phone's syncsvr.dat / sync-setting
    // list; with write set and the key missing, the list is replaced by the
    // key alone. 0, or the transport error of the read (the list is then
    // taken as empty) or of the write (14: SetSyncSetting too long).
    int checkSyncSvr(const std::string& key, int& notRegistered, bool write);
    int checkSyncSetting(const std::string& key, int& notRegistered, bool write);

    // The IMEI and model the phone reported (empty until it answered).
    std::string imei() const { return m_csSerialNum.get(); }

  protected:
    int InitInstance() override;

  private:
    // What one pass learns from the phone.
    struct PhoneFacts {
        std::string imei;
        std::string model;
        std::string tty;
        std::string info;  // the raw GetPhoneInfo reply
        bool factoryReset = false;
    };

    // The steps of a pass; each returns false when the pass ends.
    bool hostIsSyncing() const;
    bool interrogate(const std::string& tty, PhoneFacts& facts);
    bool detectPhone(PhoneFacts& facts);
    void checkRegistration(PhoneFacts& facts);
    // Makes the IMEI this thread's key unless another live phone, of any
    // family, goes by it (logged once while waiting is false; waiting tells
    // whether this phone is kept waiting). True when claimed.
    bool claimImei(const PhoneFacts& facts, bool& waiting);
    void saveToStore(const PhoneFacts& facts);

    CUsbHelper m_helper;
};
