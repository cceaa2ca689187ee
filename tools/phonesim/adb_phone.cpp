#include "adb_phone.h"

#include <cstdio>

namespace phonesim {
namespace {

std::string baseName(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A package pushed by a test may start with "package:NAME\n" to say which
// package it holds; otherwise the file name without ".apk" stands for it.
std::string packageOf(const std::string& path, const std::string& content) {
    const std::string tag = "package:";
    if (content.compare(0, tag.size(), tag) == 0) {
        size_t end = content.find('\n');
        return content.substr(tag.size(), end == std::string::npos ? end : end - tag.size());
    }
    std::string name = baseName(path);
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".apk") == 0) {
        name.resize(name.size() - 4);
    }
    return name;
}

std::string sanitizeForListing(const std::string& text) {
    std::string out = text;
    for (char& c : out) {
        bool keep = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                    c == '-' || c == '.';
        if (!keep) {
            c = '_';
        }
    }
    return out;
}

}  // namespace

AdbPhoneConfig makeDefaultPhone(const std::string& serial) {
    AdbPhoneConfig config;
    config.serial = serial;
    config.properties = {
        {"dalvik.vm.heapsize", "512m"},
        {"dalvik.vm.isa.arm64.variant", "cortex-a53"},
        {"gsm.network.type", "LTE"},
        {"gsm.operator.alpha", "Orq Mobile"},
        {"gsm.sim.state", "READY"},
        {"init.svc.adbd", "running"},
        {"init.svc.bootanim", "stopped"},
        {"net.bt.name", "Android"},
        {"persist.sys.locale", "en-US"},
        {"persist.sys.timezone", "Europe/Paris"},
        {"persist.sys.usb.config", "mtp,adb"},
        {"ro.board.platform", "msm8953"},
        {"ro.boot.serialno", serial},
        {"ro.bootloader", "unknown"},
        {"ro.build.characteristics", "default"},
        {"ro.build.date", "Tue Mar 3 10:12:01 CST 2020"},
        {"ro.build.description", "orq_x1-user 10 QKQ1.191014.001 V11.0.3 release-keys"},
        {"ro.build.display.id", "QKQ1.191014.001 release-keys"},
        {"ro.build.fingerprint", "Orq/orq_x1/x1:10/QKQ1.191014.001/V11.0.3:user/release-keys"},
        {"ro.build.id", "QKQ1.191014.001"},
        {"ro.build.tags", "release-keys"},
        {"ro.build.type", "user"},
        {"ro.build.vela.version", "4.5"},
        {"ro.build.version.incremental", "V11.0.3"},
        {"ro.build.version.release", "10"},
        {"ro.build.version.sdk", "29"},
        {"ro.build.version.security_patch", "2020-02-01"},
        {"ro.hardware", "qcom"},
        {"ro.product.board", "msm8953"},
        {"ro.product.brand", "Orq"},
        {"ro.product.cpu.abi", "arm64-v8a"},
        {"ro.product.device", "x1"},
        {"ro.product.locale", "en-US"},
        {"ro.product.manufacturer", "Orq"},
        {"ro.product.model", "Orq X1"},
        {"ro.product.name", "orq_x1"},
        {"ro.product.version", "V11.0.3.0"},
        {"ro.secure", "1"},
        {"ro.serialno", serial},
        {"sys.usb.config", "mtp,adb"},
        {"sys.usb.state", "mtp,adb"},
        {"wifi.interface", "wlan0"},
    };
    return config;
}

AdbPhone::AdbPhone(AdbPhoneConfig config, uint32_t transportId)
    : m_config(std::move(config)),
      m_transportId(transportId),
      m_added(std::chrono::steady_clock::now()),
      m_attached(m_added) {}

uint16_t AdbPhone::servicePort(uint16_t phonePort) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_config.servicePorts.find(phonePort);
    return it == m_config.servicePorts.end() ? 0 : it->second;
}

