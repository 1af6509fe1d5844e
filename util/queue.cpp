// Intrusive locked list: see queue.h.
#include "util/queue.h"

#include "util/mutex.h"

LockedList::LockedList() { pthread_mutex_init(&lock_, nullptr); }

LockedList::~LockedList() { pthread_mutex_destroy(&lock_); }

void LockedList::unlink(ListEntry *prev, ListEntry *entry) {
  if (prev)
    prev->next = entry->next;
  else
    head_ = entry->next;
  if (tail_ == entry) tail_ = prev;
  entry->next = nullptr;
  count_--;
}

bool LockedList::unlink_if_present(ListEntry *entry) {
  ListEntry *prev = nullptr;
  for (ListEntry *e = head_; e; prev = e, e = e->next) {
    if (e == entry) {
      unlink(prev, e);
      return true;
    }
  }
  return false;
}

int LockedList::push(ListEntry *entry, bool at_front) {
  if (!entry) return -1;
  MutexGuard g(&lock_);
  unlink_if_present(entry);
  if (at_front) {
    entry->next = head_;
    head_ = entry;
    if (!tail_) tail_ = entry;
  } else {
    entry->next = nullptr;
    if (tail_)
      tail_->next = entry;
    else
      head_ = entry;
    tail_ = entry;
  }
  count_++;
  return 0;
}

ListEntry *LockedList::pop() {
  MutexGuard g(&lock_);
  ListEntry *e = head_;
  if (e) unlink(nullptr, e);
  return e;
}

ListEntry *LockedList::find(void *data) {
  MutexGuard g(&lock_);
  for (ListEntry *e = head_; e; e = e->next)
    if (e->data == data) return e;
  return nullptr;
}

int LockedList::remove(ListEntry *entry) {
  if (!entry) return -1;
  MutexGuard g(&lock_);
  return unlink_if_present(entry) ? 0 : -1;
}

ListEntry *LockedList::walk(WalkFn fn, void *ctx) {
  if (!fn) return nullptr;
  MutexGuard g(&lock_);
  ListEntry *prev = nullptr;
  ListEntry *e = head_;
  while (e) {
    ListEntry *next = e->next;
    int r = fn(ctx, e);
    if (r < 0) return e;
    if (r == LIST_WALK_KEEP) {
      prev = e;
    } else {
      // Unlink by hand: `e` may already be freed by the callback.
      if (prev)
        prev->next = next;
      else
        head_ = next;
      if (tail_ == e) tail_ = prev;
      count_--;
      if (r > LIST_WALK_REMOVE) return e;
    }
    e = next;
  }
  return nullptr;
}

int LockedList::count() {
  MutexGuard g(&lock_);
  return count_;
}
