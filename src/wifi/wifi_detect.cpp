#include "wifi/wifi_detect.h"

#include <algorithm>
#include <cstdio>

#include "base/text_codec.h"
#include "device/device_host.h"
#include "deviceinfo/android_device_info.h"
#include "deviceinfo/service_requests.h"
#include "log/log_stream.h"
#include "log/logged_ini.h"
#include "platform/this_thread.h"
#include "wifi/wifi_thread_android.h"

namespace {

// "MaxWifiPhones" of "orqBRAXLoader.ini" [Detect], within 0 (no Wi-Fi
// phone is served) and one place less than there are device threads.
size_t readMaxPhones(const std::string& moduleFolder) {
    std::string ini = dd::platform::joinPath(moduleFolder, "orqBRAXLoader.ini");
    int value =
        dd::logged::readIniInt(ini, "Detect", "MaxWifiPhones", WifiDetect::kDefaultMaxPhones);
    constexpr int kLimit = CDeviceHost::kMaxRunningThreads - 1;
    if (value < 0 || value > kLimit) {
        int used = value < 0 ? WifiDetect::kDefaultMaxPhones : kLimit;
        DD_LOG(LOG_WAR) << "MaxWifiPhones " << value << " out of range (0 to " << kLimit
                        << "), using " << used;
        value = used;
    }
    return static_cast<size_t>(value);
}

}  // namespace

std::atomic<WifiDetect*> WifiDetect::s_listening{nullptr};

WifiDetect::~WifiDetect() {
    stopDetect();
    shutdown();
    WifiDetect* self = this;
    s_listening.compare_exchange_strong(self, nullptr);
}

// --- Lifecycle ---------------------------------------------------------------

int WifiDetect::startDetect(const std::string& pcIdentity) {
    std::lock_guard<std::mutex> lifecycle(m_lifecycle);
    if (running()) {
        return 1;
    }
    joinJobs(true);  // DetectThreads of the previous start
    {
        std::lock_guard<std::mutex> lock(m_stateMutex);
        std::erase_if(m_retired, [](const auto& library) { return library.use_count() == 1; });
    }
    std::shared_ptr<WifiFinderLibrary> finder =
        WifiFinderLibrary::load(deviceHost().moduleFolder());
    if (!finder) {
        DD_LOG(LOG_ERR) << "wifi module initialize faild.";
        return 0;
    }
    {
        std::lock_guard<std::mutex> lock(m_stateMutex);
        m_library = finder;
        m_stop = std::make_shared<dd::ExitFlag>();
        m_running = true;
    }
    m_maxPhones = readMaxPhones(deviceHost().moduleFolder());
    DD_LOG(LOG_INFO) << "wifi phones served at most: " << m_maxPhones;
    s_listening.store(this);
    finder->SetStateNotifyCallBack(&WifiDetect::OnStateNotify);
    finder->SetSyncNotifyCallBack(&WifiDetect::OnSyncNotify);
    m_msgQueue.open();
    m_messageThread = std::thread(&WifiDetect::WifiMessageThread, this);
    // Named here, so that the name is there as soon as startDetect returns.
    dd::platform::nameThread(m_messageThread, "dd-wifi-msg");
    int32_t started = finder->StartDetect(pcIdentity);
    DD_LOG(LOG_INFO) << "wifi detection started, finder StartDetect ret " << started;
    if (started == 0) {
        // Not examined further: the finder reports no phone, USB goes on.
        DD_LOG(LOG_WAR) << "the wifi finder did not start";
    }
    return 1;
}

void WifiDetect::stopDetect() {
    std::lock_guard<std::mutex> lifecycle(m_lifecycle);
    std::shared_ptr<WifiFinderLibrary> finder;
    std::shared_ptr<dd::ExitFlag> stop;
    {
        std::lock_guard<std::mutex> lock(m_stateMutex);
        if (!m_running) {
            return;
        }
        // From here on no report is queued and no DetectThread lists a thread.
        m_running = false;
        finder = m_library;
        stop = m_stop;
    }
    stop->request();       // a dispatch request in flight gives up
    finder->StopDetect();  // no callback runs after this
    m_msgQueue.close();
    if (m_messageThread.joinable()) {
        m_messageThread.join();
    }
    tellRefusals(true);
    {
        std::lock_guard<std::mutex> lock(m_listMutex);
        m_devList.clear();  // a thread that holds a record keeps it alive
    }
    std::lock_guard<std::mutex> lock(m_stateMutex);
    m_retired.push_back(std::move(m_library));
    m_library.reset();
    finder.reset();
    std::erase_if(m_retired, [](const auto& library) { return library.use_count() == 1; });
}

