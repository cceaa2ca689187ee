// A loopback listener whose accept queue is full: the system drops further
// connection attempts, so a connect to it hangs until its time limit. Lets
// tests show that a stop cuts a connect short.
#pragma once

#include <cstdint>
#include <vector>

#include "android/link_sockets.h"
#include "loopback_sockets.h"
#include "platform/unique_fd.h"

namespace linktest {

class FullListener {
  public:
    FullListener() {
        m_fd.reset(ddtest::bindLoopback(SOCK_STREAM, m_port));
        if (!m_fd.valid() || listen(m_fd.get(), 0) != 0) {
            m_port = 0;
            return;
        }
        // Fill the queue until the system stops completing connections.
        for (int i = 0; i < 8; ++i) {
            dd::android::LinkSocket filler = dd::android::CreateLinkSocket();
            if (dd::android::ConnectWithTimeout(filler, "127.0.0.1", m_port, 1) == 0) {
                m_full = true;
                return;
            }
            m_fillers.push_back(std::move(filler));
        }
    }
    uint16_t port() const { return m_port; }
    bool full() const { return m_full; }

  private:
    dd::platform::UniqueFd m_fd;
    uint16_t m_port = 0;
    bool m_full = false;
    std::vector<dd::android::LinkSocket> m_fillers;
};

}  // namespace linktest
