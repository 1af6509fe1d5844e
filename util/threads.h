// Thread creation with the library's stack size, thread names, and the
// interrupt used to break another thread out of a blocking call.
//
// Every thread gets the requested stack (THREAD_STACK_DEFAULT when 0) plus
// THREAD_STACK_EXTRA bytes of headroom. An interrupt is SIGUSR2: with the
// empty handler that thread_signals_init installs (without SA_RESTART), a
// blocking read, write, connect or select in the target thread returns
// EINTR instead of the signal ending the process.
#pragma once

#include <pthread.h>

#include <cstddef>

enum : size_t {
  THREAD_STACK_DEFAULT = 126976,
  THREAD_STACK_EXTRA = 16384,
};
enum { THREAD_MANY_MAX = 256 };

typedef void *(*ThreadEntry)(void *arg);

// Starts a joinable thread. Returns its handle, or 0 on failure.
pthread_t thread_create(ThreadEntry entry, void *arg, size_t stack_size);
// Starts `count` joinable threads into `threads`. Each gets `arg`, or when
// `arg` is null a pointer to its own index (an int that stays valid for the
// life of the process). Stops at the first failure; returns how many
// started, or -1 when count is out of range (0 .. THREAD_MANY_MAX).
int thread_create_many(pthread_t *threads, ThreadEntry entry, void *arg, int count,
                       size_t stack_size);
// Sends SIGUSR2 to `thread`. Returns 0, or -1 for no thread or on failure.
int thread_interrupt(pthread_t thread);
// Names `thread` (cut to the 15 bytes the kernel keeps). Returns 0 or -1.
int thread_set_name(pthread_t thread, const char *name);
// Installs empty handlers for SIGUSR2 and SIGPIPE where none is installed,
// so interrupts and writes to closed sockets fail calls instead of ending
// the process. Returns 0, or -1 on failure.
int thread_signals_init();
