// devicedetect-host: loads the DeviceDetect module the way the sync suite
// does, shows every notification, answers the phones' sync requests and lets
// the user disconnect a phone.
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <utility>

#include "events.h"
#include "loader_port.h"
#include "module_api.h"

namespace {

struct Options {
    std::string moduleDir;
    bool json = false;
    bool autoSync = false;
    double duration = 0;  // seconds; 0 runs until Ctrl-C or "quit"
    int loaderPort = 0;   // 0: the host does not play the loader's HTTP port
};

// Callbacks arrive on the module's threads; they copy what they need and wake
// the main thread, which does all printing and all calls back into the module.
class EventQueue {
  public:
    EventQueue() : m_wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~EventQueue() { close(m_wake); }

    void push(HostEvent event) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_events.push_back(std::move(event));
        }
        uint64_t one = 1;
        (void)!write(m_wake, &one, sizeof(one));
    }
    std::deque<HostEvent> takeAll() {
        uint64_t count = 0;
        (void)!read(m_wake, &count, sizeof(count));
        std::lock_guard<std::mutex> lock(m_mutex);
        return std::exchange(m_events, {});
    }
    int fd() const { return m_wake; }

  private:
    int m_wake;
    std::mutex m_mutex;
    std::deque<HostEvent> m_events;
};

EventQueue* g_queue = nullptr;

// Copies of the records announced with NEW_DEVICE, by serial. The module only
// reads serialno, serverip and adbdeviceport from a record the host hands
// back, and a copy never dangles after REMOVE_DEVICE frees the original.
std::mutex g_recordsMutex;
std::map<std::string, DeviceRecord> g_records;

void onDeviceChange(int32_t code, DeviceRecord* record) {
    HostEvent event = eventFromRecord(code, record);
    if (record != nullptr) {
        std::lock_guard<std::mutex> lock(g_recordsMutex);
        if (code == NEW_DEVICE) {
            DeviceRecord copy = *record;
            copy.cards = nullptr;
            copy.cardcount = 0;
            g_records[event.serialno] = copy;
        } else if (code == REMOVE_DEVICE) {
            g_records.erase(event.serialno);
        }
    }
    event.record = nullptr;
    g_queue->push(std::move(event));
}

void onSyncByDevice(const char16_t* device, int32_t action) {
    HostEvent event;
    event.kind = HostEvent::Kind::SyncRequest;
    event.code = action;
    event.time = eventFromRecord(-1, nullptr).time;
    DeviceRecord scratch{};
    if (device != nullptr) {
        size_t n = 0;
        while (n < 63 && device[n] != 0) {
            scratch.serialno[n] = device[n];
            ++n;
        }
    }
    event.device = eventFromRecord(-1, &scratch).serialno;
    g_queue->push(std::move(event));
}

void usage() {
    std::puts(
        "usage: devicedetect-host [--module-dir DIR] [--json] [--duration SECONDS] [--auto-sync]\n"
        "\n"
        "Loads libDeviceDetect.so, starts phone detection and shows every notification.\n"
        "  --module-dir DIR   folder of the module (default: DEVICEDETECT_MODULE_DIR, else\n"
        "                     ../module beside this program)\n"
        "  --json             one JSON object per line instead of the readable view\n"
        "  --duration S       stop after S seconds (default: run until Ctrl-C)\n"
        "  --auto-sync        answer a phone's sync request by beginning and ending a sync\n"
        "                     (default: tell the module the host is ready)\n"
        "  --loader-port P    play the suite loader's HTTP port on 127.0.0.1:P and show the\n"
        "                     Wi-Fi dispatch requests (set LoaderHttpPort=P in\n"
        "                     orqBRAXLoader.ini)\n"
        "Commands on standard input: list, ready SERIAL, begin SERIAL, end SERIAL,\n"
        "disconnect SERIAL, quit.");
}

