// WifiDetect: the module's bridge to the Wi-Fi finder library. The finder
// reports phones on its own threads; the bridge copies each report onto its
// queue and works the queue off on its message thread:
//
//   WIFI_CONNECT     the phone joins m_devList when it may (below); unless a
//                    live thread already serves it, a DetectThread asks the
//                    finder for a client and adds the phone's
//                    CWifiThread_Android to the monitor list (the USB list
//                    thread resumes it)
//   WIFI_DISCONNECT  the phone's DetectThread and Wi-Fi thread end, then
//                    its record and information entry are dropped
//   WIFI_START_SYNC  dispatch requests to the suite loader's HTTP port
//   WIFI_STOP_SYNC
//
// Anyone on the network can announce phones, so a phone joins m_devList
// only when it has a key (WifiPhoneRecord::key), its address serves no other
// phone, and fewer than "MaxWifiPhones" ("orqBRAXLoader.ini", [Detect])
// Wi-Fi phones are listed: Wi-Fi phones never hold more than that share of
// the device-thread places, so USB and BREW phones always find one. A
// refused phone is forgotten by the finder too; refusals are logged once a
// minute with a count.
//
// Lifecycle: startDetect loads the finder and starts the message thread and
// the finder; stopDetect stops the finder (no callback after that), ends the
// message thread and forgets the phones, so a phone reported again after a
// restart is announced afresh. The library is released by the last of the
// bridge and the Wi-Fi threads to let go of it, and always closed on a
// host's thread (see platform/shared_library.h). DetectThreads that still
// wait for the finder's client answer are joined at the next start or at
// the end of detection; they add no thread once the bridge is stopped.
//
// Locks: m_stateMutex (running flag, library, stop flag) before the list
// lock m_listMutex and before the monitor-list lock of theApp; m_jobsMutex
// alone; m_threadsMutex last of all. No lock is held while waiting for a thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/repeat_summary.h"
#include "platform/exit_flag.h"
#include "wifi/wifi_finder_library.h"
#include "wifi/wifi_message_queue.h"

class CWifiThread_Android;

class WifiDetect {
  public:
    // Paths of the loader's dispatch requests; %s is the phone's key.
    static constexpr const char* kStartSyncPath = "/__dispatch__dodevicesync?imei=%s";
    static constexpr const char* kStopSyncPath = "/__dispatch__canceldevicesync?imei=%s";
    // Prefix of the key of a phone whose IMEI is its serial number.
    static constexpr const char* kKeyPrefix = "ORQT";
    // Wi-Fi phones served at once unless "MaxWifiPhones" says otherwise:
    // half of the device-thread places. At most kMaxRunningThreads - 1, so
    // that one place is always left to the other families.
    static constexpr int kDefaultMaxPhones = 128;

    WifiDetect() = default;
    ~WifiDetect();
    WifiDetect(const WifiDetect&) = delete;
    WifiDetect& operator=(const WifiDetect&) = delete;

    // Loads the finder, registers the callbacks and starts the message
    // thread and the finder. Without a usable finder Wi-Fi detection is off
    // ("wifi module initialize faild."); USB detection goes on. 1 when Wi-Fi
    // detection runs. A second call while running does nothing.
    int startDetect(const std::string& pcIdentity);
    // Stops the finder and the message thread and forgets every phone.
    // Waits only for the finder and the message thread.
    void stopDetect();
    // After stopDetect and once the device threads have ended: joins what is
    // left and closes the finder library. On a host's thread.
    void shutdown();

    // Takes every record with this IMEI (exact text) out of m_devList.
    void RemoveDev(const std::string& imei);
    // Takes exactly this record out of m_devList: a phone thread that ended
    // gives up its own record, never a later one of the same phone.
    void releaseRecord(const WifiPhoneRecord* record);
    // The finder's RemoveDev, when a finder is loaded.
    void FinderRemoveDev(const std::string& imei);

