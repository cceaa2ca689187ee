#include "adb_server.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>

#include "adb_sync.h"
#include "adb_wire.h"

namespace phonesim {
namespace {

using adbwire::sendFail;
using adbwire::sendOkay;
using adbwire::sendOkayPayload;

// A long run (a benchmark) keeps only the recent requests.
constexpr size_t kMaxRequestsKept = 4096;

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

std::string transportIdBytes(uint32_t id) {
    std::string bytes;
    adbwire::putLe32(bytes, id);
    adbwire::putLe32(bytes, 0);
    return bytes;
}

}  // namespace

AdbServer::AdbServer(int version) : m_version(version) {
    m_controlThread = std::thread([this] { controlLoop(); });
}

AdbServer::~AdbServer() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_quit = true;
    }
    m_control.notify_all();
    m_controlThread.join();
    stop();
    // A test may keep a phone past its server: its changes reach nobody now.
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& [serial, phone] : m_phones) {
        phone->setOnChange(nullptr);
    }
}

bool AdbServer::start(uint16_t port) {
    std::lock_guard<std::mutex> life(m_lifeMutex);
    if (m_running) {
        return true;
    }
    if (port == 0) {
        port = m_lastPort;
    }
    bool restarted = m_lastPort != 0;
    if (!m_server.start(port, [this](int fd) { serve(fd); })) {
        return false;
    }
    m_lastPort = m_server.port();
    m_running = true;
    if (restarted) {
        rediscoverPhones();
    }
    return true;
}

void AdbServer::stop() {
    std::lock_guard<std::mutex> life(m_lifeMutex);
    m_server.stop();
    std::map<std::string, std::unique_ptr<AdbForward>> forwards;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        forwards.swap(m_forwards);
        m_running = false;
    }
    forwards.clear();  // joins the relays outside the lock
    m_control.notify_all();
}

bool AdbServer::waitStopped(std::chrono::milliseconds deadline) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_control.wait_for(lock, deadline, [this] { return !m_running.load(); });
}

int AdbServer::killCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_kills;
}

void AdbServer::addPhone(AdbPhoneConfig config) {
    std::shared_ptr<AdbPhone> phone;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        phone = std::make_shared<AdbPhone>(std::move(config), m_nextTransportId++);
        m_phones[phone->serial()] = phone;
    }
    phone->setOnChange([this] { phonesChanged(); });
    phonesChanged();
}

void AdbServer::setRediscoveryDelay(std::chrono::milliseconds delay) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_rediscoveryDelay = delay;
}

bool AdbServer::authorize(const std::string& serial) {
    std::shared_ptr<AdbPhone> found = phone(serial);
    if (found) {
        found->authorize();
    }
    return found != nullptr;
}

bool AdbServer::attachNow(const std::string& serial) {
    std::shared_ptr<AdbPhone> found = phone(serial);
    if (found) {
        found->attachNow();
    }
    return found != nullptr;
}

int AdbServer::trackers() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<int>(m_trackers.size());
}

void AdbServer::phonesChanged() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_timingGeneration;
        for (const auto& [id, wake] : m_trackers) {
            uint64_t one = 1;
            (void)!write(wake, &one, sizeof(one));
        }
    }
    m_control.notify_all();
}

void AdbServer::rediscoverPhones() {
    std::vector<std::shared_ptr<AdbPhone>> phones;
    std::chrono::milliseconds delay;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const auto& [serial, phone] : m_phones) {
            phones.push_back(phone);
        }
        delay = m_rediscoveryDelay;
    }
    for (const auto& phone : phones) {
        phone->attachNow(delay);
    }
}

void AdbServer::endTrackersLocked() {
    ++m_trackerEpoch;
    for (const auto& [id, wake] : m_trackers) {
        uint64_t one = 1;
        (void)!write(wake, &one, sizeof(one));
    }
}

void AdbServer::setPhoneTemplate(std::optional<AdbPhoneConfig> config) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_template = std::move(config);
}

bool AdbServer::removePhone(const std::string& serial) {
    std::vector<std::unique_ptr<AdbForward>> gone;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto found = m_phones.find(serial);
        if (found == m_phones.end()) {
            return false;
        }
        found->second->setOnChange(nullptr);
        m_phones.erase(found);
        // An unplugged phone takes its forwards with it.
        takeForwardsLocked(serial, gone);
    }
    phonesChanged();
    return true;
}

std::shared_ptr<AdbPhone> AdbServer::phone(const std::string& serial) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_phones.find(serial);
    return it == m_phones.end() ? nullptr : it->second;
}

std::vector<std::string> AdbServer::requests() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests;
}

void AdbServer::requestKill() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_kills;
        m_killPending = true;
    }
    m_control.notify_all();
}

