#include "adb_forward.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "event_loop.h"

namespace phonesim {

AdbForward::AdbForward(std::string serial, std::string remote, Target target)
    : m_serial(std::move(serial)), m_remote(std::move(remote)), m_target(std::move(target)) {}

namespace {

// One relayed connection: the client's side is the server's session fd, the
// service's side is watched here. Either side closing ends both, as adb
// closes the phone's stream when the local socket goes (and the other way
// round): the service's end shuts the client's down, which ends the session.
class Relay : public Session {
  public:
    Relay(int clientFd, int serviceFd) : m_client(clientFd), m_service(serviceFd) {
        m_serviceWatch =
            EventLoop::shared().watch(m_service, EPOLLIN, [this](uint32_t) { fromService(); });
    }
    ~Relay() override {
        EventLoop::shared().unwatch(m_serviceWatch);
        close(m_service);
    }
    bool ok() const { return m_serviceWatch != 0; }

    bool onReadable(int fd) override { return pump(fd, m_service); }

  private:
    void fromService() {
        if (!pump(m_service, m_client)) {
            shutdown(m_client, SHUT_RDWR);
            EventLoop::shared().unwatch(m_serviceWatch);  // again in the destructor: ignored
        }
    }
    static bool pump(int from, int to) {
        char buffer[16384];
        ssize_t n = recv(from, buffer, sizeof(buffer), MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            return true;
        }
        return n > 0 && sendAllWithin(to, buffer, static_cast<size_t>(n));
    }

    int m_client;
    int m_service;
    uint64_t m_serviceWatch = 0;  // set once, before the loop can call back
};

}  // namespace

bool AdbForward::start(uint16_t localPort) {
    return m_server.startSessions(localPort, [this](int fd) { return relay(fd); });
}

std::unique_ptr<Session> AdbForward::relay(int clientFd) {
    uint16_t port = m_target ? m_target() : 0;
    if (port == 0) {
        return nullptr;  // nothing listens on the phone: the connection just closes
    }
    int serviceFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (serviceFd < 0) {
        return nullptr;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    // A loopback connect is answered at once (or refused), so it does not
    // hold up the loop.
    if (connect(serviceFd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        close(serviceFd);
        return nullptr;
    }
    auto session = std::make_unique<Relay>(clientFd, serviceFd);
    return session->ok() ? std::move(session) : nullptr;
}

}  // namespace phonesim
