// A simulated BREW phone: a pseudo-terminal whose far end speaks the
// phones' framed tag protocol (DetectPhone, GetPhoneInfo, ReadPicture,
// WritePicture, GetSyncSetting, SetSyncSetting), holding its syncsvr.dat and
// its sync-setting list. Plugged into a fake USB tree it appears as a USB
// device with a cdc_acm tty whose node is the pseudo-terminal.
//
// Faults on demand: the next N requests answered "PhoneIsBusy", answered
// with a broken (7-byte) frame, or not answered at all; a DetectPhone reply
// replaced by any text.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fake_usb_tree.h"

namespace phonesim {

struct BrewPhoneSpec {
    std::string port = "1-1";  // USB port name in the fake tree
    uint16_t vid = 0x05c6;
    uint16_t pid = 0x3197;
    std::string imei = "356938035643809";
    std::string model = "Orq Classic";
    std::string firmware = "BREW 3.1.5 Q6085";
    std::string battery = "80";
    std::string syncSvr;      // the file's bytes: NUL-terminated names
    std::string syncSetting;  // names separated by ","
};

class BrewPhone {
  public:
    explicit BrewPhone(BrewPhoneSpec spec);
    ~BrewPhone();  // unplugs and stops
    BrewPhone(const BrewPhone&) = delete;
    BrewPhone& operator=(const BrewPhone&) = delete;

    // Opens the pseudo-terminal, starts answering and plugs the device into
    // the tree with the first free ttyACM name. False when any step fails.
    bool plug(FakeUsbTree& tree);
    // Pulls the device out of the tree and hangs up the line (the module's
    // end sees the port vanish).
    void unplug();
    bool plugged() const;

    const BrewPhoneSpec& spec() const { return m_spec; }
    std::string tty() const;      // "ttyACM0" once plugged
    std::string ptyPath() const;  // the pseudo-terminal's far end (/dev/pts/N)

    // Faults for the next requests.
    void setBusyReplies(int count);
    void setBrokenReplies(int count);
    void setSilentRequests(int count);
    // Every reply to this command (its first word) is a broken frame.
    void setBrokenCommand(std::string command);
    // Replaces both registration lists.
    void setRegistration(std::string syncSvr, std::string syncSetting);
    // Replaces the DetectPhone reply text (without framing); empty: normal.
    void setDetectReply(std::string text);

    // What the phone holds and saw.
    std::string syncSvr() const;
    std::string syncSetting() const;
    int syncSvrWrites() const;
    int syncSettingWrites() const;
    std::vector<std::string> commands() const;  // first word of each request

    // The request parser and answer, exposed for the tests of the framing.
    std::string answer(const std::string& request);

  private:
    void serve();
    void stopServing();
    void handleFrame(const std::string& frame);

    BrewPhoneSpec m_spec;
    FakeUsbTree* m_tree = nullptr;
    int m_master = -1;  // pty master; owned
    int m_slave = -1;   // kept open so the line does not hang up between opens
    int m_stopFd = -1;  // eventfd that ends serve()
    std::thread m_server;

    mutable std::mutex m_mutex;  // guards everything below
    std::string m_tty;
    std::string m_ptyPath;
    bool m_plugged = false;
    int m_busy = 0;
    int m_broken = 0;
    int m_silent = 0;
    std::string m_detectReply;
    std::string m_brokenCommand;
    int m_svrWrites = 0;
    int m_settingWrites = 0;
    std::vector<std::string> m_commands;
};

// The framed bytes of a reply as a phone sends them (two extra bytes after
// the header).
std::string brewReplyFrame(const std::string& payload);

}  // namespace phonesim
