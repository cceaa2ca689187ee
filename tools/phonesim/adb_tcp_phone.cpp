#include "adb_tcp_phone.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <vector>

#include "adb_wire.h"

namespace phonesim {
namespace {

constexpr uint32_t kSync = 0x434e5953;
constexpr uint32_t kCnxn = 0x4e584e43;
constexpr uint32_t kAuth = 0x48545541;
constexpr uint32_t kOpen = 0x4e45504f;
constexpr uint32_t kOkay = 0x59414b4f;
constexpr uint32_t kClse = 0x45534c43;
constexpr uint32_t kWrte = 0x45545257;
constexpr uint32_t kVersion = 0x01000001;
constexpr uint32_t kMaxPayload = 256 * 1024;
constexpr uint32_t kAuthToken = 1;
constexpr uint32_t kAuthSignature = 2;
constexpr uint32_t kAuthPublicKey = 3;
constexpr size_t kHeader = 24;
constexpr size_t kChunk = 4096;  // what one WRTE carries at most

struct Message {
    uint32_t command = 0;
    uint32_t arg0 = 0;
    uint32_t arg1 = 0;
    std::string data;
};

bool sendMessage(int fd, uint32_t command, uint32_t arg0, uint32_t arg1,
                 std::string_view data = {}) {
    std::string out;
    uint32_t check = 0;
    for (unsigned char c : data) {
        check += c;
    }
    for (uint32_t value :
         {command, arg0, arg1, static_cast<uint32_t>(data.size()), check, command ^ 0xffffffffu}) {
        adbwire::putLe32(out, value);
    }
    out.append(data);
    return sendAll(fd, out);
}

// Takes one whole message off the front of buffer; false when none is
// complete yet. broken is set for a header that no adb peer sends.
bool takeMessage(std::string& buffer, Message& message, bool& broken) {
    if (buffer.size() < kHeader) {
        return false;
    }
    auto word = [&](size_t i) {
        return adbwire::getLe32(reinterpret_cast<const unsigned char*>(buffer.data()) + 4 * i);
    };
    uint32_t length = word(3);
    if (word(5) != (word(0) ^ 0xffffffffu) || length > 1024 * 1024) {
        broken = true;
        return false;
    }
    if (buffer.size() < kHeader + length) {
        return false;
    }
    message.command = word(0);
    message.arg0 = word(1);
    message.arg1 = word(2);
    message.data = buffer.substr(kHeader, length);
    buffer.erase(0, kHeader + length);
    return true;
}

int connectLoopback(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    if (port == 0 || connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// One service the server opened on the phone.
struct Stream {
    uint32_t remote = 0;    // the server's id of it
    int fd = -1;            // tcp: the relayed socket; shell: -1
    std::string pending;    // shell: output not written yet
    bool awaiting = false;  // a WRTE is not acknowledged yet
};

}  // namespace

AdbTcpPhone::AdbTcpPhone(std::shared_ptr<AdbPhone> phone, bool prompt)
    : m_phone(std::move(phone)), m_authorized(!prompt) {}

bool AdbTcpPhone::start(uint16_t port) {
    return m_server.start(port, [this](int fd) { serve(fd); });
}

std::string AdbTcpPhone::serial() const {
    return "127.0.0.1:" + std::to_string(port());
}

void AdbTcpPhone::authorize() {
    m_authorized = true;
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& [fd, wake] : m_wakes) {
        uint64_t one = 1;
        (void)!write(wake, &one, sizeof(one));
    }
}

int AdbTcpPhone::connections() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<int>(m_wakes.size());
}

std::vector<std::string> AdbTcpPhone::servicesOpened() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_services;
}