void WifiDetect::shutdown() {
    std::lock_guard<std::mutex> lifecycle(m_lifecycle);
    joinJobs(true);
    std::lock_guard<std::mutex> lock(m_stateMutex);
    std::erase_if(m_retired, [](const auto& library) { return library.use_count() == 1; });
}

bool WifiDetect::running() const {
    std::lock_guard<std::mutex> lock(m_stateMutex);
    return m_running;
}

std::shared_ptr<WifiFinderLibrary> WifiDetect::library() const {
    std::lock_guard<std::mutex> lock(m_stateMutex);
    return m_library;
}

std::shared_ptr<dd::ExitFlag> WifiDetect::stopFlag() const {
    std::lock_guard<std::mutex> lock(m_stateMutex);
    return m_stop;
}

bool WifiDetect::messageThreadRunning() const {
    return m_messageThread.joinable();
}

// --- The list ------------------------------------------------------------------

bool WifiDetect::IsInList(const std::string& imei) const {
    std::lock_guard<std::mutex> lock(m_listMutex);
    return std::any_of(m_devList.begin(), m_devList.end(),
                       [&](const auto& record) { return record->imei == imei; });
}

size_t WifiDetect::listSize() const {
    std::lock_guard<std::mutex> lock(m_listMutex);
    return m_devList.size();
}

void WifiDetect::RemoveDev(const std::string& imei) {
    DD_LOG(LOG_DEBUG) << "WifiDetect::RemoveDev(" << imei << ")";
    if (imei.empty()) {
        return;
    }
    std::lock_guard<std::mutex> lock(m_listMutex);
    std::erase_if(m_devList, [&](const auto& record) { return record->imei == imei; });
}

void WifiDetect::releaseRecord(const WifiPhoneRecord* record) {
    std::lock_guard<std::mutex> lock(m_listMutex);
    std::erase_if(m_devList, [&](const auto& listed) { return listed.get() == record; });
}

void WifiDetect::FinderRemoveDev(const std::string& imei) {
    if (std::shared_ptr<WifiFinderLibrary> finder = library()) {
        finder->RemoveDev(imei);
    }
}

bool WifiDetect::IsPairedWithThisPc(const WifiPhoneRecord& record) const {
    return !record.paired.empty() && record.paired == deviceHost().m_csPCIdentity;
}

// --- Callbacks (the finder's threads) ------------------------------------------

int32_t WifiDetect::OnStateNotify(WifiDevRecord* record, int32_t code) {
    WifiDetect* bridge = s_listening.load();
    return bridge != nullptr ? bridge->stateNotify(record, code) : 0;
}

void WifiDetect::OnSyncNotify(WifiDevRecord* record, int32_t action) {
    if (WifiDetect* bridge = s_listening.load()) {
        bridge->syncNotify(record, action);
    }
}

int32_t WifiDetect::stateNotify(const WifiDevRecord* record, int32_t code) {
    if (record == nullptr) {
        return 0;
    }
    WifiDevRecord copy = *record;  // the finder may reuse its record once we return
    std::lock_guard<std::mutex> lock(m_stateMutex);
    if (!m_running) {
        return 0;  // a report after StopDetect
    }
    std::string why;
    std::optional<WifiPhoneRecord> phone = WifiPhoneRecord::fromFinder(copy, &why);
    if (!phone) {
        DD_LOG(LOG_ERR) << "wifi report " << code << " dropped: " << why;
        return 0;
    }
    if (!IsInList(phone->imei) && !IsPairedWithThisPc(*phone)) {
        return 0;  // neither known nor paired with this PC: not ours
    }
    auto message = std::make_shared<tagWifiMessage>();
    message->type = code;
    message->record = std::make_shared<WifiPhoneRecord>(std::move(*phone));
    if (!m_msgQueue.Add(std::move(message))) {
        DD_LOG(LOG_ERR) << "wifi report " << code << " dropped: the queue is full";
        return 0;
    }
    return 1;
}

