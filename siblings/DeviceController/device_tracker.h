// The adb server's device list, followed on one connection
// (host:track-devices): the server sends the whole list at once and again at
// every change of a phone's state, so a waiting caller is woken by the
// server instead of asking it over and over. One thread per tracker; it
// sleeps waiting on the connection and a stop event.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "devicedetect/DeviceController.h"
#include "platform/stream_socket.h"
#include "platform/wake_handle.h"

namespace devctl {

class DeviceTracker {
  public:
    DeviceTracker(QX_AdbTrackFn callback, void* context, uint16_t port);
    // Stops and joins.
    ~DeviceTracker();
    DeviceTracker(const DeviceTracker&) = delete;
    DeviceTracker& operator=(const DeviceTracker&) = delete;

    // False when the thread or its stop event cannot be had.
    bool start();

  private:
    enum class Outcome {
        Lost,      // followed for a while, then the server closed the list
        NoServer,  // no list could be had (no server, start failed, refused request)
        Stopped,
    };
    void run();
    Outcome followOnce();
    // Reads the frames that have arrived; false when the stream ended or broke.
    bool readFrames(dd::platform::StreamSocket& socket, std::string& pending, bool& listed);
    // Sleeps up to ms; false when asked to stop.
    bool sleepUnlessStopped(int ms);

    const QX_AdbTrackFn m_callback;
    void* const m_context;
    const uint16_t m_port;
    dd::platform::WakeHandle m_stop;  // signalled once stop is asked
    std::atomic<bool> m_stopping{false};
    std::thread m_thread;
};

}  // namespace devctl
