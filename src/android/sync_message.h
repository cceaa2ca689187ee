// The sync-status link's messages (phone port 7990), as pure functions: what
// the phone's bytes ask for, and which status line the PC owes the phone.
// Nothing here does I/O, so every rule is tested and fuzzed on its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace dd::android {

// One receive on the sync link never takes more than this many bytes.
constexpr size_t kSyncReceiveBytes = 128;
// The text in front of a request is cut to this many bytes.
constexpr size_t kSyncTextBytes = 127;

enum class SyncRequestKind {
    Ignored,    // neither ';' nor "STOP_APP": dropped without a word
    Start,      // ";START": the user asked on the phone to start a sync (host action 0)
    Stop,       // ";STOP": the user asked to stop (host action 1)
    StopApp,    // "STOP_APP": the phone-side tool is closing; end the phone's connection
    Undefined,  // a ';' but none of the keywords: logged, link kept
};

struct SyncRequest {
    SyncRequestKind kind = SyncRequestKind::Ignored;
    // The bytes before the first ';' (or before "STOP_APP" when there is no
    // ';'), at most kSyncTextBytes of them, still in the phone's encoding.
    std::string text;
};

// Reads exactly the bytes of one receive; a message split over two reads is
// two messages, and several merged into one read are one. The keywords are
// looked for in the order ";START", ";STOP", "STOP_APP", so "X;STOP_APP"
// asks to stop (text "X") and "X;START;STOP" asks to start.
SyncRequest parseSyncMessage(std::string_view received);

// The host action code of a Start or Stop request (0 or 1); -1 otherwise.
int32_t syncActionOf(SyncRequestKind kind);

// The text handed to the host: the request's text up to its first NUL (the
// host receives a terminated string, so anything after it would be lost).
std::string hostTextOf(const SyncRequest& request);

// A status line the PC owes the phone.
struct StatusLine {
    bool send = false;         // false: nothing is owed
    std::string_view bytes;    // "SYNC_STARTED\r\n" or "READY_TO_SYNC\r\n"
    std::string_view logText;  // "send start sync", "send stop sync", "send ready sync"
    int32_t sentStatus = -1;   // what the last-sent memory becomes after sending
};

// Host status (-1 none, 0 START_SYNC, 1 STOP_SYNC, 2 READY_SYNC) against the
// last status sent on this link (-1 when none yet): a line only when the
// status is 0, 1 or 2 and differs from the last one sent. 1 and 2 send the
// same bytes but are remembered apart, so 2 after 1 is sent again.
StatusLine statusLineFor(int32_t status, int32_t lastSent);

// Received bytes made safe for one log line: printable ASCII is kept, every
// other byte (line breaks, NULs, non-text) is written as \xNN.
std::string printableBytes(std::string_view bytes);

}  // namespace dd::android
