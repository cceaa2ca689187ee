#include "brew_phone.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

namespace fs = std::filesystem;

namespace phonesim {

namespace {

constexpr std::string_view kEndTag = "<EndTag0x0d0c0f>";
constexpr char kEscape = 0x7D;
constexpr char kFlag = 0x7E;

std::string escape(std::string_view payload) {
    std::string out;
    for (char c : payload) {
        if (c == kEscape || c == kFlag) {
            out += kEscape;
            out += static_cast<char>(static_cast<uint8_t>(c) & 0xDF);
        } else {
            out += c;
        }
    }
    return out;
}

// The body of a request frame (header FD 00 FF, trailer 00 00 7E), escapes
// undone; false when the frame is malformed.
bool requestBody(const std::string& frame, std::string& body) {
    if (frame.size() < 6 || static_cast<uint8_t>(frame[0]) != 0xFD || frame[1] != 0 ||
        static_cast<uint8_t>(frame[2]) != 0xFF) {
        return false;
    }
    body.clear();
    for (size_t i = 3; i + 3 < frame.size(); ++i) {
        if (frame[i] == kEscape && i + 4 < frame.size()) {
            body += static_cast<char>(static_cast<uint8_t>(frame[++i]) | 0x20);
        } else {
            body += frame[i];
        }
    }
    return true;
}

std::string between(std::string_view text, std::string_view from, std::string_view to) {
    size_t begin = text.find(from);
    if (begin == std::string_view::npos) {
        return {};
    }
    begin += from.size();
    size_t end = text.find(to, begin);
    return std::string(text.substr(begin, end == std::string_view::npos ? end : end - begin));
}

void writeAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno == EAGAIN) {
            pollfd pfd{fd, POLLOUT, 0};
            if (::poll(&pfd, 1, 1000) <= 0) {
                return;
            }
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return;
        }
    }
}

}  // namespace

std::string brewReplyFrame(const std::string& payload) {
    std::string frame = {static_cast<char>(0xFD), 0x00, static_cast<char>(0xFF), 0x00, 0x00};
    frame += escape(payload);
    frame += std::string(2, '\0');
    frame += kFlag;
    return frame;
}

BrewPhone::BrewPhone(BrewPhoneSpec spec) : m_spec(std::move(spec)) {}

BrewPhone::~BrewPhone() {
    unplug();
}

bool BrewPhone::plug(FakeUsbTree& tree) {
    if (plugged()) {
        return false;
    }
    int master = -1;
    int slave = -1;
    char name[128] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        return false;
    }
    termios tio{};
    ::tcgetattr(slave, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(slave, TCSANOW, &tio);
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave, F_SETFD, FD_CLOEXEC);
    // The first free ttyACM name in this tree.
    std::string tty;
    std::error_code ec;
    for (int i = 0; i < 1000 && tty.empty(); ++i) {
        std::string candidate = "ttyACM" + std::to_string(i);
        if (!fs::exists(fs::path(tree.sysfsRoot()) / "class/tty" / candidate, ec) &&
            !fs::is_symlink(fs::path(tree.devRoot()) / candidate, ec)) {
            tty = candidate;
        }
    }
    m_master = master;
    m_slave = slave;
    m_stopFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_tty = tty;
        m_ptyPath = name;
    }
    m_server = std::thread(&BrewPhone::serve, this);
    FakeUsbDevice device;
    device.port = m_spec.port;
    device.vid = m_spec.vid;
    device.pid = m_spec.pid;
    device.serial.clear();
    device.product = m_spec.model;
    device.adb = false;
    device.tty = tty;
    device.ttyNode = name;
    if (tty.empty() || !tree.plug(device)) {
        stopServing();
        return false;
    }
    m_tree = &tree;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_plugged = true;
    return true;
}

void BrewPhone::unplug() {
    bool wasPlugged;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        wasPlugged = m_plugged;
        m_plugged = false;
    }
    if (wasPlugged && m_tree != nullptr) {
        m_tree->unplug(m_spec.port);
    }
    stopServing();
}

void BrewPhone::stopServing() {
    if (m_server.joinable()) {
        uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(m_stopFd, &one, sizeof(one));
        m_server.join();
    }
    for (int* fd : {&m_master, &m_slave, &m_stopFd}) {
        if (*fd >= 0) {
            ::close(*fd);
            *fd = -1;
        }
    }
}

bool BrewPhone::plugged() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_plugged;
}

std::string BrewPhone::tty() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_tty;
}

std::string BrewPhone::ptyPath() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_ptyPath;
}

void BrewPhone::setBusyReplies(int count) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_busy = count;
}

void BrewPhone::setBrokenReplies(int count) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_broken = count;
}

