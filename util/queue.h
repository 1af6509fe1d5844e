// An intrusive singly linked list with its own mutex.
//
// Entries belong to the caller: a record that wants to be queued starts with
// a ListEntry (next pointer, then data pointer), and the list only links and
// unlinks it. The job queue keeps its jobs here.
#pragma once

#include <pthread.h>

struct ListEntry {
  ListEntry *next;
  void *data;
};

// Walk callback results; any negative result stops the walk too.
enum {
  LIST_WALK_KEEP = 0,
  LIST_WALK_REMOVE = 1,       // remove and go on
  LIST_WALK_REMOVE_STOP = 2,  // any result above 1 removes and stops
};

class LockedList {
 public:
  // The walk reads an entry's next pointer before calling back, so the
  // callback may free an entry it asks to remove.
  typedef int (*WalkFn)(void *ctx, ListEntry *entry);

  LockedList();
  ~LockedList();
  LockedList(const LockedList &) = delete;
  LockedList &operator=(const LockedList &) = delete;

  // Adds `entry` at the front or the back, first unlinking it if it is
  // already in this list. Returns 0, or -1 for a null entry.
  int push(ListEntry *entry, bool at_front);
  ListEntry *pop();                // the head, unlinked, or null
  ListEntry *find(void *data);     // first entry carrying `data`, or null
  int remove(ListEntry *entry);    // 0, or -1 when not in the list
  // Negative result stops, 0 keeps, 1 removes and continues, above 1
  // removes and stops. Returns the entry where the walk stopped, or null
  // when it ran to the end.
  ListEntry *walk(WalkFn fn, void *ctx);
  int count();

 private:
  pthread_mutex_t lock_;
  ListEntry *head_ = nullptr;
  ListEntry *tail_ = nullptr;
  int count_ = 0;

  void unlink(ListEntry *prev, ListEntry *entry);
  bool unlink_if_present(ListEntry *entry);
};
