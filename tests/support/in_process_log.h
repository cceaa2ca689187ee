// Switches the module's log stream on at Debug inside the test process,
// writing to a sandbox's log file, and off again afterwards.
#pragma once

#include "log/log_stream.h"
#include "test_env.h"

namespace ddtest {

class InProcessLog {
  public:
    InProcessLog() { LogInit(LOG_OPT_HEADER | LOG_OPT_SINK, LOG_DEBUG, "DeviceDetect"); }
    ~InProcessLog() { LogInit(0, 0, "DeviceDetect"); }
    InProcessLog(const InProcessLog&) = delete;
    InProcessLog& operator=(const InProcessLog&) = delete;

    Sandbox sandbox;
    size_t count(const std::string& text) const { return sandbox.logCount(text); }
};

}  // namespace ddtest
