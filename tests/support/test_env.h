// Test scaffolding: temporary folders, environment overrides and waiting for
// a condition with a deadline (never a bare sleep).
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace ddtest {

// A fresh folder, removed with everything in it at destruction. Lives on
// tmpfs (/dev/shm) when there is one, so inotify wakes quickly.
class TempDir {
  public:
    explicit TempDir(const std::string& tag = "dd");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }

  private:
    std::string m_path;
};

// Sets an environment variable for the lifetime of the object.
class ScopedEnv {
  public:
    ScopedEnv(const std::string& name, const std::string& value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    std::string m_name;
    bool m_had = false;
    std::string m_old;
};

// Everything a module instance reads, pointed at temporary folders: module
// folder (with copies of the shipped data files), sysfs and dev roots, lock
// folder, data and config homes, and the log file.
class Sandbox {
  public:
    explicit Sandbox(const std::string& logLevel = "Debug");
    TempDir root;
    std::string moduleDir, sysfsRoot, devRoot, lockDir, dataHome, configHome, logFile;
    std::string dataDir() const { return dataHome + "/Orq Sync/PCSync"; }
    // Replaces a file in the module folder.
    void writeModuleFile(const std::string& name, const std::string& content) const;
    std::string log() const;
    bool logContains(const std::string& text) const;
    size_t logCount(const std::string& text) const;
    // Waits until the log holds text (or the deadline passes).
    bool waitForLog(const std::string& text,
                    std::chrono::milliseconds deadline = std::chrono::seconds(10)) const;

  private:
    std::vector<std::unique_ptr<ScopedEnv>> m_env;
};

bool waitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds deadline = std::chrono::seconds(10));

// How many times what occurs in text (overlaps counted).
size_t countOf(const std::string& text, const std::string& what);

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);
void makeDirs(const std::string& path);
void removeTree(const std::string& path);
bool fileExists(const std::string& path);
// Names in a folder (no "." and ".."), sorted.
std::vector<std::string> listDir(const std::string& path);

}  // namespace ddtest
