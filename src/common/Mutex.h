// The library's mutexes: the standard ones, annotated so that clang's thread-safety analysis
// checks every GUARDED_BY member and REQUIRES/EXCLUDES function (see ThreadAnnotations.h).
//
//   kestal::Mutex m_mutex;  int m_count GUARDED_BY(m_mutex) = 0;
//   { kestal::MutexLock lock(m_mutex); ++m_count; }
//   { kestal::MutexLock lock(m_mutex); m_signal.WaitFor(lock, 200ms, [&]() REQUIRES(m_mutex) { ...
//   }); }
//
// Thread safety: as the standard types they wrap.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <shared_mutex>

#include "common/ThreadAnnotations.h"

namespace kestal {

// Tells a MutexLock that the mutex is held already (after a successful TryLock).
struct AdoptLock {};
inline constexpr AdoptLock kAdoptLock{};

class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void Lock() ACQUIRE() { m_mutex.lock(); }
  void Unlock() RELEASE() { m_mutex.unlock(); }
  // Takes the mutex only when it is free: true when taken.
  bool TryLock() TRY_ACQUIRE(true) { return m_mutex.try_lock(); }
  // Tells the analysis that the caller holds the mutex (where it cannot see so itself).
  void AssertHeld() const ASSERT_CAPABILITY(this) {}

 private:
  friend class MutexLock;
  std::mutex m_mutex;
};

// Holds a Mutex for its scope; CondVar waits release and retake it.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : m_lock(mutex.m_mutex) {}
  MutexLock(Mutex& mutex, AdoptLock) REQUIRES(mutex) : m_lock(mutex.m_mutex, std::adopt_lock) {}
  ~MutexLock() RELEASE() {}
  // Lets go of the mutex for a stretch of work and takes it again.
  void Unlock() RELEASE() { m_lock.unlock(); }
  void Lock() ACQUIRE() { m_lock.lock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  friend class CondVar;
  std::unique_lock<std::mutex> m_lock;
};

// A condition variable used with a MutexLock.
class CondVar {
 public:
  void NotifyOne() { m_signal.notify_one(); }
  void NotifyAll() { m_signal.notify_all(); }
  // Waits until `done` holds or `wait` has passed; the result of `done` at the end.
  template <typename Rep, typename Period, typename Done>
  bool WaitFor(MutexLock& lock, std::chrono::duration<Rep, Period> wait, Done done) {
    return m_signal.wait_for(lock.m_lock, wait, done);
  }
  template <typename Clock, typename Duration, typename Done>
  bool WaitUntil(MutexLock& lock, std::chrono::time_point<Clock, Duration> until, Done done) {
    return m_signal.wait_until(lock.m_lock, until, done);
  }
  template <typename Done>
  void Wait(MutexLock& lock, Done done) {
    m_signal.wait(lock.m_lock, done);
  }

 private:
  std::condition_variable m_signal;
};

// A mutex that readers share and a writer holds alone.
class CAPABILITY("shared mutex") SharedMutex {
 public:
  SharedMutex() = default;
  SharedMutex(const SharedMutex&) = delete;
  SharedMutex& operator=(const SharedMutex&) = delete;

  void Lock() ACQUIRE() { m_mutex.lock(); }
  void Unlock() RELEASE() { m_mutex.unlock(); }
  void LockShared() ACQUIRE_SHARED() { m_mutex.lock_shared(); }
  void UnlockShared() RELEASE_SHARED() { m_mutex.unlock_shared(); }

 private:
  std::shared_mutex m_mutex;
};

// Holds a SharedMutex alone for its scope.
class SCOPED_CAPABILITY WriterLock {
 public:
  explicit WriterLock(SharedMutex& mutex) ACQUIRE(mutex) : m_mutex(mutex) { m_mutex.Lock(); }
  ~WriterLock() RELEASE() {
    if (m_held) m_mutex.Unlock();
  }
  WriterLock(const WriterLock&) = delete;
  WriterLock& operator=(const WriterLock&) = delete;
  // Lets go of the mutex before the scope ends.
  void Unlock() RELEASE() {
    m_mutex.Unlock();
    m_held = false;
  }

 private:
  SharedMutex& m_mutex;
  bool m_held = true;
};

// Holds a SharedMutex shared for its scope.
class SCOPED_CAPABILITY ReaderLock {
 public:
  explicit ReaderLock(SharedMutex& mutex) ACQUIRE_SHARED(mutex) : m_mutex(mutex) {
    m_mutex.LockShared();
  }
  ~ReaderLock() RELEASE() { m_mutex.UnlockShared(); }
  ReaderLock(const ReaderLock&) = delete;
  ReaderLock& operator=(const ReaderLock&) = delete;

 private:
  SharedMutex& m_mutex;
};

}  // namespace kestal
