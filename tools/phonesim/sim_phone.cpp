#include "sim_phone.h"

#include <sys/stat.h>

#include <fstream>

namespace phonesim {
namespace {

constexpr uint16_t kServicePort = 8182;
constexpr uint16_t kCommandPort = 7890;
constexpr uint16_t kSyncPort = 7990;
constexpr const char* kServicePackage = "com.qx.httpd";

std::string netstatOutput(const std::vector<uint16_t>& ports) {
    std::string out = "Proto Recv-Q Send-Q Local Address          Foreign Address        State\r\n";
    for (uint16_t port : ports) {
        std::string address = "127.0.0.1:" + std::to_string(port);
        address.resize(23, ' ');
        out += "tcp        0      0 " + address + "0.0.0.0:*              LISTEN\r\n";
    }
    return out;
}

}  // namespace

SimPhone::SimPhone(SimPhoneSpec spec)
    : m_spec(std::move(spec)),
      m_service(m_spec.service),
      m_syncListens(std::make_shared<std::atomic<bool>>(m_spec.syncToolListens)) {}

SimPhone::~SimPhone() {
    m_syncTool.stop();
    m_service.stop();
}

bool SimPhone::start() {
    PhoneConfig config = m_spec.service;
    if (config.serialNumber == PhoneConfig{}.serialNumber) {
        config.serialNumber = m_spec.serial;
    }
    m_service.setConfig(config);
    return m_service.start() && m_syncTool.start();
}

void SimPhone::setSyncToolListens(bool listens) {
    m_syncListens->store(listens);
}

bool SimPhone::syncToolListens() const {
    return m_syncListens->load();
}

AdbPhoneConfig SimPhone::adbConfig(AdbServer& server) {
    AdbPhoneConfig config = makeDefaultPhone(m_spec.serial);
    config.properties["ro.product.model"] = m_spec.model;
    config.properties["ro.build.version.release"] = m_spec.androidVersion;
    config.properties["ro.build.version.sdk"] = std::to_string(m_spec.sdk);
    if (!m_spec.velaVersion.empty()) {
        config.properties["ro.build.vela.version"] = m_spec.velaVersion;
    }
    for (const auto& [key, value] : m_spec.properties) {
        config.properties[key] = value;
    }
    config.bootCompleted = m_spec.bootCompleted;
    config.bootDelay = m_spec.bootDelay;
    config.getpropFailures = m_spec.getpropFailures;
    config.devpath = "usb:" + m_spec.port;
    config.listedAfter = m_spec.adbListedAfter;
    config.offlineFor = m_spec.adbOfflineFor;
    config.authorized = !m_spec.adbUnauthorized;
    config.servicePorts = {{kServicePort, m_service.port()},
                           {kCommandPort, m_syncTool.commandPort()},
                           {kSyncPort, m_syncTool.syncPort()}};
    if (m_spec.serviceInstalled) {
        config.packages.insert(kServicePackage);
    }
    // netstat shows the service only once its package is installed and the
    // sync tool only while it listens, so the module sees what a phone shows.
    std::string serial = m_spec.serial;
    config.shellHandler = [listens = m_syncListens, &server,
                           serial](const std::string& command) -> std::optional<std::string> {
        if (command.rfind("netstat", 0) != 0) {
            return std::nullopt;
        }
        std::vector<uint16_t> ports;
        std::shared_ptr<AdbPhone> phone = server.phone(serial);
        if (phone && phone->packages().count(kServicePackage) != 0) {
            ports.push_back(kServicePort);
        }
        if (listens->load()) {
            ports.push_back(kCommandPort);
            ports.push_back(kSyncPort);
        }
        return netstatOutput(ports);
    };
    return config;
}

SimMachine::SimMachine(std::string sysfsRoot, std::string devRoot)
    : m_usb(std::move(sysfsRoot), std::move(devRoot)) {}

SimMachine::~SimMachine() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const auto& phone : m_phones) {
            m_usb.unplug(phone->spec().port);
        }
    }
    m_adb.stop();
    m_phones.clear();
}

bool SimMachine::start(uint16_t adbPort) {
    return m_adb.start(adbPort);
}

SimPhone* SimMachine::plug(const SimPhoneSpec& spec) {
    SimPhone* phone = prepare(spec);
    if (phone == nullptr || !connectUsb(spec.serial)) {
        return nullptr;
    }
    return phone;
}

SimPhone* SimMachine::prepare(const SimPhoneSpec& spec) {
    auto phone = std::make_unique<SimPhone>(spec);
    if (!phone->start()) {
        return nullptr;
    }
    m_adb.addPhone(phone->adbConfig(m_adb));
    std::lock_guard<std::mutex> lock(m_mutex);
    m_phones.push_back(std::move(phone));
    return m_phones.back().get();
}

bool SimMachine::connectUsb(const std::string& serial) {
    SimPhone* prepared = phone(serial);
    if (prepared == nullptr) {
        return false;
    }
    const SimPhoneSpec& spec = prepared->spec();
    FakeUsbDevice device;
    device.port = spec.port;
    device.vid = spec.vid;
    device.pid = spec.pid;
    device.serial = spec.serial;
    device.product = spec.model;
    device.node = spec.deviceNode;
    if (!m_usb.plug(device)) {
        unplug(serial);  // takes the programs down again
        return false;
    }
    m_adb.attachNow(serial);  // adb finds a phone only after its plug
    return true;
}

bool SimMachine::pullUsb(const std::string& serial) {
    SimPhone* found = phone(serial);
    return found != nullptr && m_usb.unplug(found->spec().port);
}

bool SimMachine::unplug(const std::string& serial) {
    std::unique_ptr<SimPhone> gone;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto it = m_phones.begin(); it != m_phones.end(); ++it) {
            if ((*it)->spec().serial == serial) {
                gone = std::move(*it);
                m_phones.erase(it);
                break;
            }
        }
    }
    if (!gone) {
        return false;
    }
    m_usb.unplug(gone->spec().port);
    m_adb.removePhone(serial);
    return true;  // the phone's programs stop as `gone` goes
}

bool SimMachine::finishDriver(const std::string& serial) {
    SimPhone* found = phone(serial);
    if (found == nullptr) {
        return false;
    }
    // Re-plugging with a node is how the fake tree makes one appear; the
    // device keeps its port, so the module sees the same phone.
    std::string node = m_usb.nodePath(found->spec().port);
    if (node.empty()) {
        return false;
    }
    std::ofstream(node).put('\0');
    chmod(node.c_str(), 0666);
    return true;
}

SimPhone* SimMachine::phone(const std::string& serial) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& phone : m_phones) {
        if (phone->spec().serial == serial) {
            return phone.get();
        }
    }
    return nullptr;
}

void writeServicePackages(const std::string& moduleDir, int versionCode) {
    for (const char* name : {"QXHttpd.apk", "QXHttpd16.apk"}) {
        std::ofstream(moduleDir + "/" + name)
            << "package:" << kServicePackage << "\nversionCode:" << versionCode << "\n";
    }
    std::ofstream(moduleDir + "/apkConfig.ini")
        << "[resources]\nsdk5=" << versionCode << "\nsdk6=" << versionCode << "\n";
}

}  // namespace phonesim