void WifiDetect::syncNotify(const WifiDevRecord* record, int32_t action) {
    if (record == nullptr) {
        return;
    }
    WifiDevRecord copy = *record;
    if (!running()) {
        return;
    }
    std::string why;
    std::optional<WifiPhoneRecord> phone = WifiPhoneRecord::fromFinder(copy, &why);
    if (!phone) {
        DD_LOG(LOG_ERR) << "wifi sync action " << action << " dropped: " << why;
        return;
    }
    if (!IsInList(phone->imei)) {
        // Only a phone the bridge serves may start or cancel a sync.
        DD_LOG(LOG_WAR) << "wifi sync action " << action << " from unknown phone " << phone->imei;
        return;
    }
    switch (action) {
        case WIFI_SYNC_START:
            sendDispatch(kStartSyncPath, phone->imei);
            break;
        case WIFI_SYNC_CANCEL:
            sendDispatch(kStopSyncPath, phone->imei);
            break;
        case WIFI_SYNC_GONE:
            deviceHost().RemoveDeviceInfo(phone->key);
            break;
        default:
            DD_LOG(LOG_WAR) << "unknown wifi sync action " << action;
            break;
    }
}

// --- Message thread -------------------------------------------------------------

void WifiDetect::WifiMessageThread() {
    for (;;) {
        std::shared_ptr<tagWifiMessage> message;
        if (!m_msgQueue.GetFront(message, 0)) {
            if (m_msgQueue.closed()) {
                break;
            }
            continue;
        }
        tellRefusals(false);
        switch (static_cast<uint32_t>(message->type)) {
            case WIFI_CONNECT:
                handleConnect(message->record);
                break;
            case WIFI_DISCONNECT:
                handleDisconnect(*message->record);
                break;
            case WIFI_START_SYNC:
            case WIFI_STOP_SYNC:
                handleSync(*message->record, message->type == WIFI_START_SYNC);
                break;
            default:
                break;  // unknown codes are taken off and ignored
        }
        m_msgQueue.PopFront();
        joinJobs(false);
    }
}

std::string WifiDetect::admissionRefusalLocked(const WifiPhoneRecord& record) const {
    if (record.key.empty()) {
        return "it has no serial number or IMEI that can be its key";
    }
    for (const auto& other : m_devList) {
        if (other->ip == record.ip) {
            return "its address serves " + other->imei + " already";
        }
    }
    if (m_devList.size() >= m_maxPhones) {
        return "the " + std::to_string(m_maxPhones) +
               " places of Wi-Fi phones are taken (MaxWifiPhones)";
    }
    return std::string();
}

void WifiDetect::refuse(const WifiPhoneRecord& record, const std::string& why) {
    if (m_refusals.note(dd::RepeatSummary::Clock::now())) {
        DD_LOG(LOG_WAR) << "wifi phone " << record.imei << " at " << record.ip
                        << " not served: " << why;
    }
    FinderRemoveDev(record.imei);
}

void WifiDetect::tellRefusals(bool all) {
    uint64_t count =
        all ? m_refusals.takeAll() : m_refusals.takeDue(dd::RepeatSummary::Clock::now());
    if (count > 0) {
        DD_LOG(LOG_WAR) << count << " more wifi phones not served within a minute";
    }
}