void AdbServer::controlLoop() {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        // The next moment a phone changes state by itself (reaches the list,
        // ends its offline time): the followers of the list hear of it then.
        std::optional<std::chrono::steady_clock::time_point> next;
        for (const auto& [serial, phone] : m_phones) {
            auto at = phone->nextChange();
            if (at && (!next || *at < *next)) {
                next = at;
            }
        }
        uint64_t generation = m_timingGeneration;
        auto woken = [&] { return m_quit || m_killPending || m_timingGeneration != generation; };
        bool event =
            next ? m_control.wait_until(lock, *next, woken) : (m_control.wait(lock, woken), true);
        if (m_quit) {
            return;
        }
        if (!event) {
            for (const auto& [id, wake] : m_trackers) {
                uint64_t one = 1;
                (void)!write(wake, &one, sizeof(one));
            }
            continue;
        }
        if (m_killPending) {
            m_killPending = false;
            lock.unlock();
            stop();
            lock.lock();
        }
    }
}

AdbServer::Selected AdbServer::select(const std::string& which) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Selected selected;
    if (which == "any" || which == "usb") {
        if (m_phones.empty()) {
            selected.error = "no devices/emulators found";
        } else if (m_phones.size() > 1) {
            selected.error = "more than one device/emulator";
        } else {
            selected.phone = m_phones.begin()->second;
        }
        return selected;
    }
    if (which == "local") {
        selected.error = "no emulators found";
        return selected;
    }
    auto it = m_phones.find(which);
    if (it == m_phones.end() && m_template) {
        AdbPhoneConfig config = *m_template;
        config.serial = which;
        config.properties["ro.serialno"] = which;
        it = m_phones
                 .emplace(which, std::make_shared<AdbPhone>(std::move(config), m_nextTransportId++))
                 .first;
    }
    if (it == m_phones.end() || it->second->state().empty()) {
        selected.error = "device '" + which + "' not found";
    } else {
        selected.phone = it->second;
    }
    return selected;
}

std::string AdbServer::devicesText(bool longForm) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::string text;
    for (const auto& [serial, phone] : m_phones) {
        std::string state = phone->state();
        if (state.empty()) {
            continue;  // not found by the server yet
        }
        if (!longForm) {
            text += serial + "\t" + state + "\n";
            continue;
        }
        char head[128];
        std::snprintf(head, sizeof(head), "%-22s %s", serial.c_str(), state.c_str());
        text += head;
        text += " " + phone->describe() + " transport_id:" + std::to_string(phone->transportId()) +
                "\n";
    }
    return text;
}

void AdbServer::serve(int fd) {
    std::shared_ptr<AdbPhone> transport;
    std::string request;
    // A connection carries host requests until one of them selects a phone;
    // the next request is then a service of that phone.
    while (adbwire::readRequest(fd, request)) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_requests.size() >= kMaxRequestsKept) {
                m_requests.erase(m_requests.begin(), m_requests.begin() + kMaxRequestsKept / 2);
            }
            m_requests.push_back(request);
        }
        if (transport) {
            servePhone(fd, request, *transport);
            return;
        }
        if (!serveHost(fd, request, transport)) {
            return;
        }
    }
}

