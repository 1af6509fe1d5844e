// Timer queue: a sorted singly linked list under one mutex.
#include "core/timer.h"

#include <cstdint>

#include "util/time.h"

static uint64_t now_ms() { return clock_now_us() / 1000; }

namespace {
struct QueueLock {
  explicit QueueLock(TimerQueue *q) : q(q) { pthread_mutex_lock(&q->mutex); }
  ~QueueLock() { pthread_mutex_unlock(&q->mutex); }
  TimerQueue *q;
};
}  // namespace

// Caller holds the mutex.
static bool unlink_entry(TimerQueue *q, TimerEntry *e) {
  for (TimerEntry **link = &q->head; *link; link = &(*link)->next) {
    if (*link == e) {
      *link = e->next;
      e->next = nullptr;
      e->armed = false;
      return true;
    }
  }
  return false;
}

// An entry goes after every entry due no later than it, except that one due
// no later than the head becomes the new head.
static void insert_sorted(TimerQueue *q, TimerEntry *e) {
  if (!q->head || e->due_ms <= q->head->due_ms) {
    e->next = q->head;
    q->head = e;
  } else {
    TimerEntry *at = q->head;
    while (at->next && at->next->due_ms <= e->due_ms) at = at->next;
    e->next = at->next;
    at->next = e;
  }
  e->armed = true;
}

static void arm(TimerQueue *q, TimerEntry *e, uint64_t delay_ms) {
  unlink_entry(q, e);
  e->due_ms = now_ms() + delay_ms;
  e->cancelled = false;
  insert_sorted(q, e);
}

void timer_add(TimerQueue *q, TimerEntry *e, uint64_t delay_ms) {
  QueueLock lock(q);
  arm(q, e, delay_ms);
}

static uint64_t remaining_locked(const TimerEntry *e) {
  if (!e->armed || e->cancelled) return 0;
  uint64_t now = now_ms();
  return e->due_ms > now ? e->due_ms - now : 0;
}

void timer_add_if_later(TimerQueue *q, TimerEntry *e, uint64_t delay_ms) {
  QueueLock lock(q);
  if (e->armed && !e->cancelled && remaining_locked(e) < delay_ms) return;
  arm(q, e, delay_ms);
}

uint64_t timer_remaining(TimerQueue *q, const TimerEntry *e) {
  QueueLock lock(q);
  return remaining_locked(e);
}

TimerEntry *timer_pop(TimerQueue *q, uint64_t *wait_ms) {
  QueueLock lock(q);
  while (q->head && q->head->cancelled) unlink_entry(q, q->head);
  if (!q->head) {
    if (wait_ms) *wait_ms = UINT64_MAX;
    return nullptr;
  }
  uint64_t now = now_ms();
  TimerEntry *e = q->head;
  if (e->due_ms > now) {
    if (wait_ms) *wait_ms = e->due_ms - now;
    return nullptr;
  }
  unlink_entry(q, e);
  if (wait_ms) *wait_ms = 0;
  return e;
}

int timer_remove(TimerQueue *q, TimerEntry *e) {
  QueueLock lock(q);
  return unlink_entry(q, e) ? 0 : -1;
}

static bool matches(const TimerEntry *e, const void *user, uint8_t kind, uint8_t subkind) {
  return e->user == user && e->kind == kind && e->subkind == subkind;
}

TimerEntry *timer_find(TimerQueue *q, const void *user, uint8_t kind, uint8_t subkind) {
  QueueLock lock(q);
  for (TimerEntry *e = q->head; e; e = e->next)
    if (matches(e, user, kind, subkind)) return e;
  return nullptr;
}

TimerEntry *timer_find_user(TimerQueue *q, const void *user) {
  QueueLock lock(q);
  for (TimerEntry *e = q->head; e; e = e->next)
    if (e->user == user) return e;
  return nullptr;
}

int timer_remove_match(TimerQueue *q, const void *user, uint8_t kind, uint8_t subkind) {
  QueueLock lock(q);
  int removed = 0;
  TimerEntry **link = &q->head;
  while (*link) {
    TimerEntry *e = *link;
    if (matches(e, user, kind, subkind)) {
      *link = e->next;
      e->next = nullptr;
      e->armed = false;
      removed++;
    } else {
      link = &e->next;
    }
  }
  return removed;
}

TimerEntry *timer_walk(TimerQueue *q, TimerWalkFn fn, void *context) {
  QueueLock lock(q);
  TimerEntry **link = &q->head;
  while (*link) {
    TimerEntry *e = *link;
    int r = fn(context, e);
    if (r < 0) return e;
    if (r == 0) {
      link = &e->next;
      continue;
    }
    *link = e->next;
    e->next = nullptr;
    e->armed = false;
    if (r > 1) return e;
  }
  return nullptr;
}
