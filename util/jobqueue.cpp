// Job queue and its workers: see jobqueue.h.
#include "util/jobqueue.h"

#include <cerrno>
#include <cstring>
#include <new>

#include "util/logs.h"
#include "util/mutex.h"
#include "util/threads.h"

static void *thread_wrapper(void *arg);

// Caller holds q->lock. The worker is counted before it exists, so the
// count can never run ahead of the maximum.
static bool start_worker(JobQueue *q) {
  q->running++;
  pthread_t t = thread_create(thread_wrapper, q, 0);
  if (!t) {
    q->running--;
    LOGE("unable to start a job queue worker");
    return false;
  }
  pthread_detach(t);
  return true;
}

JobQueue *jobq_create(JobHandler handler, int max_threads, int initial_threads, bool blocking) {
  if (!handler || max_threads < 1) return nullptr;
  JobQueue *q = new (std::nothrow) JobQueue;
  if (!q) return nullptr;
  if (sem_init(&q->jobs_ready, 0, 0) != 0) {
    delete q;
    return nullptr;
  }
  pthread_mutex_init(&q->lock, nullptr);
  pthread_cond_init(&q->idle, nullptr);
  q->handler = handler;
  q->blocking = blocking;
  q->closing = false;
  q->max_threads = max_threads;
  q->running = 0;
  if (blocking) {
    MutexGuard g(&q->lock);
    for (int i = 0; i < initial_threads && q->running < max_threads; i++)
      if (!start_worker(q)) break;
  }
  return q;
}

int jobq_add(JobQueue *q, ListEntry *job, bool at_front) {
  if (!q || !job) return -1;
  MutexGuard g(&q->lock);
  if (q->closing) return -1;
  q->jobs.push(job, at_front);
  if (sem_post(&q->jobs_ready) != 0) LOGE("*** BUG *** sem_post failed");
  if (q->running < q->max_threads) start_worker(q);
  return 0;
}

ListEntry *jobq_get(JobQueue *q) {
  if (q->blocking) {
    for (;;) {
      int rc = sem_wait(&q->jobs_ready);
      if (rc == 0) break;
      if (errno == EINTR) continue;
      LOGE("*** BUG *** sem_wait return %d (%s)", rc, strerror(errno));
      return nullptr;
    }
  } else if (sem_trywait(&q->jobs_ready) != 0) {
    return nullptr;
  }
  return q->jobs.pop();
}

int jobq_running(JobQueue *q) {
  MutexGuard g(&q->lock);
  return q->running;
}

// Caller holds q->lock.
static void count_out(JobQueue *q) {
  q->running--;
  if (q->closing && q->running == 0) pthread_cond_signal(&q->idle);
}

// A worker found no job. It stays when the queue is open and a job arrived
// since (only possible for a non-blocking queue); otherwise it leaves.
static bool worker_may_leave(JobQueue *q) {
  MutexGuard g(&q->lock);
  if (!q->closing && !q->blocking && q->jobs.count() > 0) return false;
  count_out(q);
  return true;
}

// A handler asked its worker to end. Jobs still queued keep a worker.
static void worker_close(JobQueue *q) {
  MutexGuard g(&q->lock);
  count_out(q);
  if (!q->closing && q->running == 0 && q->jobs.count() > 0) start_worker(q);
}

static bool queue_closing(JobQueue *q) {
  MutexGuard g(&q->lock);
  return q->closing;
}

static void *thread_wrapper(void *arg) {
  JobQueue *q = (JobQueue *)arg;
  for (;;) {
    ListEntry *job = jobq_get(q);
    if (!job) {
      if (worker_may_leave(q)) return nullptr;
      continue;
    }
    if (queue_closing(q)) {
      worker_may_leave(q);
      return nullptr;
    }
    if (q->handler(job->data) != 0) {
      LOGD("thread_wrapper: closing thread");
      worker_close(q);
      return nullptr;
    }
  }
}

void jobq_destroy(JobQueue *q) {
  if (!q) return;
  pthread_mutex_lock(&q->lock);
  q->closing = true;
  // Wake every worker waiting on the semaphore; each sees the flag.
  for (int i = 0; i < q->running; i++) sem_post(&q->jobs_ready);
  while (q->running > 0) pthread_cond_wait(&q->idle, &q->lock);
  pthread_mutex_unlock(&q->lock);
  pthread_cond_destroy(&q->idle);
  pthread_mutex_destroy(&q->lock);
  sem_destroy(&q->jobs_ready);
  delete q;
}