// Returns true when the connection goes on (a transport was selected).
bool AdbServer::serveHost(int fd, const std::string& request,
                          std::shared_ptr<AdbPhone>& transport) {
    std::string serial;  // the phone named by a host-serial: prefix
    std::string service = request;
    if (startsWith(request, "host-serial:")) {
        // host-serial:SERIAL:service; a serial may itself hold ':' (tcp ones),
        // so the service is what follows the last known separator.
        size_t end = request.rfind(':');
        for (const char* name : {":features", ":forward:", ":killforward:", ":get-state",
                                 ":get-serialno", ":list-forward"}) {
            size_t at = request.find(name, 12);
            if (at != std::string::npos) {
                end = at;
                break;
            }
        }
        serial = request.substr(12, end - 12);
        service = "host:" + request.substr(end + 1);
    } else if (!startsWith(request, "host:")) {
        sendFail(fd, "unknown host service");
        return false;
    }
    const std::string what = service.substr(5);

    if (what == "version") {
        char text[8];
        std::snprintf(text, sizeof(text), "%04x", m_version & 0xffff);
        sendOkayPayload(fd, text);
    } else if (what == "kill") {
        sendOkay(fd);
        if (m_restartAfterKill) {
            // A new server in its place at once: the forwards are gone, the
            // listener stays, so no caller can find the port closed.
            std::map<std::string, std::unique_ptr<AdbForward>> forwards;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                ++m_kills;
                forwards.swap(m_forwards);
                endTrackersLocked();
            }
            rediscoverPhones();
        } else {
            requestKill();
        }
    } else if (what == "devices" || what == "devices-l") {
        sendOkayPayload(fd, devicesText(what == "devices-l"));
    } else if (what == "track-devices") {
        serveTrackDevices(fd);
    } else if (what == "features" || what == "get-state" || what == "get-serialno") {
        Selected selected = select(serial.empty() ? "any" : serial);
        if (!selected.phone) {
            sendFail(fd, selected.error);
        } else if (what == "features") {
            sendOkayPayload(fd, "");  // no shell_v2: the client uses the raw shell and push
        } else {
            sendOkayPayload(
                fd, what == "get-state" ? selected.phone->state() : selected.phone->serial());
        }
    } else if (what == "host-features") {
        sendOkayPayload(fd, "push_sync,cmd");
    } else if (what == "list-forward") {
        sendOkayPayload(fd, forwardList());
    } else if (startsWith(what, "tport:") || startsWith(what, "transport")) {
        std::string which;
        if (startsWith(what, "tport:serial:")) {
            which = what.substr(13);
        } else if (startsWith(what, "transport:")) {
            which = what.substr(10);
        } else {
            which = what == "tport:usb" || what == "transport-usb" ? "usb" : "any";
        }
        Selected selected = select(which);
        if (selected.phone && selected.phone->state() != "device") {
            selected.error =
                selected.phone->state() == "unauthorized"
                    ? "device unauthorized.\nThis adb server's $ADB_VENDOR_KEYS is not "
                      "set\nTry 'adb kill-server' if that seems wrong.\nOtherwise check "
                      "for a confirmation dialog on your device."
                    : "device offline";
            selected.phone.reset();
        }
        if (!selected.phone) {
            sendFail(fd, selected.error);
            return false;
        }
        sendOkay(fd);
        if (startsWith(what, "tport:")) {
            sendAll(fd, transportIdBytes(selected.phone->transportId()));
        }
        transport = selected.phone;
        return true;
    } else if (startsWith(what, "forward:") || startsWith(what, "killforward")) {
        Selected selected = select(serial.empty() ? "any" : serial);
        if (!selected.phone) {
            sendFail(fd, selected.error);
        } else if (startsWith(what, "forward:")) {
            serveForward(fd, selected.phone->serial(), what.substr(8));
        } else {
            serveKillForward(fd, selected.phone->serial(), what);
        }
    } else {
        sendFail(fd, "unknown host service");
    }
    return false;
}

void AdbServer::servePhone(int fd, const std::string& request, AdbPhone& phone) {
    if (startsWith(request, "shell:")) {
        ShellResult result = phone.runShell(request.substr(6));
        if (result.failed) {
            sendFail(fd, result.failMessage);
            return;
        }
        if (sendOkay(fd)) {
            sendAll(fd, result.output);
        }
    } else if (request == "sync:") {
        if (sendOkay(fd)) {
            serveSync(fd, phone);
        }
    } else if (startsWith(request, "host:forward:") || startsWith(request, "host:killforward")) {
        // Forwards named through a transport (what the client sends with -s).
        if (startsWith(request, "host:forward:")) {
            serveForward(fd, phone.serial(), request.substr(13));
        } else {
            serveKillForward(fd, phone.serial(), request.substr(5));
        }
    } else if (startsWith(request, "host:")) {
        std::shared_ptr<AdbPhone> unused;
        serveHost(fd, request, unused);
    } else {
        sendFail(fd, "closed");
    }
}

}  // namespace phonesim

namespace phonesim {

// The whole list at once, then again at every change, until the client
// closes the connection or the server exits (or, with setRestartAfterKill,
// is killed).
void AdbServer::serveTrackDevices(int fd) {
    if (!sendOkay(fd)) {
        return;
    }
    int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0) {
        return;
    }
    uint64_t id = 0;
    uint64_t epoch = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        id = m_nextTracker++;
        epoch = m_trackerEpoch;
        m_trackers[id] = wake;
    }
    std::string sent;
    bool first = true;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_trackerEpoch != epoch) {
                break;
            }
        }
        // The real server does not send its list again when a phone turns
        // "unauthorized" (only when it comes online or goes), so followers
        // of the list see such a phone "offline" until it is accepted.
        std::string list = devicesText(false);
        for (size_t at = list.find("\tunauthorized\n"); at != std::string::npos;
             at = list.find("\tunauthorized\n", at)) {
            list.replace(at, 14, "\toffline\n");
        }
        if (first || list != sent) {
            if (!adbwire::sendPayload(fd, list)) {
                break;
            }
            sent = list;
            first = false;
        }
        pollfd fds[2] = {{fd, POLLIN, 0}, {wake, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            continue;
        }
        if (fds[0].revents != 0) {
            char ignored[64];
            if (recv(fd, ignored, sizeof(ignored), MSG_DONTWAIT) <= 0) {
                break;  // the client closed, or the server shut the connection down
            }
        }
        if (fds[1].revents != 0) {
            uint64_t count = 0;
            (void)!read(wake, &count, sizeof(count));
        }
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_trackers.erase(id);
    close(wake);
}

}  // namespace phonesim
