// devicedetect-host: loads the DeviceDetect module the way the sync suite
// does, shows every notification, answers the phones' sync requests and lets
// the user disconnect a phone.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "brew_store_view.h"
#include "event_queue.h"
#include "events.h"
#include "host_options.h"
#include "loader_port.h"
#include "machine_notes.h"
#include "module_api.h"
#include "platform/handle_wait.h"
#include "platform/interrupt_signal.h"
#include "platform/paths.h"
#include "platform/program_files.h"
#include "platform/regular_file.h"
#include "platform/standard_input.h"
#include "ready_phones.h"
#include "served_phones.h"
#include "system_check.h"

namespace {

// A command is a verb and a serial; anything longer is not one.
constexpr size_t kMaxCommandLine = 1024;

using Options = HostOptions;

// Windows names folders with either slash.
#ifdef _WIN32
constexpr const char* kFolderSeparators = "/\\";
#else
constexpr const char* kFolderSeparators = "/";
#endif

// Callbacks arrive on the module's threads; they copy what they need and wake
// the main thread, which does all printing and all calls back into the module.
HostEventQueue* g_queue = nullptr;

// The ready phones, kept up to date in the callback itself: a device change
// the queue has to drop still counts here.
ReadyPhones g_phones;

// The module calls these through its own callback types (QX_CALL).
void QX_CALL onDeviceChange(int32_t code, DeviceRecord* record) {
    HostEvent event = eventFromRecord(code, record);
    if (record != nullptr) {
        g_phones.onDeviceChange(code, *record);
    }
    event.record = nullptr;
    g_queue->push(std::move(event));
}

void QX_CALL onSyncByDevice(const char16_t* device, int32_t action) {
    g_queue->push(eventFromSyncRequest(device, action));
}

std::string defaultModuleDir(const char* argv0) {
    if (const char* env = std::getenv("DEVICEDETECT_MODULE_DIR"); env != nullptr && *env != 0) {
        return env;
    }
    std::string exe = dd::platform::executablePath();
    if (exe.empty()) {
        exe = argv0;
    }
    size_t cut = exe.find_last_of(kFolderSeparators);
    std::string dir = cut == std::string::npos ? "." : exe.substr(0, cut);
    // The build tree keeps the module folder beside bin/; an installed host
    // finds it where the installation put it.
    std::string built = dir + "/../module";
#ifdef DD_HOST_MODULE_RELDIR
    if (!dd::platform::pathExists(
            dd::platform::joinPath(built, dd::platform::sharedLibraryName("DeviceDetect")))) {
        return dir + "/" DD_HOST_MODULE_RELDIR;
    }
#endif
    return built;
}

class Host {
  public:
    Host(const Options& options, ModuleApi& api) : m_options(options), m_api(api) {}

    void show(const HostEvent& event) {
        std::string line = m_options.json ? formatJson(event) : formatReadable(event);
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
        if (event.kind != HostEvent::Kind::DeviceChange) {
            return;
        }
        if (m_served.unservedRemoval(event.code, event.serialno, event.vid)) {
            // A phone that left without ever being ready: say why rather than
            // let it pass in silence.
            message("why " + event.serialno + " was not served: " +
                    explainPhone(m_options.moduleDir, event.vid, event.pid, event.serialno));
        }
    }

    void message(const std::string& text) {
        std::printf("%s\n", formatHostMessage(text, m_options.json).c_str());
        std::fflush(stdout);
    }

    // Runs one export on a copy of the record announced for serial.
    // call has the exports' own type (QX_CALL), as ModuleApi holds them.
    using RecordCall = decltype(ModuleApi::deviceReadyToSync);
    void withRecord(const std::string& serial, const char* what, RecordCall call) {
        std::optional<DeviceRecord> copy = g_phones.find(serial);
        if (!copy) {
            message(std::string("no ready phone with serial ") + serial);
            return;
        }
        int32_t ret = call(&*copy);
        message(std::string(what) + " " + serial + (ret == 0 ? ": ok" : ": failed"));
    }