void WifiDetect::handleConnect(const std::shared_ptr<WifiPhoneRecord>& record) {
    DD_LOG(LOG_DEBUG) << "recv WIFI_CONNECT from " << record->ip;
    record->setServicePort();
    bool listed = false;
    std::string refusal;
    {
        std::lock_guard<std::mutex> lock(m_listMutex);
        listed = std::any_of(m_devList.begin(), m_devList.end(),
                             [&](const auto& other) { return other->imei == record->imei; });
        if (!listed) {
            refusal = admissionRefusalLocked(*record);
        }
        if (!listed && refusal.empty()) {
            m_devList.push_back(record);
            DD_LOG(LOG_DEBUG) << "BuildAndInsertList wifi device(" << record->ip << ")";
        }
    }
    // A phone listed already has its DetectThread or its thread: a second
    // report must neither start another nor take the first one's record.
    if (listed) {
        DD_LOG(LOG_DEBUG) << "USB connection already exists! exit.";
        return;
    }
    if (!refusal.empty()) {
        refuse(*record, refusal);
        return;
    }
    if (deviceHost().findWirelessDuplicate(record->key)) {
        DD_LOG(LOG_DEBUG) << "USB connection already exists! exit.";
        {
            std::lock_guard<std::mutex> lock(m_listMutex);
            std::erase(m_devList, record);
        }
        refuse(*record, "another thread serves " + record->key);
        return;
    }
    std::lock_guard<std::mutex> lock(m_jobsMutex);
    DetectJob& job = m_jobs.emplace_back();
    job.record = record;
    try {
        job.thread = std::thread(&WifiDetect::DetectThread, this, record, &job);
    } catch (const std::system_error& error) {
        DD_LOG(LOG_ERR) << "cannot start DetectThread: " << error.what();
        m_jobs.pop_back();
        std::lock_guard<std::mutex> listLock(m_listMutex);
        std::erase(m_devList, record);
    }
}

void WifiDetect::handleDisconnect(const WifiPhoneRecord& record) {
    DD_LOG(LOG_DEBUG) << "recv WIFI_DISCONNECT from " << record.ip;
    std::vector<std::shared_ptr<WifiPhoneRecord>> taken;
    {
        std::lock_guard<std::mutex> lock(m_listMutex);
        for (auto it = m_devList.begin(); it != m_devList.end();) {
            if ((*it)->imei == record.imei) {
                taken.push_back(std::move(*it));
                it = m_devList.erase(it);
            } else {
                ++it;
            }
        }
    }
    if (taken.empty()) {
        DD_LOG(LOG_WAR) << "dev not exist list";
        return;
    }
    DD_LOG(LOG_DEBUG) << "imei == " << record.imei;
    joinJobs(false, &taken);
    for (size_t i = 0; i < taken.size(); ++i) {
        DD_LOG(LOG_DEBUG) << "WifiDetect::RemoveDev(" << record.imei << ") successed!";
    }
    // The phone's thread is the one holding a taken record. An earlier
    // thread of the same phone may still be listed, ended but not yet
    // reaped; the IMEI alone would find that one.
    std::shared_ptr<CWifiThread_Android> phoneThread;
    for (const std::shared_ptr<CWifiThread_Android>& wifi : phoneThreads()) {
        // Found by its record: its key may be its serial, not its IMEI.
        const std::string& imei = wifi->devRecord()->imei;
        DD_LOG(LOG_DEBUG) << "p->m_csIMEI == " << imei;
        bool holdsTaken = std::any_of(taken.begin(), taken.end(), [&](const auto& record) {
            return record.get() == wifi->devRecord();
        });
        if (holdsTaken) {
            phoneThread = wifi;
            break;
        }
        if (!phoneThread && !wifi->HasEnded() && dd::equalsIgnoreCase(imei, record.imei)) {
            phoneThread = wifi;
        }
    }
    if (phoneThread) {
        phoneThread->SignalDisconnect();
        phoneThread->Join();  // returns at once for a thread never resumed
    }
    deviceHost().RemoveDeviceInfo(taken.front()->key);
    RemoveDev(record.imei);
    DD_LOG(LOG_DEBUG) << "remove wifi dev completed.";
}

void WifiDetect::handleSync(const WifiPhoneRecord& record, bool start) {
    DD_LOG(LOG_DEBUG) << (start ? "recv WIFI_START_SYNC from " : "recv WIFI_STOP_SYNC from ")
                      << record.ip;
    std::string key = record.imei;
    if (record.imei == record.serial) {
        key = (std::string(kKeyPrefix) + record.imei).substr(0, 127);
    }
    sendDispatch(start ? kStartSyncPath : kStopSyncPath, key);
}

