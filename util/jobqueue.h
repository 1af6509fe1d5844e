// A job queue served by a bounded set of worker threads (the HTTP workers).
//
// jobq_add queues a job and, when fewer than the maximum are running, starts
// one more worker. Workers take jobs in order and call the handler with the
// job's data. A non-blocking queue lets an idle worker end as soon as no job
// is left; a blocking queue keeps its workers waiting for more.
//
// The running count is kept under the queue's mutex by both sides: jobq_add
// counts a worker in before starting it, so a burst of adds never starts
// more than the maximum, and a worker that finds no job re-checks the list
// under the same mutex before counting itself out, so a job queued at that
// moment is never left without a worker. Workers are detached.
//
// Jobs belong to the caller: a ListEntry whose data is what the handler
// gets. The worker reads the data and never touches the entry again, so the
// handler may free the record the entry lives in.
#pragma once

#include <pthread.h>
#include <semaphore.h>

#include "util/queue.h"

// Handler result: 0 goes on with the next job, anything else ends the worker.
typedef int (*JobHandler)(void *data);

struct JobQueue {
  pthread_mutex_t lock;
  pthread_cond_t idle;  // signalled when the last worker leaves a closing queue
  sem_t jobs_ready;     // one post per queued job
  LockedList jobs;
  JobHandler handler;
  bool blocking;
  bool closing;
  int max_threads;
  int running;
};

// Starts `initial_threads` workers at once when `blocking`. Null on failure.
JobQueue *jobq_create(JobHandler handler, int max_threads, int initial_threads, bool blocking);
// Queues `job` at the front or the back. Returns 0, or -1 for a null job or
// a queue being destroyed.
int jobq_add(JobQueue *q, ListEntry *job, bool at_front);
// The next job: a blocking queue waits for one, a non-blocking queue
// returns null when none is ready.
ListEntry *jobq_get(JobQueue *q);
// Workers running now.
int jobq_running(JobQueue *q);
// Stops the workers (a running handler is waited for), then frees the
// queue. Jobs still queued are not run; they remain the caller's.
void jobq_destroy(JobQueue *q);
