// Small support classes of the log stream: a fixed-area wide stream buffer
// that never grows, the stream over it, and the emit lock.
#pragma once

#include <cstddef>
#include <mutex>
#include <ostream>
#include <streambuf>

namespace ZkLib {

// A stream buffer over a caller's array. It never grows: once the array is
// full the stream refuses the rest (it goes bad and drops the remainder of
// the line). The last unit of the array is kept for the terminating NUL.
class DataBuffer : public std::wstreambuf {
  public:
    DataBuffer(wchar_t* area, size_t units);
    ~DataBuffer() override = default;
    DataBuffer(const DataBuffer&) = delete;
    DataBuffer& operator=(const DataBuffer&) = delete;

    size_t length() const { return static_cast<size_t>(pptr() - pbase()); }
    const wchar_t* text() const { return pbase(); }
};

// The wide output stream that writes into its own DataBuffer.
class oDataStream : private DataBuffer, public std::wostream {
  public:
    oDataStream(wchar_t* area, size_t units);
    ~oDataStream() override = default;

    using DataBuffer::length;
    using DataBuffer::text;
};

// Abstract lock and its one implementation.
class LockBase {
  public:
    virtual void lock() = 0;
    virtual void unlock() = 0;
    virtual ~LockBase() = default;
};

class Mutex : public LockBase {
  public:
    void lock() override { m_mutex.lock(); }
    void unlock() override { m_mutex.unlock(); }

  private:
    std::mutex m_mutex;
};

class ScopedLock {
  public:
    explicit ScopedLock(LockBase* lock) : m_lock(lock) { m_lock->lock(); }
    ~ScopedLock() { m_lock->unlock(); }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;

  private:
    LockBase* m_lock;
};

}  // namespace ZkLib
