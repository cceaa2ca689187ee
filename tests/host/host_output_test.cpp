// What devicedetect-host prints about a phone, when the phone's own texts are
// hostile: the JSON view stays one well-formed object with the members the
// host wrote, the readable view carries no terminal control, and no flood
// of events can grow the host's queue without the host saying so.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <map>
#include <memory>
#include <string>

#include "base/text_codec.h"
#include "event_queue.h"
#include "events.h"

namespace {

const std::string kHostileSerial = "R58\",\"event\":\"REMOVE_DEVICE\"}\n{\"x\":\"\\\x1b[2J\x7f";

DeviceRecord hostileRecord() {
    DeviceRecord record{};
    dd::copyToField(record.serialno, kHostileSerial);
    dd::copyToField(record.model,
                    "Orq\r\n\xC2\x9B"
                    "31mRed");  // C1 CSI in UTF-8
    dd::copyToField(record.imei,
                    "86753\x07"
                    "09");
    record.serverip[0] = 0xD800;  // a lone surrogate
    return record;
}

// A request event as the host queues it from a callback.
HostEvent syncRequest(int32_t code, const std::string& device,
                      HostEvent::Kind kind = HostEvent::Kind::SyncRequest) {
    HostEvent request;
    request.kind = kind;
    request.code = code;
    request.device = device;
    return request;
}

nlohmann::json parseLine(const std::string& line) {
    nlohmann::json root = nlohmann::json::parse(line, nullptr, false);
    EXPECT_FALSE(root.is_discarded()) << line;
    return root;
}

TEST(HostOutput, JsonEscapesEveryPhoneTextSoNoEventCanBeForged) {
    DeviceRecord record = hostileRecord();
    std::string line = formatJson(eventFromRecord(NEW_DEVICE, &record));
    EXPECT_EQ(line.find('\n'), std::string::npos) << "one event, one line";
    nlohmann::json root = parseLine(line);
    EXPECT_EQ(root.value("event", ""), "NEW_DEVICE");
    EXPECT_EQ(root.value("serialno", ""), kHostileSerial);
    EXPECT_EQ(root.value("imei", ""),
              "86753\x07"
              "09");
    EXPECT_EQ(root.value("serverip", ""), "\xEF\xBF\xBD");
    EXPECT_FALSE(root.contains("x"));

    nlohmann::json sync = parseLine(formatJson(syncRequest(START_SYNC, kHostileSerial)));
    nlohmann::json message = parseLine(formatHostMessage("  " + kHostileSerial, true));
    EXPECT_EQ(message.value("event", ""), "HOST");
    EXPECT_EQ(message.value("message", ""), "  " + kHostileSerial);
    EXPECT_EQ(sync.value("event", ""), "SYNC_REQUEST");
    EXPECT_EQ(sync.value("device", ""), kHostileSerial);
}

TEST(HostOutput, TheReadableViewCarriesNoControlCharacters) {
    DeviceRecord record = hostileRecord();
    for (int32_t code : {NEW_DEVICE, DEVICE_DISCOVERED, REMOVE_DEVICE}) {
        std::string line = formatReadable(eventFromRecord(code, &record));
        for (size_t i = 0; i < line.size(); ++i) {
            auto c = static_cast<unsigned char>(line[i]);
            EXPECT_FALSE(c < 0x20 || c == 0x7F) << "byte " << int(c) << " in " << line;
            if (c == 0xC2 && i + 1 < line.size()) {
                auto next = static_cast<unsigned char>(line[i + 1]);
                EXPECT_FALSE(next >= 0x80 && next <= 0x9F) << "C1 control in " << line;
            }
        }
    }
    EXPECT_EQ(printableText("Gal\xC3\xA1xy \xE4\xB8\xAD"), "Gal\xC3\xA1xy \xE4\xB8\xAD")
        << "other text is left as it is";
}

TEST(HostOutput, APhoneFloodingSyncRequestsIsCoalesced) {
    HostEventQueue queue;
    DeviceRecord record{};
    dd::copyToField(record.serialno, "OTHER");
    for (int i = 0; i < 10000; ++i) {
        queue.push(syncRequest(i % 2 == 0 ? START_SYNC : STOP_SYNC, "FLOOD"));
        if (i == 5000) {
            queue.push(eventFromRecord(NEW_DEVICE, &record));
        }
    }
    std::deque<HostEvent> events = queue.takeAll();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].device, "FLOOD");
    EXPECT_EQ(events[0].code, STOP_SYNC) << "the newest request wins";
    EXPECT_EQ(events[1].serialno, "OTHER");
    EXPECT_EQ(events[2].kind, HostEvent::Kind::Dropped);
    EXPECT_EQ(events[2].dropped.syncRequests, 9999u);
    EXPECT_EQ(queue.dropped().syncRequests, 9999u);
}