bool parseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        if (arg == "--json") {
            options.json = true;
        } else if (arg == "--auto-sync") {
            options.autoSync = true;
        } else if (arg == "--module-dir") {
            const char* v = value();
            if (v == nullptr)
                return false;
            options.moduleDir = v;
        } else if (arg == "--loader-port") {
            const char* v = value();
            if (v == nullptr)
                return false;
            options.loaderPort = std::atoi(v);
            if (options.loaderPort <= 0 || options.loaderPort > 65535)
                return false;
        } else if (arg == "--duration") {
            const char* v = value();
            if (v == nullptr)
                return false;
            options.duration = std::atof(v);
        } else {
            return false;
        }
    }
    return true;
}

std::string defaultModuleDir(const char* argv0) {
    if (const char* env = std::getenv("DEVICEDETECT_MODULE_DIR"); env != nullptr && *env != 0) {
        return env;
    }
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    std::string exe = n > 0 ? std::string(self, static_cast<size_t>(n)) : std::string(argv0);
    size_t cut = exe.find_last_of('/');
    std::string dir = cut == std::string::npos ? "." : exe.substr(0, cut);
    return dir + "/../module";
}

class Host {
  public:
    Host(const Options& options, ModuleApi& api) : m_options(options), m_api(api) {}

    void show(const HostEvent& event) {
        std::string line = m_options.json ? formatJson(event) : formatReadable(event);
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    }

    void message(const std::string& text) {
        if (m_options.json) {
            std::printf("{\"event\":\"HOST\",\"message\":\"%s\"}\n", text.c_str());
        } else {
            std::printf("%s\n", text.c_str());
        }
        std::fflush(stdout);
    }

    // Runs one export on a copy of the record announced for serial.
    void withRecord(const std::string& serial, const char* what, int32_t (*call)(DeviceRecord*)) {
        DeviceRecord copy{};
        {
            std::lock_guard<std::mutex> lock(g_recordsMutex);
            auto it = g_records.find(serial);
            if (it == g_records.end()) {
                message(std::string("no ready phone with serial ") + serial);
                return;
            }
            copy = it->second;
        }
        int32_t ret = call(&copy);
        message(std::string(what) + " " + serial + (ret == 0 ? ": ok" : ": failed"));
    }

    void onSyncRequest(const HostEvent& event) {
        std::string serial = serialForDevice(event.device);
        if (serial.empty() || event.code != START_SYNC) {
            return;
        }
        if (m_options.autoSync) {
            withRecord(serial, "sync begin", m_api.deviceSyncBegin);
            withRecord(serial, "sync end", m_api.deviceSyncEnd);
        } else {
            withRecord(serial, "ready to sync", m_api.deviceReadyToSync);
        }
    }

    // The phone names itself by its own device text; fall back to the only
    // ready phone when the text is not a serial we know.
    std::string serialForDevice(const std::string& device) {
        std::lock_guard<std::mutex> lock(g_recordsMutex);
        if (g_records.count(device) != 0) {
            return device;
        }
        return g_records.size() == 1 ? g_records.begin()->first : std::string();
    }

    // Returns false on "quit".
    bool command(const std::string& line) {
        std::istringstream in(line);
        std::string verb, serial;
        in >> verb >> serial;
        if (verb.empty()) {
            return true;
        }
        if (verb == "quit" || verb == "q") {
            return false;
        }
        if (verb == "list") {
            std::lock_guard<std::mutex> lock(g_recordsMutex);
            message(std::to_string(g_records.size()) + " ready phone(s)");
            for (const auto& [key, record] : g_records) {
                (void)record;
                message("  " + key);
            }
        } else if (verb == "disconnect") {
            withRecord(serial, "disconnect", m_api.disconnectDevice);
        } else if (verb == "ready") {
            withRecord(serial, "ready to sync", m_api.deviceReadyToSync);
        } else if (verb == "begin") {
            withRecord(serial, "sync begin", m_api.deviceSyncBegin);
        } else if (verb == "end") {
            withRecord(serial, "sync end", m_api.deviceSyncEnd);
        } else {
            message("unknown command: " + verb + " (list, ready, begin, end, disconnect, quit)");
        }
        return true;
    }