std::string AdbPhone::describe() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto prop = [&](const char* key) {
        auto it = m_config.properties.find(key);
        return it == m_config.properties.end() ? std::string() : it->second;
    };
    std::string text = m_config.devpath;
    auto add = [&](const char* tag, const std::string& value, bool sanitize) {
        if (!value.empty()) {
            text += std::string(" ") + tag + (sanitize ? sanitizeForListing(value) : value);
        }
    };
    add("product:", prop("ro.product.name"), false);
    add("model:", prop("ro.product.model"), true);
    add("device:", prop("ro.product.device"), false);
    return text;
}

bool AdbPhone::bootCompletedNow() const {
    return m_config.bootCompleted && m_getpropListsServed > m_config.bootCompletedAfterGetprops &&
           std::chrono::steady_clock::now() - m_added >= m_config.bootDelay;
}

std::string AdbPhone::getpropList() {
    ++m_getpropListsServed;
    std::map<std::string, std::string> properties = m_config.properties;
    if (bootCompletedNow()) {
        properties["sys.boot_completed"] = "1";
    }
    std::string out;
    for (const auto& [key, value] : properties) {
        out += "[" + key + "]: [" + value + "]\r\n";
    }
    return out;
}

std::string AdbPhone::netstat() const {
    std::set<uint16_t> ports = m_config.listeningPorts;
    for (const auto& [phonePort, target] : m_config.servicePorts) {
        (void)target;
        ports.insert(phonePort);
    }
    std::string out =
        "Proto Recv-Q Send-Q Local Address          Foreign Address        State\r\n"
        "tcp        0      0 127.0.0.1:5037         0.0.0.0:*              LISTEN\r\n";
    for (uint16_t port : ports) {
        char line[128];
        std::snprintf(line, sizeof(line),
                      "tcp        0      0 %-22s 0.0.0.0:*              LISTEN\r\n",
                      ("127.0.0.1:" + std::to_string(port)).c_str());
        out += line;
    }
    out += "udp        0      0 0.0.0.0:68             0.0.0.0:*\r\n";
    return out;
}

std::string AdbPhone::runPm(const std::vector<std::string>& words) {
    const std::string verb = words.size() > 1 ? words[1] : "";
    if (verb == "install" && words.size() > 2) {
        const std::string& path = words.back();
        auto file = m_files.find(path);
        if (file == m_files.end()) {
            return "\tpkg: " + path + "\r\nFailure [INSTALL_FAILED_INVALID_URI]\r\n";
        }
        m_config.packages.insert(packageOf(path, file->second));
        return "\tpkg: " + path + "\r\nSuccess\r\n";
    }
    if (verb == "uninstall" && words.size() > 2) {
        if (m_config.packages.erase(words.back()) == 0) {
            return "Failure [DELETE_FAILED_INTERNAL_ERROR]\r\n";
        }
        return "Success\r\n";
    }
    if (verb == "list" && words.size() > 2 && words[2] == "packages") {
        std::string out;
        for (const std::string& name : m_config.packages) {
            out += "package:" + name + "\r\n";
        }
        return out;
    }
    return "Error: unknown command '" + verb + "'\r\n";
}

std::string AdbPhone::runAm(const std::vector<std::string>& words) const {
    const std::string verb = words.size() > 1 ? words[1] : "";
    auto optionValue = [&](const std::string& option) {
        for (size_t i = 2; i + 1 < words.size(); ++i) {
            if (words[i] == option) {
                return words[i + 1];
            }
        }
        return std::string();
    };
    if (verb == "startservice") {
        std::string component = optionValue("-n");
        std::string package = component.substr(0, component.find('/'));
        if (m_config.packages.count(package) == 0) {
            return "Starting service: Intent { cmp=" + component +
                   " }\r\nError: Not found; no service started.\r\n";
        }
        return "Starting service: Intent { cmp=" + component + " }\r\n";
    }
    if (verb == "broadcast") {
        return "Broadcasting: Intent { act=" + optionValue("-a") +
               " flg=0x400000 }\r\nBroadcast completed: result=0\r\n";
    }
    return "Error: unknown command '" + verb + "'\r\n";
}

