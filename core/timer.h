// The engine's timer queue: caller-owned entries sorted by due time.
//
// Application threads arm and cancel entries; the engine thread pops the
// expired ones once per pass of its loop and runs them (entries of kind
// TIMER_KIND_ENGINE go to the engine's on_timer). Due times are engine-clock
// milliseconds. Every operation takes the queue's mutex; timer_walk's
// callback runs with it held.
#pragma once

#include <pthread.h>

#include <cstdint>

enum : uint8_t {
  TIMER_KIND_ENGINE = 1,  // delivered to the engine's on_timer
};

struct TimerEntry {
  TimerEntry *next;
  void *user;
  uint64_t due_ms;
  uint8_t kind;
  uint8_t subkind;
  bool cancelled;
  bool armed;
};

struct TimerQueue {
  TimerEntry *head = nullptr;
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
};

// Arms `e` to fire `delay_ms` from now (re-queues it when already armed).
void timer_add(TimerQueue *q, TimerEntry *e, uint64_t delay_ms);
// Re-arms only when the entry's remaining time is not below `delay_ms`.
void timer_add_if_later(TimerQueue *q, TimerEntry *e, uint64_t delay_ms);
// Milliseconds left (0 when due, not armed or cancelled).
uint64_t timer_remaining(TimerQueue *q, const TimerEntry *e);
// Drops cancelled entries from the head; returns the head when due (unlinked
// and disarmed), else null with *wait_ms = milliseconds until the head is due
// (UINT64_MAX when the queue is empty).
TimerEntry *timer_pop(TimerQueue *q, uint64_t *wait_ms);
// Unlinks and disarms; 0, or -1 when the entry was not queued.
int timer_remove(TimerQueue *q, TimerEntry *e);
TimerEntry *timer_find(TimerQueue *q, const void *user, uint8_t kind, uint8_t subkind);
TimerEntry *timer_find_user(TimerQueue *q, const void *user);
// Removes every entry matching (user, kind, subkind); returns the count.
int timer_remove_match(TimerQueue *q, const void *user, uint8_t kind, uint8_t subkind);
// Callback result: negative stops, 0 keeps, 1 removes and goes on, more than
// 1 removes and stops. Returns the entry where the walk stopped, or null.
typedef int (*TimerWalkFn)(void *context, TimerEntry *e);
TimerEntry *timer_walk(TimerQueue *q, TimerWalkFn fn, void *context);