void WifiDetect::sendDispatch(const char* pathFormat, const std::string& key) {
    int32_t port = deviceHost().loaderHttpPort();
    if (port <= 0) {
        DD_LOG(LOG_DEBUG) << "no loader http port: dispatch for " << key << " not sent";
        return;
    }
    // The key is plain text (see isPlainKeyText): it cannot change the
    // shape of the request.
    char path[256];
    std::snprintf(path, sizeof(path), pathFormat, key.c_str());
    ServiceEndpoint loader("127.0.0.1", port);
    std::shared_ptr<dd::ExitFlag> stop = stopFlag();
    loader.stop = stop.get();
    ServiceResult result = loader.GetRequest(path, std::string(), nullptr);
    DD_LOG(LOG_DEBUG) << "dispatch " << path << " result " << static_cast<int>(result);
}

// --- DetectThread ---------------------------------------------------------------

void WifiDetect::DetectThread(const std::shared_ptr<WifiPhoneRecord>& record, DetectJob* job) {
    dd::platform::nameThisThread("dd-wifi-detect");
    DD_LOG(LOG_DEBUG) << "enter DetectThread";
    std::shared_ptr<WifiFinderLibrary> finder = library();
    if (!finder || finder->StartClient(record->raw) == 0) {
        DD_LOG(LOG_DEBUG) << "start client faild";
        if (finder) {
            finder->RemoveDev(record->imei);
        }
        deviceHost().RemoveDeviceInfo(record->key);
        RemoveDev(record->imei);
        DD_LOG(LOG_DEBUG) << "end notify";
    } else {
        DD_LOG(LOG_DEBUG) << "start client success";
        bool created = false;
        std::shared_ptr<AndroidDeviceInfo> info =
            deviceHost().findOrCreateDeviceInfo(record->key, &created);
        if (info) {
            // Keyed at once, so that the duplicate checks of both sides see
            // the phone before its information is read. The thread goes by
            // the key only once it has claimed it.
            info->setSerialNumber(record->key);
            auto thread = std::make_shared<CWifiThread_Android>(info, record, finder, *this);
            thread->m_szIp = record->ip.substr(0, 15);
            thread->m_nPort = record->servicePort();
            DD_LOG(LOG_DEBUG) << "build wifi detect thread finish";
            std::lock_guard<std::mutex> lock(m_stateMutex);
            if (m_running) {
                {
                    std::lock_guard<std::mutex> threadsLock(m_threadsMutex);
                    m_threads.push_back(thread);
                }
                deviceHost().AddDeviceThread(thread);
            } else if (created) {
                deviceHost().RemoveDeviceInfoEntry(info.get());
            }
        }
    }
    DD_LOG(LOG_DEBUG) << "leave DetectThread";
    job->done.store(true);
}

std::vector<std::shared_ptr<CWifiThread_Android>> WifiDetect::phoneThreads() {
    std::vector<std::shared_ptr<CWifiThread_Android>> live;
    std::lock_guard<std::mutex> lock(m_threadsMutex);
    for (auto it = m_threads.begin(); it != m_threads.end();) {
        if (std::shared_ptr<CWifiThread_Android> thread = it->lock()) {
            live.push_back(std::move(thread));
            ++it;
        } else {
            it = m_threads.erase(it);
        }
    }
    return live;
}

void WifiDetect::joinJobs(bool all, const std::vector<std::shared_ptr<WifiPhoneRecord>>* records) {
    std::list<DetectJob> finished;
    {
        std::lock_guard<std::mutex> lock(m_jobsMutex);
        for (auto it = m_jobs.begin(); it != m_jobs.end();) {
            bool wanted = all || it->done.load() ||
                          (records != nullptr && std::find(records->begin(), records->end(),
                                                           it->record) != records->end());
            if (wanted) {
                auto next = std::next(it);
                finished.splice(finished.end(), m_jobs, it);
                it = next;
            } else {
                ++it;
            }
        }
    }
    for (DetectJob& job : finished) {
        if (records != nullptr && !job.done.load()) {
            DD_LOG(LOG_DEBUG) << "start wait DetectThread finish.";
            job.thread.join();
            DD_LOG(LOG_DEBUG) << "end wait DetectThread finish.";
        } else if (job.thread.joinable()) {
            job.thread.join();
        }
    }
}

size_t WifiDetect::detectThreadCount() const {
    std::lock_guard<std::mutex> lock(m_jobsMutex);
    return m_jobs.size();
}