ShellResult AdbPhone::runShell(const std::string& command) {
    ShellResult result;
    if (m_config.shellHandler) {
        if (std::optional<std::string> output = m_config.shellHandler(command)) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_history.push_back(command);
            result.output = std::move(*output);
            return result;
        }
    }
    std::vector<std::string> words = splitShellWords(command);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_history.push_back(command);
    const std::string program = words.empty() ? "" : words[0];
    if (program == "getprop") {
        if (++m_getpropCalls <= m_config.getpropFailures) {
            result.failed = true;
            result.failMessage = "closed";
        } else if (words.size() == 1) {
            result.output = getpropList();
        } else if (words[1] == "sys.boot_completed") {
            result.output = bootCompletedNow() ? "1\r\n" : "\r\n";
        } else {
            auto it = m_config.properties.find(words[1]);
            result.output = (it == m_config.properties.end() ? "" : it->second) + "\r\n";
        }
    } else if (program == "netstat") {
        result.output = netstat();
    } else if (program == "pm") {
        result.output = runPm(words);
    } else if (program == "am") {
        result.output = runAm(words);
    } else if (program == "rm") {
        for (size_t i = 1; i < words.size(); ++i) {
            m_files.erase(words[i]);
        }
    } else if (program == "echo") {
        for (size_t i = 1; i < words.size(); ++i) {
            result.output += (i > 1 ? " " : "") + words[i];
        }
        result.output += "\r\n";
    } else if (!program.empty()) {
        result.output = "/system/bin/sh: " + program + ": not found\r\n";
    }
    return result;
}

bool AdbPhone::hasFile(const std::string& path) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_files.count(path) != 0;
}

size_t AdbPhone::fileSize(const std::string& path) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_files.find(path);
    return it == m_files.end() ? 0 : it->second.size();
}

void AdbPhone::storeFile(const std::string& path, std::string content) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_files[path] = std::move(content);
}

int AdbPhone::getpropCalls() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_getpropCalls;
}

std::vector<std::string> AdbPhone::shellHistory() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_history;
}

std::set<std::string> AdbPhone::packages() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_config.packages;
}

void AdbPhone::setListening(uint16_t port, bool listening) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (listening) {
        m_config.listeningPorts.insert(port);
    } else {
        m_config.listeningPorts.erase(port);
    }
}

std::string AdbPhone::state() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto now = std::chrono::steady_clock::now();
    auto listed = m_attached + m_config.listedAfter;
    if (now < listed) {
        return "";
    }
    if (now < listed + m_config.offlineFor) {
        return "offline";
    }
    return m_config.authorized ? m_config.state : "unauthorized";
}

std::optional<std::chrono::steady_clock::time_point> AdbPhone::nextChange() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto now = std::chrono::steady_clock::now();
    auto listed = m_attached + m_config.listedAfter;
    if (now < listed) {
        return listed;
    }
    if (now < listed + m_config.offlineFor) {
        return listed + m_config.offlineFor;
    }
    return std::nullopt;
}

void AdbPhone::attachNow(std::optional<std::chrono::milliseconds> listedAfter) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_attached = std::chrono::steady_clock::now();
        if (listedAfter) {
            m_config.listedAfter = *listedAfter;
        }
    }
    changed();
}

void AdbPhone::authorize() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_config.authorized = true;
    }
    changed();
}

void AdbPhone::setOnChange(std::function<void()> onChange) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_onChange = std::move(onChange);
}

void AdbPhone::changed() {
    std::function<void()> onChange;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        onChange = m_onChange;
    }
    if (onChange) {
        onChange();
    }
}

void AdbPhone::setState(const std::string& state) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_config.state = state;
    }
    changed();
}

std::vector<std::string> splitShellWords(const std::string& line) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    char quote = 0;
    for (size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (quote != 0) {
            if (c == quote) {
                quote = 0;
            } else if (c == '\\' && quote == '"' && i + 1 < line.size()) {
                word += line[++i];
            } else {
                word += c;
            }
        } else if (c == '\'' || c == '"') {
            quote = c;
            inWord = true;
        } else if (c == '\\' && i + 1 < line.size()) {
            word += line[++i];
            inWord = true;
        } else if (c == ' ' || c == '\t' || c == '\n') {
            if (inWord) {
                words.push_back(std::move(word));
                word.clear();
                inWord = false;
            }
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord) {
        words.push_back(std::move(word));
    }
    return words;
}

}  // namespace phonesim
