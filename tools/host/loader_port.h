// The suite loader's HTTP port, played by the host: the module sends a Wi-Fi
// phone's start and cancel requests ("/__dispatch__dodevicesync?imei=...")
// to the port named by "LoaderHttpPort" in "orqBRAXLoader.ini". Each request
// is answered with {"status":0} and handed to onRequest with its target.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "platform/unique_fd.h"
#include "platform/wake_handle.h"

class LoaderPort {
  public:
    using OnRequest = std::function<void(const std::string& method, const std::string& target)>;

    LoaderPort() = default;
    ~LoaderPort();  // stop()
    LoaderPort(const LoaderPort&) = delete;
    LoaderPort& operator=(const LoaderPort&) = delete;

    // Listens on 127.0.0.1:port. False, with the system's reason in
    // *problem, when it cannot.
    bool start(uint16_t port, OnRequest onRequest, std::string* problem = nullptr);
    void stop();

  private:
    void serve();
    void answer(int fd);

    OnRequest m_onRequest;
    dd::platform::UniqueFd m_listener;
    dd::platform::WakeHandle m_stop;
    std::thread m_thread;
};
