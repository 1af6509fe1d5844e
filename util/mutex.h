// Small locking helpers over pthread mutexes.
//
// The containers take their mutex for the length of one operation, so a
// scope guard keeps every early return balanced. The engine's thread lock
// must give up after a bounded wait instead of hanging the engine thread,
// hence the timed lock.
#pragma once

#include <pthread.h>

// Locks `m` for the lifetime of the guard.
class MutexGuard {
 public:
  explicit MutexGuard(pthread_mutex_t *m) : m_(m) { pthread_mutex_lock(m_); }
  ~MutexGuard() { pthread_mutex_unlock(m_); }
  MutexGuard(const MutexGuard &) = delete;
  MutexGuard &operator=(const MutexGuard &) = delete;

 private:
  pthread_mutex_t *m_;
};

// Waits at most `ms` milliseconds for `m`. Returns 0 when locked, -1 on
// timeout or error. A negative `ms` waits without limit.
int mutex_lock_timeout(pthread_mutex_t *m, int ms);
