// CUsbDeviceThread_BMP: the thread of one BREW phone (a serial-port phone on
// a USB hub port). So far it identifies the device on its port and then
// watches that it stays plugged in; the COM port, the phone protocol and the
// detected-device store come in between.
#pragma once

#include <chrono>
#include <string>

#include "usb/usb_device_thread.h"

class CUsbDeviceThread_BMP : public CUsbDeviceThread {
  public:
    // The phone's own poll period: the hub port is checked every 2 s (and at
    // once when a USB removal pokes the thread).
    static constexpr std::chrono::milliseconds kPresencePollPeriod{2000};

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

  protected:
    int InitInstance() override;
};