    // Callbacks handed to the finder (which passes no context); they reach
    // the bridge that started it last.
    static int32_t OnStateNotify(WifiDevRecord* record, int32_t code);
    static void OnSyncNotify(WifiDevRecord* record, int32_t action);

    // For diagnostics and tests.
    bool running() const;
    bool IsInList(const std::string& imei) const;
    size_t listSize() const;
    size_t detectThreadCount() const;
    bool messageThreadRunning() const;

    // The work of the callbacks, on the bridge itself.
    int32_t stateNotify(const WifiDevRecord* record, int32_t code);
    void syncNotify(const WifiDevRecord* record, int32_t action);

  private:
    // The phone threads of m_threads that are still there, in order.
    std::vector<std::shared_ptr<CWifiThread_Android>> phoneThreads();
    // The bridge the finder's callbacks reach: the one that started it last.
    static std::atomic<WifiDetect*> s_listening;
    // One DetectThread; done is set as its last step.
    struct DetectJob {
        std::shared_ptr<WifiPhoneRecord> record;
        std::thread thread;
        std::atomic<bool> done{false};
    };

    void WifiMessageThread();
    // Under m_listMutex: why a phone that is not listed may not join the
    // list; empty when it may.
    std::string admissionRefusalLocked(const WifiPhoneRecord& record) const;
    // A phone that is not served: logged (or counted) and forgotten by the
    // finder, so that its address is free for the next phone there.
    void refuse(const WifiPhoneRecord& record, const std::string& why);
    // Logs the count of refusals whose minute is over (all at the end).
    void tellRefusals(bool all);
    void handleConnect(const std::shared_ptr<WifiPhoneRecord>& record);
    void handleDisconnect(const WifiPhoneRecord& record);
    void handleSync(const WifiPhoneRecord& record, bool start);
    void DetectThread(const std::shared_ptr<WifiPhoneRecord>& record, DetectJob* job);
    // Sends a dispatch request to the loader; nothing when no port is set.
    void sendDispatch(const char* pathFormat, const std::string& key);
    bool IsPairedWithThisPc(const WifiPhoneRecord& record) const;
    // Joins the DetectThreads that have ended (all when all is true) or that
    // work on one of records.
    void joinJobs(bool all, const std::vector<std::shared_ptr<WifiPhoneRecord>>* records = nullptr);
    std::shared_ptr<WifiFinderLibrary> library() const;
    std::shared_ptr<dd::ExitFlag> stopFlag() const;

    std::mutex m_lifecycle;  // serialises startDetect, stopDetect and shutdown

    mutable std::mutex m_stateMutex;  // guards the four members below
    bool m_running = false;
    std::shared_ptr<WifiFinderLibrary> m_library;
    // Cuts a dispatch request short at stop; one per start.
    std::shared_ptr<dd::ExitFlag> m_stop;
    // Libraries of earlier starts that a Wi-Fi thread may still call; closed
    // on a host's thread once nothing else holds them.
    std::vector<std::shared_ptr<WifiFinderLibrary>> m_retired;

    mutable std::mutex m_listMutex;  // the list lock
    std::vector<std::shared_ptr<WifiPhoneRecord>> m_devList;
    // "MaxWifiPhones": set by startDetect before the message thread starts,
    // read by that thread.
    size_t m_maxPhones = kDefaultMaxPhones;
    // Refused phones, for the log; the message thread's, then stopDetect's
    // once that thread has ended.
    dd::RepeatSummary m_refusals;

    WifiMessageQueue m_msgQueue;
    std::thread m_messageThread;  // started and joined under m_lifecycle

    mutable std::mutex m_jobsMutex;
    std::list<DetectJob> m_jobs;

    // The phone threads this bridge handed to the device host, in the order
    // it did; a thread's entry expires when the host lets go of it.
    mutable std::mutex m_threadsMutex;  // taken last
    std::vector<std::weak_ptr<CWifiThread_Android>> m_threads;
};