// Requests whose text changes every time are not folded into one, and
// device changes pile up while the output is blocked: each kind keeps at
// most its share, and what goes is counted and shown after what stayed.
TEST(HostOutput, EveryKindOfEventIsBoundedAndWhatIsDroppedIsShown) {
    HostEventQueue queue;
    const size_t pushed = 5000;
    for (size_t i = 0; i < pushed; ++i) {
        queue.push(syncRequest(START_SYNC, "TEXT" + std::to_string(i)));
        queue.push(syncRequest(-1, "GET /__dispatch__dodevicesync?imei=" + std::to_string(i),
                               HostEvent::Kind::LoaderRequest));
        DeviceRecord record{};
        dd::copyToField(record.serialno, "PHONE" + std::to_string(i));
        queue.push(eventFromRecord(i % 2 == 0 ? NEW_DEVICE : REMOVE_DEVICE, &record));
    }
    std::deque<HostEvent> events = queue.takeAll();
    std::map<HostEvent::Kind, size_t> kept;
    for (const HostEvent& event : events) {
        ++kept[event.kind];
    }
    EXPECT_EQ(kept[HostEvent::Kind::SyncRequest], HostEventQueue::kMaxSyncRequests);
    EXPECT_EQ(kept[HostEvent::Kind::LoaderRequest], HostEventQueue::kMaxLoaderRequests);
    EXPECT_EQ(kept[HostEvent::Kind::DeviceChange], HostEventQueue::kMaxDeviceChanges);
    ASSERT_EQ(kept[HostEvent::Kind::Dropped], 1u);
    EXPECT_EQ(events.front().device, "TEXT0") << "the oldest are kept, in order";
    const HostEvent report = events.back();
    ASSERT_EQ(report.kind, HostEvent::Kind::Dropped);
    EXPECT_EQ(report.dropped.syncRequests, pushed - HostEventQueue::kMaxSyncRequests);
    EXPECT_EQ(report.dropped.loaderRequests, pushed - HostEventQueue::kMaxLoaderRequests);
    EXPECT_EQ(report.dropped.deviceChanges, pushed - HostEventQueue::kMaxDeviceChanges);

    nlohmann::json json = parseLine(formatJson(report));
    EXPECT_EQ(json.value("event", ""), "DROPPED");
    EXPECT_EQ(json["dropped"]["sync_requests"].get<uint64_t>(), report.dropped.syncRequests);
    EXPECT_EQ(json["dropped"]["loader_requests"].get<uint64_t>(), report.dropped.loaderRequests);
    EXPECT_EQ(json["dropped"]["device_changes"].get<uint64_t>(), report.dropped.deviceChanges);
    std::string line = formatReadable(report);
    EXPECT_NE(line.find("DROPPED  " + std::to_string(report.dropped.total())), std::string::npos)
        << line;

    // Taken, the queue has room again; a report comes only after new drops,
    // and the total since the start goes on.
    queue.push(eventFromRecord(NEW_DEVICE, nullptr));
    events = queue.takeAll();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, HostEvent::Kind::DeviceChange);
    for (size_t i = 0; i <= HostEventQueue::kMaxLoaderRequests; ++i) {
        queue.push(syncRequest(-1, "", HostEvent::Kind::LoaderRequest));
    }
    events = queue.takeAll();
    ASSERT_EQ(events.back().kind, HostEvent::Kind::Dropped);
    EXPECT_EQ(events.back().dropped.total(), 1u);
    EXPECT_EQ(events.back().droppedTotal.loaderRequests, report.dropped.loaderRequests + 1);
}

}  // namespace
