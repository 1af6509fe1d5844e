// Locking helpers: see mutex.h.
#include "util/mutex.h"

#include <ctime>

int mutex_lock_timeout(pthread_mutex_t *m, int ms) {
  if (!m) return -1;
  if (ms < 0) return pthread_mutex_lock(m) == 0 ? 0 : -1;
  struct timespec deadline;
  clock_gettime(CLOCK_REALTIME, &deadline);
  deadline.tv_sec += ms / 1000;
  deadline.tv_nsec += (long)(ms % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  return pthread_mutex_timedlock(m, &deadline) == 0 ? 0 : -1;
}
