// The wake-up pair: two connected local stream sockets. Application threads
// write one byte to fd[1] to wake the engine thread, which watches fd[0]
// next to its server socket and drains it on every pass.
#pragma once

struct WakePair {
  int fd[2] = {-1, -1};
};

// Closes both sockets when open and creates a new pair; -1 on failure
// (logged as the critical "aux sockpair failed").
int ipc_init(WakePair *w);
// Writes the wake byte; recreates the pair and writes once more when the
// write fails. -1 when that fails too.
int ipc_wake(WakePair *w);
// Reads and discards whatever is pending on fd[0].
void ipc_drain(WakePair *w);
void ipc_close(WakePair *w);