    // A request is acted on only for the phone its text names: any phone
    // can send any text, so a text that names no ready phone must not pick
    // one (it is shown, and said to be left alone).
    void onSyncRequest(const HostEvent& event) {
        if (event.code != START_SYNC) {
            return;
        }
        if (!g_phones.namedBy(event.device)) {
            message("sync request from \"" + event.device +
                    "\" names no ready phone; not acted on");
            return;
        }
        if (m_options.autoSync) {
            withRecord(event.device, "sync begin", m_api.deviceSyncBegin);
            withRecord(event.device, "sync end", m_api.deviceSyncEnd);
        } else {
            withRecord(event.device, "ready to sync", m_api.deviceReadyToSync);
        }
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
            std::vector<std::string> serials = g_phones.serials();
            message(std::to_string(serials.size()) + " ready phone(s)");
            for (const std::string& serial : serials) {
                message("  " + serial);
            }
            if (m_brew != nullptr) {
                message(std::to_string(m_brew->phones().size()) + " BREW phone(s)");
                for (const auto& [imei, phone] : m_brew->phones()) {
                    message("  " + imei + " " + phone.model + " " + phone.commport);
                }
            }
        } else if (verb == "disconnect") {
            if (!disconnectBrewPhone(serial)) {
                withRecord(serial, "disconnect", m_api.disconnectDevice);
            }
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

    // A BREW phone is never announced with a record: the module knows it by
    // its IMEI, so the disconnect goes out on a record that carries only that.
    bool disconnectBrewPhone(const std::string& imei) {
        if (m_brew == nullptr || m_brew->phones().count(imei) == 0) {
            return false;
        }
        DeviceRecord record{};
        for (size_t i = 0; i < imei.size() && i + 1 < std::size(record.serialno); ++i) {
            record.serialno[i] = static_cast<unsigned char>(imei[i]);
        }
        int32_t ret = m_api.disconnectDevice(&record);
        message("disconnect " + imei + (ret == 0 ? ": ok" : ": failed"));
        return true;
    }

    // BREW phones come and go in the detected-device store.
    void watchBrewPhones(BrewStoreView* view) { m_brew = view; }
    void showBrewChanges() {
        for (const BrewChange& change : m_brew->refresh()) {
            std::printf(
                "%s\n",
                (m_options.json ? formatBrewJson(change) : formatBrewReadable(change)).c_str());
        }
        std::fflush(stdout);
    }

  private:
    const Options& m_options;
    ModuleApi& m_api;
    ServedPhones m_served;
    BrewStoreView* m_brew = nullptr;
};

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (int status = parseHostOptions(argc, argv, defaultModuleDir(argv[0]), options);
        status >= 0) {
        return status;
    }
    if (options.moduleDir.empty()) {
        options.moduleDir = defaultModuleDir(argv[0]);
    }
    options.moduleDir = dd::platform::absolutePath(options.moduleDir);
    if (options.check) {
        bool good = true;
        for (const CheckLine& line : checkSystem(options.moduleDir)) {
            std::printf("%s\n",
                        (options.json ? formatCheckJson(line) : formatCheckLine(line)).c_str());
            good = good && (line.kind == CheckLine::Kind::Ok || line.kind == CheckLine::Kind::Info);
        }
        return good ? 0 : 1;
    }

    // Ctrl-C is taken over before the module starts a thread.
    dd::platform::InterruptSignal interrupt;

