// Thread helpers: see threads.h.
#include "util/threads.h"

#include <csignal>
#include <cstring>

static void empty_handler(int) {}

pthread_t thread_create(ThreadEntry entry, void *arg, size_t stack_size) {
  if (!entry) return 0;
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return 0;
  size_t stack = (stack_size ? stack_size : THREAD_STACK_DEFAULT) + THREAD_STACK_EXTRA;
  pthread_attr_setstacksize(&attr, stack);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_JOINABLE);
  pthread_t t;
  int rc = pthread_create(&t, &attr, entry, arg);
  pthread_attr_destroy(&attr);
  return rc == 0 ? t : 0;
}

// Index arguments for thread_create_many: constant for the life of the
// process, so a thread may keep its pointer as long as it likes.
static int g_thread_index[THREAD_MANY_MAX];
static pthread_once_t g_thread_index_once = PTHREAD_ONCE_INIT;

static void thread_index_init() {
  for (int i = 0; i < THREAD_MANY_MAX; i++) g_thread_index[i] = i;
}

int thread_create_many(pthread_t *threads, ThreadEntry entry, void *arg, int count,
                       size_t stack_size) {
  if (!threads || count < 0 || count > THREAD_MANY_MAX) return -1;
  pthread_once(&g_thread_index_once, thread_index_init);
  int started = 0;
  for (; started < count; started++) {
    void *a = arg ? arg : &g_thread_index[started];
    threads[started] = thread_create(entry, a, stack_size);
    if (!threads[started]) break;
  }
  return started;
}

int thread_interrupt(pthread_t thread) {
  if (!thread) return -1;
  return pthread_kill(thread, SIGUSR2) == 0 ? 0 : -1;
}

int thread_set_name(pthread_t thread, const char *name) {
  if (!thread || !name) return -1;
  char cut[16];
  strncpy(cut, name, sizeof cut - 1);
  cut[sizeof cut - 1] = 0;
  return pthread_setname_np(thread, cut) == 0 ? 0 : -1;
}

static int install_if_default(int sig) {
  struct sigaction old;
  if (sigaction(sig, nullptr, &old) != 0) return -1;
  if (old.sa_handler != SIG_DFL || (old.sa_flags & SA_SIGINFO)) return 0;
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = empty_handler;
  sigemptyset(&sa.sa_mask);
  return sigaction(sig, &sa, nullptr);
}

int thread_signals_init() {
  int a = install_if_default(SIGUSR2);
  int b = install_if_default(SIGPIPE);
  return a == 0 && b == 0 ? 0 : -1;
}
