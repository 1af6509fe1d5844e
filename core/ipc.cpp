// Wake-up pair of the engine thread.
#include "core/ipc.h"

#include <cerrno>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "util/logs.h"

enum { WAKE_BYTE = 1, DRAIN_CHUNK = 32000 };

void ipc_close(WakePair *w) {
  for (int &fd : w->fd) {
    if (fd >= 0) close(fd);
    fd = -1;
  }
}

int ipc_init(WakePair *w) {
  ipc_close(w);
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, w->fd) != 0) {
    w->fd[0] = w->fd[1] = -1;
    LOGC("aux sockpair failed");
    return -1;
  }
  return 0;
}

static bool write_wake_byte(WakePair *w) {
  if (w->fd[1] < 0) return false;
  const char b = WAKE_BYTE;
  return send(w->fd[1], &b, 1, MSG_NOSIGNAL | MSG_DONTWAIT) == 1;
}

int ipc_wake(WakePair *w) {
  if (write_wake_byte(w)) return 0;
  // A full pair already holds wake bytes the engine has not read yet.
  if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
  if (ipc_init(w) != 0) return -1;
  return write_wake_byte(w) ? 0 : -1;
}

void ipc_drain(WakePair *w) {
  char buf[DRAIN_CHUNK];
  for (;;) {
    int pending = 0;
    if (w->fd[0] < 0 || ioctl(w->fd[0], FIONREAD, &pending) != 0 || pending <= 0) return;
    if (recv(w->fd[0], buf, sizeof buf, MSG_DONTWAIT) <= 0) return;
  }
}