    HostEventQueue queue;
    g_queue = &queue;
    ModuleApi api;
    if (!api.load(options.moduleDir)) {
        std::fprintf(stderr, "devicedetect-host: %s\n", api.error().c_str());
        return 2;
    }
    if (api.initDetect() != 0) {
        // The module says why in its log; its two reasons are told apart here
        // too, since the log may have had nowhere to go.
        std::string folders =
            dd::platform::fallbackFolderProblem(dd::platform::readRuntimePaths(), false);
        if (!folders.empty()) {
            std::fprintf(stderr, "devicedetect-host: DeviceDetect did not start: %s.\n",
                         printableText(folders).c_str());
        } else {
            std::fprintf(stderr,
                         "devicedetect-host: another DeviceDetect instance is already running on "
                         "this machine; not starting.\n");
        }
        return 3;
    }
    api.setDeviceChangeCallBack(&onDeviceChange);
    api.setSyncByDevCallBack(&onSyncByDevice);
    // Looked at before the start: the module's finder then holds the port.
    std::vector<CheckLine> finder = checkWifiFinder(options.moduleDir);
    if (api.startDetect() != 0) {
        std::fprintf(stderr, "devicedetect-host: the module refused to start detection.\n");
        return 4;
    }

    LoaderPort loader;
    auto onLoaderRequest = [](const std::string& method, const std::string& target) {
        HostEvent event;
        event.kind = HostEvent::Kind::LoaderRequest;
        event.time = eventFromRecord(-1, nullptr).time;
        event.device = method + " " + target;
        g_queue->push(std::move(event));
    };
    std::string loaderProblem;
    if (options.loaderPort != 0 &&
        !loader.start(static_cast<uint16_t>(options.loaderPort), onLoaderRequest, &loaderProblem)) {
        std::fprintf(stderr, "devicedetect-host: cannot listen on 127.0.0.1:%d: %s\n",
                     options.loaderPort, loaderProblem.c_str());
    }

    Host host(options, api);
    host.message("DeviceDetect started (module " + options.moduleDir + "); Ctrl-C stops.");
    dd::platform::RuntimePaths paths = dd::platform::readRuntimePaths();
    paths.moduleDir = options.moduleDir;
    for (const std::string& note : startupNotes(paths, finder)) {
        host.message(note);
    }
    BrewStoreView brewStore(BrewStoreView::defaultDataFolder());
    host.watchBrewPhones(&brewStore);
    host.showBrewChanges();
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::milliseconds(static_cast<long>(options.duration * 1000));
    dd::platform::StandardInput input;
    bool stdinOpen = input.isTerminal() || options.duration == 0;
    std::string pending;
    bool skippingLongLine = false;  // an over-long line is dropped up to its end
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
        dd::platform::NativeHandle handles[4] = {
            interrupt.handle(), queue.wake().native(),
            stdinOpen ? input.handle() : dd::platform::kNoHandle, brewStore.handle()};
        bool ready[4] = {};
        if (dd::platform::waitForHandles(handles, 4, timeout, ready) <= 0) {
            continue;
        }
        if (ready[3]) {
            host.showBrewChanges();
        }
        if (ready[0]) {
            break;
        }
        if (ready[1]) {
            for (const HostEvent& event : queue.takeAll()) {
                host.show(event);
                if (event.kind == HostEvent::Kind::SyncRequest) {
                    host.onSyncRequest(event);
                }
            }
        }
        if (ready[2]) {
            char buffer[512];
            long n = input.read(buffer, sizeof(buffer));
            if (n < 0) {
                continue;  // nothing there after all
            }
            if (n == 0) {
                stdinOpen = false;  // end of input: keep running until Ctrl-C or the duration
                continue;
            }
            pending.append(buffer, static_cast<size_t>(n));
            for (size_t eol; running && (eol = pending.find('\n')) != std::string::npos;) {
                if (skippingLongLine) {
                    skippingLongLine = false;  // the rest of an over-long line
                } else {
                    running = host.command(pending.substr(0, eol));
                }
                pending.erase(0, eol + 1);
            }
            if (pending.size() > kMaxCommandLine) {
                if (!skippingLongLine) {
                    host.message("command line longer than " + std::to_string(kMaxCommandLine) +
                                 " bytes ignored");
                }
                skippingLongLine = true;
                pending.clear();
            }
        }
    }
    host.message("stopping.");
    api.stopDetect();
    api.unload();  // waits for the module's threads
    for (const HostEvent& event : queue.takeAll()) {
        host.show(event);
    }
    host.showBrewChanges();  // the phones' threads took their entries out on the way
    return 0;
}
