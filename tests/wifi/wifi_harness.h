// A machine for the Wi-Fi tests: a sandbox, the module loaded through its C
// interface, a host recorder, the finder's listening port, and a stand-in
// for the suite loader's HTTP service (a companion service on 127.0.0.1,
// which records every request it gets).
#pragma once

#include <dlfcn.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "android/pc_identity.h"
#include "android/phone_harness.h"
#include "companion_service.h"
#include "loopback_sockets.h"
#include "module_loader.h"
#include "test_env.h"
#include "wifi_phone.h"

namespace ddtest {

// A Wi-Fi phone, started and aimed at the finder on 127.0.0.1:finderPort.
inline std::unique_ptr<phonesim::WifiPhone> aimedPhone(const phonesim::WifiPhoneSpec& spec,
                                                       uint16_t finderPort) {
    auto phone = std::make_unique<phonesim::WifiPhone>(spec);
    EXPECT_TRUE(phone->start());
    phone->setFinder("127.0.0.1", finderPort);
    return phone;
}

// Binds fn to the entry point name of a dlopen'ed library.
template <typename Fn>
void bindSymbol(void* handle, Fn& fn, const char* name) {
    fn = handle != nullptr ? reinterpret_cast<Fn>(dlsym(handle, name)) : nullptr;
    ASSERT_NE(fn, nullptr) << name;
}

class WifiMachine {
  public:
    // finderDouble: "" for our finder, else the name of a test double
    // ("complete", "incomplete") linked into the module folder instead.
    explicit WifiMachine(const std::string& finderDouble = "")
        : m_finderPort(freePort(SOCK_DGRAM)),
          m_portEnv("DEVICEDETECT_WIFI_PORT", std::to_string(m_finderPort)),
          m_addressEnv("DEVICEDETECT_WIFI_ADDRESS", "127.0.0.1") {
        if (!finderDouble.empty()) {
            std::string link = sandbox.moduleDir + "/libQXWIFIFinder.so";
            unlink(link.c_str());
            std::string target =
                std::string(DD_TEST_FINDER_DOUBLES) + "/" + finderDouble + "/libQXWIFIFinder.so";
            EXPECT_EQ(symlink(target.c_str(), link.c_str()), 0);
        }
        EXPECT_TRUE(loader.start());
        setLoaderPort(loader.port());
        pcIdentity = dd::android::fullPcIdentity(sandbox.sysfsRoot);
    }
    ~WifiMachine() { stopModule(module); }

    void setLoaderPort(int port) {
        sandbox.writeModuleFile("orqBRAXLoader.ini", "[Detect]\nLogLevel=Debug\nLoaderHttpPort=" +
                                                         std::to_string(port) + "\n");
    }

    void start() { startModule(module); }

    // A phone paired with this PC (or with another one), started and aimed
    // at the finder.
    std::unique_ptr<phonesim::WifiPhone> phone(const std::string& imei, const std::string& serial,
                                               bool pairedHere = true) {
        phonesim::WifiPhoneSpec spec;
        spec.imei = imei;
        spec.serial = serial;
        spec.paired = pairedHere ? pcIdentity : "another-pc";
        return aimedPhone(spec, m_finderPort);
    }

    // The loader requests whose path starts with prefix.
    std::vector<std::string> loaderPaths(const std::string& prefix = "/__dispatch__") const {
        std::vector<std::string> paths;
        for (const auto& request : loader.requests()) {
            if (request.target.rfind(prefix, 0) == 0) {
                paths.push_back(request.target);
            }
        }
        return paths;
    }

    uint16_t finderPort() const { return m_finderPort; }

    Sandbox sandbox;
    HostRecorder host;
    phonesim::CompanionService loader;
    std::string pcIdentity;
    LoadedModule module;

  private:
    uint16_t m_finderPort;
    ScopedEnv m_portEnv;
    ScopedEnv m_addressEnv;
};

// The module on a simulated machine that has USB phones (PhoneMachine) and
// Wi-Fi phones announcing themselves to the finder.
class WifiUsbMachine : public PhoneMachine {
  public:
    // A Wi-Fi phone, paired with this PC unless spec says otherwise, started
    // and aimed at the finder.
    std::unique_ptr<phonesim::WifiPhone> wifiPhone(phonesim::WifiPhoneSpec spec) {
        if (spec.paired.empty()) {
            spec.paired = pcIdentity;
        }
        return aimedPhone(spec, finderPort);
    }

    uint16_t finderPort = freePort(SOCK_DGRAM);
    ScopedEnv portEnv{"DEVICEDETECT_WIFI_PORT", std::to_string(finderPort)};
    ScopedEnv addressEnv{"DEVICEDETECT_WIFI_ADDRESS", "127.0.0.1"};
    std::string pcIdentity = dd::android::fullPcIdentity(sandbox.sysfsRoot);
};

}  // namespace ddtest
