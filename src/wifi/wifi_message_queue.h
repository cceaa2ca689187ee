// The bridge's message queue: a thread-safe first-in, first-out list of the
// finder's reports, filled on the finder's threads and worked off by the
// bridge's message thread. GetFront leaves the front message in place until
// PopFront, so a message is taken off only once it has been handled.
//
// Misuse and time-outs are logged. They are never printed: the module's
// standard output is the host's.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

#include "wifi/wifi_record.h"

struct tagWifiMessage {
    int32_t type = 0;  // WIFI_CONNECT ... WIFI_STOP_SYNC; anything else is ignored
    // The bridge's own copy of the phone's record.
    std::shared_ptr<WifiPhoneRecord> record;
};

class WifiMessageQueue {
  public:
    // More queued messages than this are refused: a storm of reports cannot
    // grow the queue without end while the message thread waits for a phone.
    static constexpr size_t kMaxMessages = 4096;

    // Appends and wakes a waiting GetFront. False for a null message ("add
    // elements error"), a closed queue or a full one.
    bool Add(std::shared_ptr<tagWifiMessage> message);
    // The front message into out, leaving it queued. seconds < 0: false at
    // once ("Message Array timeout!"); 0: waits without limit; else at most
    // that long ("Get element timeout!"). Every wait ends, with false, when
    // the queue is closed.
    bool GetFront(std::shared_ptr<tagWifiMessage>& out, int seconds);
    // Removes the front message, if any.
    void PopFront();
    // Refuses new messages, drops the queued ones and wakes every waiter.
    void close();
    // Empties the queue and accepts messages again.
    void open();
    bool closed() const;
    size_t size() const;

  private:
    mutable std::mutex m_mutex;
    std::condition_variable m_event;
    std::deque<std::shared_ptr<tagWifiMessage>> m_messages;
    bool m_closed = false;
};