  private:
    const Options& m_options;
    ModuleApi& m_api;
};

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parseOptions(argc, argv, options)) {
        usage();
        return 2;
    }
    if (options.moduleDir.empty()) {
        options.moduleDir = defaultModuleDir(argv[0]);
    }

    // Ctrl-C is taken through a signalfd; the module's threads inherit the mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    int signalFd = signalfd(-1, &signals, SFD_CLOEXEC);
    signal(SIGPIPE, SIG_IGN);

    EventQueue queue;
    g_queue = &queue;
    ModuleApi api;
    if (!api.load(options.moduleDir)) {
        std::fprintf(stderr, "devicedetect-host: %s\n", api.error().c_str());
        return 2;
    }
    if (api.initDetect() != 0) {
        std::fprintf(stderr,
                     "devicedetect-host: another DeviceDetect instance is already running on "
                     "this machine; not starting.\n");
        return 3;
    }
    api.setDeviceChangeCallBack(&onDeviceChange);
    api.setSyncByDevCallBack(&onSyncByDevice);
    if (api.startDetect() != 0) {
        std::fprintf(stderr, "devicedetect-host: the module refused to start detection.\n");
        return 4;
    }

    LoaderPort loader;
    if (options.loaderPort != 0 &&
        !loader.start(static_cast<uint16_t>(options.loaderPort),
                      [](const std::string& method, const std::string& target) {
                          HostEvent event;
                          event.kind = HostEvent::Kind::LoaderRequest;
                          event.time = eventFromRecord(-1, nullptr).time;
                          event.device = method + " " + target;
                          g_queue->push(std::move(event));
                      })) {
        std::fprintf(stderr, "devicedetect-host: cannot listen on 127.0.0.1:%d: %s\n",
                     options.loaderPort, std::strerror(errno));
    }

    Host host(options, api);
    host.message("DeviceDetect started (module " + options.moduleDir + "); Ctrl-C stops.");
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::milliseconds(static_cast<long>(options.duration * 1000));
    bool stdinOpen = isatty(STDIN_FILENO) || options.duration == 0;
    std::string pending;
    bool running = true;
    while (running) {
        int timeout = -1;
        if (options.duration > 0) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                break;
            }
            timeout = static_cast<int>(left.count());
        }
        pollfd fds[3] = {{signalFd, POLLIN, 0},
                         {queue.fd(), POLLIN, 0},
                         {stdinOpen ? STDIN_FILENO : -1, POLLIN, 0}};
        if (poll(fds, 3, timeout) < 0) {
            continue;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            host.message("stopping.");
            break;
        }
        if ((fds[1].revents & POLLIN) != 0) {
            for (const HostEvent& event : queue.takeAll()) {
                host.show(event);
                if (event.kind == HostEvent::Kind::SyncRequest) {
                    host.onSyncRequest(event);
                }
            }
        }
        if ((fds[2].revents & (POLLIN | POLLHUP)) != 0) {
            char buffer[512];
            ssize_t n = read(STDIN_FILENO, buffer, sizeof(buffer));
            if (n <= 0) {
                stdinOpen = false;  // end of input: keep running until Ctrl-C or the duration
                continue;
            }
            pending.append(buffer, static_cast<size_t>(n));
            for (size_t eol; running && (eol = pending.find('\n')) != std::string::npos;) {
                running = host.command(pending.substr(0, eol));
                pending.erase(0, eol + 1);
            }
        }
    }
    api.stopDetect();
    api.unload();  // waits for the module's threads
    for (const HostEvent& event : queue.takeAll()) {
        host.show(event);
    }
    close(signalFd);
    return 0;
}
