// CWifiThread_Android: the thread of one Android phone found over Wi-Fi. It
// reads the phone's information from its companion service at the phone's
// address, announces the phone (NEW_DEVICE), waits until the connection
// ends, and withdraws it (REMOVE_DEVICE). It runs no adb command, forwards
// no port and holds no link.
//
// The phone goes by its key (WifiPhoneRecord::key) like a USB phone by its
// serial: it claims the key before it is announced, and while another phone
// goes by that key it waits unannounced.
//
// The connection ends when the bridge signals a WIFI_DISCONNECT, the host
// disconnects the phone, or detection stops. For this thread ending the
// connection and leaving are one: the disconnect event is its exit flag,
// which also cuts the information query short.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "device/usb_device_thread.h"
#include "wifi/wifi_finder_library.h"
#include "wifi/wifi_record.h"

class WifiDetect;

class CWifiThread_Android : public CUsbDeviceThread {
  public:
    // record: the phone's record in the bridge's list (shared, so it stays
    // valid for as long as this thread holds it); finder: the library that
    // reported the phone; bridge: the bridge whose list holds the record
    // (it outlives its threads).
    CWifiThread_Android(std::shared_ptr<AndroidDeviceInfo> deviceInfo,
                        std::shared_ptr<const WifiPhoneRecord> record,
                        std::shared_ptr<WifiFinderLibrary> finder, WifiDetect& bridge);
    ~CWifiThread_Android() override;

    // Ends the wait for the phone's connection (m_hDisconnectEvent).
    void SignalDisconnect();
    void TouchConnectMarker() override {}
    // false: the host disconnected the phone: state 2, REMOVE_DEVICE once,
    // the running count given back, the finder told (status 3); the thread
    // then ends. true: end the thread and wait for it.
    int Disconnect(bool shutdown) override;
    // Stores the status and passes it to the finder.
    int SetSyncStatus(int status) override;
    // "the Wi-Fi phone at 10.0.0.5".
    std::string phonePlace() const override;
    // The phone's connection ended with its thread: its record leaves the
    // bridge's list.
    void OnReaped() override;

    // The phone's record in the bridge's list.
    const WifiPhoneRecord* devRecord() const { return m_pDevRecord.get(); }

    // Set by the DetectThread before the thread is listed; constant after.
    std::string m_szIp;    // the phone's address (at most 15 characters)
    int32_t m_nPort = -1;  // its companion service's port

  protected:
    int InitInstance() override;

  private:
    // Reads the phone's information; true when it answered as the phone the
    // finder reported, under the key the bridge gave it.
    bool readInformation();
    void fillInformation();
    void announceAndWait();
    void withdraw();
    void giveUpPhone();

    const std::shared_ptr<const WifiPhoneRecord> m_pDevRecord;
    const std::shared_ptr<WifiFinderLibrary> m_finder;
    WifiDetect& m_bridge;
};