void AdbTcpPhone::serve(int fd) {
    int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_wakes[fd] = wake;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    std::map<uint32_t, Stream> streams;  // by the phone's id
    uint32_t nextId = 1;
    bool connected = false;   // CNXN sent: services may be opened
    bool keyOffered = false;  // the server sent its public key: the prompt shows
    std::string banner =
        "device::ro.product.name=orq_x1;ro.product.model=Orq_X1;"
        "ro.product.device=x1;features=cmd";
    std::mt19937 random(std::random_device{}());
    auto sendToken = [&] {
        std::string token(20, '\0');
        for (char& c : token) {
            c = static_cast<char>(random());
        }
        return sendMessage(fd, kAuth, kAuthToken, 0, token);
    };
    auto letIn = [&] {
        connected = true;
        return sendMessage(fd, kCnxn, kVersion, kMaxPayload, banner);
    };
    // Writes the next piece of a stream, or closes it when a shell is done.
    auto pump = [&](uint32_t id, Stream& stream) {
        if (stream.fd >= 0 || stream.awaiting) {
            return true;
        }
        if (stream.pending.empty()) {
            bool sent = sendMessage(fd, kClse, id, stream.remote);
            streams.erase(id);
            return sent;
        }
        std::string piece = stream.pending.substr(0, kChunk);
        stream.pending.erase(0, piece.size());
        stream.awaiting = true;
        return sendMessage(fd, kWrte, id, stream.remote, piece);
    };
    auto open = [&](const Message& message) {
        std::string service = message.data.substr(0, message.data.find('\0'));
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_services.push_back(service);
        }
        Stream stream;
        stream.remote = message.arg0;
        if (service.rfind("shell:", 0) == 0) {
            ShellResult result = m_phone->runShell(service.substr(6));
            if (result.failed) {
                return sendMessage(fd, kClse, 0, message.arg0);
            }
            stream.pending = std::move(result.output);
        } else if (service.rfind("tcp:", 0) == 0) {
            long phonePort = std::strtol(service.c_str() + 4, nullptr, 10);
            uint16_t local = phonePort > 0 && phonePort <= 65535
                                 ? m_phone->servicePort(static_cast<uint16_t>(phonePort))
                                 : 0;
            stream.fd = connectLoopback(local);
            if (stream.fd < 0) {
                return sendMessage(fd, kClse, 0, message.arg0);
            }
        } else {
            return sendMessage(fd, kClse, 0, message.arg0);  // a service this phone has not
        }
        uint32_t id = nextId++;
        if (!sendMessage(fd, kOkay, id, message.arg0)) {
            return false;
        }
        auto placed = streams.emplace(id, std::move(stream)).first;
        return pump(id, placed->second);
    };
    auto handle = [&](const Message& message) {
        switch (message.command) {
            case kCnxn:
                // A phone without the prompt lets the server in at once (as
                // one with adb's authentication off); one with it asks for a
                // signature it will not take until its user has answered.
                return m_authorized ? letIn() : sendToken();
            case kAuth:
                if (message.arg0 == kAuthSignature) {
                    return m_authorized ? letIn() : sendToken();
                }
                if (message.arg0 == kAuthPublicKey) {
                    keyOffered = true;  // the prompt is on the screen now
                    return m_authorized ? letIn() : true;
                }
                return true;
            case kOpen:
                return !connected || open(message);
            case kOkay: {
                auto it = streams.find(message.arg1);
                if (it != streams.end()) {
                    it->second.awaiting = false;
                    return pump(it->first, it->second);
                }
                return true;
            }
            case kWrte: {
                auto it = streams.find(message.arg1);
                if (it == streams.end()) {
                    return true;
                }
                if (it->second.fd >= 0 && !sendAll(it->second.fd, message.data)) {
                    close(it->second.fd);
                    streams.erase(it);
                    return sendMessage(fd, kClse, message.arg1, message.arg0);
                }
                return sendMessage(fd, kOkay, message.arg1, message.arg0);
            }
            case kClse: {
                auto it = streams.find(message.arg1);
                if (it != streams.end()) {
                    if (it->second.fd >= 0) {
                        close(it->second.fd);
                    }
                    streams.erase(it);
                }
                return true;
            }
            case kSync:
            default:
                return true;
        }
    };

    std::string buffer;
    bool alive = true;
    while (alive) {
        std::vector<pollfd> fds{{fd, POLLIN, 0}, {wake, POLLIN, 0}};
        std::vector<uint32_t> ids;
        for (const auto& [id, stream] : streams) {
            if (stream.fd >= 0 && !stream.awaiting) {
                fds.push_back({stream.fd, POLLIN, 0});
                ids.push_back(id);
            }
        }
        if (poll(fds.data(), fds.size(), -1) < 0) {
            alive = errno == EINTR;
            continue;
        }
        if (fds[1].revents != 0) {
            uint64_t count = 0;
            (void)!read(wake, &count, sizeof(count));
            if (m_authorized && keyOffered && !connected) {
                alive = letIn();
            }
        }
        for (size_t i = 2; i < fds.size() && alive; ++i) {
            if (fds[i].revents == 0) {
                continue;
            }
            auto it = streams.find(ids[i - 2]);
            char data[kChunk];
            ssize_t n = recv(it->second.fd, data, sizeof(data), 0);
            if (n <= 0) {
                close(it->second.fd);
                alive = sendMessage(fd, kClse, it->first, it->second.remote);
                streams.erase(it);
            } else {
                it->second.awaiting = true;
                alive = sendMessage(fd, kWrte, it->first, it->second.remote,
                                    std::string_view(data, static_cast<size_t>(n)));
            }
        }
        if (alive && fds[0].revents != 0) {
            char data[16384];
            ssize_t n = recv(fd, data, sizeof(data), 0);
            if (n <= 0) {
                break;
            }
            buffer.append(data, static_cast<size_t>(n));
            Message message;
            bool broken = false;
            while (alive && takeMessage(buffer, message, broken)) {
                alive = handle(message);
            }
            alive = alive && !broken;
        }
    }
    for (auto& [id, stream] : streams) {
        if (stream.fd >= 0) {
            close(stream.fd);
        }
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_wakes.erase(fd);
    close(wake);
}

}  // namespace phonesim