void BrewPhone::setSilentRequests(int count) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_silent = count;
}

void BrewPhone::setBrokenCommand(std::string command) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_brokenCommand = std::move(command);
}

void BrewPhone::setRegistration(std::string syncSvr, std::string syncSetting) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_spec.syncSvr = std::move(syncSvr);
    m_spec.syncSetting = std::move(syncSetting);
}

void BrewPhone::setDetectReply(std::string text) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_detectReply = std::move(text);
}

std::string BrewPhone::syncSvr() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_spec.syncSvr;
}

std::string BrewPhone::syncSetting() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_spec.syncSetting;
}

int BrewPhone::syncSvrWrites() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_svrWrites;
}

int BrewPhone::syncSettingWrites() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_settingWrites;
}

std::vector<std::string> BrewPhone::commands() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_commands;
}

void BrewPhone::serve() {
    std::string pending;
    for (;;) {
        pollfd fds[2] = {{m_master, POLLIN, 0}, {m_stopFd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if ((fds[1].revents & POLLIN) != 0) {
            return;
        }
        char buffer[4096];
        ssize_t n = ::read(m_master, buffer, sizeof(buffer));
        if (n <= 0) {
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                continue;
            }
            // No one holds the other end: wait for the stop signal only.
            pollfd stop{m_stopFd, POLLIN, 0};
            ::poll(&stop, 1, -1);
            return;
        }
        pending.append(buffer, static_cast<size_t>(n));
        size_t end;
        while ((end = pending.find(kFlag)) != std::string::npos) {
            std::string frame = pending.substr(0, end + 1);
            pending.erase(0, end + 1);
            handleFrame(frame);
        }
    }
}

void BrewPhone::handleFrame(const std::string& frame) {
    std::string body;
    if (!requestBody(frame, body)) {
        return;  // a real phone ignores what it cannot read
    }
    std::string reply;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_commands.push_back(body.substr(0, body.find_first_of(" \r<")));
        if (m_silent > 0) {
            --m_silent;
            return;
        }
        if (m_busy > 0) {
            --m_busy;
            reply = brewReplyFrame("PhoneIsBusy" + std::string(kEndTag));
        } else if (m_broken > 0 ||
                   (!m_brokenCommand.empty() && m_commands.back() == m_brokenCommand)) {
            m_broken = m_broken > 0 ? m_broken - 1 : 0;
            reply = std::string{
                static_cast<char>(0xFD), 0x00, static_cast<char>(0xFF), 0x00, 0x00, 0x00, kFlag};
        }
    }
    if (reply.empty()) {
        reply = brewReplyFrame(answer(body));
    }
    writeAll(m_master, reply);
}

std::string BrewPhone::answer(const std::string& request) {
    const std::string end(kEndTag);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (request.rfind("DetectPhone", 0) == 0) {
        if (!m_detectReply.empty()) {
            return m_detectReply;
        }
        return "DetectPhone OK\r\nModelName:" + m_spec.model + "\r\nIMEI:" + m_spec.imei + "\r\n" +
               end;
    }
    if (request.rfind("GetPhoneInfo", 0) == 0) {
        return "GetPhoneInfo OK\r\nFirmwareVersion:" + m_spec.firmware +
               "\r\nBatterLevel:" + m_spec.battery + "\r\n" + end;
    }
    if (request.rfind("ReadPicture", 0) == 0) {
        return "ReadPicture OK\r\nDataBegin\r\nFileLength:" +
               std::to_string(m_spec.syncSvr.size()) + "\r\nFileBegin\r\n" + m_spec.syncSvr +
               "\r\nFileEnd\r\nDataEnd" + end;
    }
    if (request.rfind("WritePicture", 0) == 0) {
        std::string position = between(request, "Position<Tag0x0d0c11>:", "\r\n");
        std::string data = between(request, "FileBegin<Tag0x0d0c01>:\r\n", "FileEnd<Tag0x0d0c01>");
        if (position == "Begin") {
            m_spec.syncSvr = data;
            ++m_svrWrites;
        } else {
            m_spec.syncSvr += data;
        }
        return "WritePicture OK\r\n" + end;
    }
    if (request.rfind("GetSyncSetting", 0) == 0) {
        return "GetSyncSetting\r\n" + m_spec.syncSetting + "\r\n" + end;
    }
    if (request.rfind("SetSyncSetting", 0) == 0) {
        m_spec.syncSetting = between(request, "SetSyncSetting \r\n", " " + end);
        ++m_settingWrites;
        return "SetSyncSetting OK\r\n" + end;
    }
    return "Unknown ERROR\r\n" + end;
}

}  // namespace phonesim
