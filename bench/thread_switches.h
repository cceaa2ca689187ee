// Context switches of this process's threads, by thread name ("dd-usb-watch",
// "dd-usb-list", "dd-device", "dd-sync" ...): every wake-up of a sleeping
// thread is one, so two readings apart tell how often each kind woke.
#pragma once

#include <dirent.h>

#include <chrono>
#include <fstream>
#include <map>
#include <string>
#include <thread>

// Calls visit(folder, name) for each of this process's threads, with its
// /proc/self/task/TID folder and its name.
template <typename Visit>
void forEachThread(Visit visit) {
    DIR* tasks = opendir("/proc/self/task");
    if (tasks == nullptr) {
        return;
    }
    while (dirent* entry = readdir(tasks)) {
        if (entry->d_name[0] == '.') {
            continue;
        }
        std::string base = std::string("/proc/self/task/") + entry->d_name;
        std::string name;
        std::getline(std::ifstream(base + "/comm"), name);
        visit(base, name);
    }
    closedir(tasks);
}

inline std::map<std::string, long> switchesByThreadName() {
    std::map<std::string, long> switches;
    forEachThread([&](const std::string& base, const std::string& name) {
        std::ifstream status(base + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0 ||
                line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) {
                switches[name] += std::stol(line.substr(line.find(':') + 1));
            }
        }
    });
    return switches;
}

// CPU time used so far by this process's threads, in milliseconds by thread
// name, from the scheduler's per-thread accounting (nanoseconds; a thread
// that has ended no longer counts).
inline std::map<std::string, double> cpuMsByThreadName() {
    std::map<std::string, double> cpu;
    forEachThread([&](const std::string& base, const std::string& name) {
        double nanoseconds = 0;
        if (std::ifstream(base + "/schedstat") >> nanoseconds) {
            cpu[name] += nanoseconds / 1e6;
        }
    });
    return cpu;
}

// Sleeps for seconds and returns how often each kind of thread woke per
// second meanwhile (kinds that did not exist at the start count from 0).
inline std::map<std::string, double> wakeupsPerSecond(double seconds) {
    std::map<std::string, long> before = switchesByThreadName();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    std::map<std::string, double> rates;
    for (const auto& [name, count] : switchesByThreadName()) {
        rates[name] = static_cast<double>(count - before[name]) / seconds;
    }
    return rates;
}
