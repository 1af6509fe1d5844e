#include "util/threads.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <unistd.h>

#include "util/mutex.h"

namespace {

void *report_stack(void *arg) {
  pthread_attr_t attr;
  size_t size = 0;
  if (pthread_getattr_np(pthread_self(), &attr) == 0) {
    pthread_attr_getstacksize(&attr, &size);
    pthread_attr_destroy(&attr);
  }
  *(size_t *)arg = size;
  return nullptr;
}

void *return_arg(void *arg) { return arg; }

struct Blocked {
  int fd;
  std::atomic<bool> interrupted{false};
};

void *block_in_read(void *arg) {
  Blocked *b = (Blocked *)arg;
  char c;
  for (;;) {
    ssize_t n = read(b->fd, &c, 1);
    if (n < 0 && errno == EINTR) break;
  }
  b->interrupted = true;
  return nullptr;
}

}  // namespace

TEST(Threads, StackSizeHasHeadroom) {
  struct Case {
    size_t asked, want;
  } cases[] = {{0, 126976 + 16384}, {65536, 65536 + 16384}};
  for (const Case &c : cases) {
    size_t got = 0;
    pthread_t t = thread_create(report_stack, &got, c.asked);
    ASSERT_NE(t, 0u);
    pthread_join(t, nullptr);
    // At least: the C library may hand out a larger cached stack.
    EXPECT_GE(got, c.want) << c.asked;
  }
}

TEST(Threads, ManyGetArgumentOrIndex) {
  pthread_t ts[5];
  ASSERT_EQ(thread_create_many(ts, return_arg, nullptr, 5, 0), 5);
  for (int i = 0; i < 5; i++) {
    void *r = nullptr;
    pthread_join(ts[i], &r);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(*(int *)r, i);
  }
  int shared = 42;
  ASSERT_EQ(thread_create_many(ts, return_arg, &shared, 2, 0), 2);
  for (int i = 0; i < 2; i++) {
    void *r = nullptr;
    pthread_join(ts[i], &r);
    EXPECT_EQ(r, &shared);
  }
  EXPECT_EQ(thread_create_many(ts, return_arg, nullptr, -1, 0), -1);
}

TEST(Threads, InterruptBreaksBlockingCall) {
  ASSERT_EQ(thread_signals_init(), 0);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  Blocked b;
  b.fd = fds[0];
  pthread_t t = thread_create(block_in_read, &b, 0);
  ASSERT_NE(t, 0u);
  EXPECT_EQ(thread_set_name(t, "zalvio-test-long-name"), 0);
  char name[16] = {0};
  pthread_getname_np(t, name, sizeof name);
  EXPECT_STREQ(name, "zalvio-test-lon");
  // The signal may land before the thread is inside read(); repeat it.
  for (int i = 0; i < 5000 && !b.interrupted; i++) {
    EXPECT_EQ(thread_interrupt(t), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  pthread_join(t, nullptr);
  EXPECT_TRUE(b.interrupted);
  EXPECT_EQ(thread_interrupt(0), -1);
  close(fds[0]);
  close(fds[1]);
}

TEST(Mutex, TimedLockGivesUp) {
  pthread_mutex_t m = PTHREAD_MUTEX_INITIALIZER;
  ASSERT_EQ(mutex_lock_timeout(&m, 10), 0);
  std::atomic<int> other{1};
  auto started = std::chrono::steady_clock::now();
  std::thread t([&] { other = mutex_lock_timeout(&m, 30); });
  t.join();
  auto waited = std::chrono::steady_clock::now() - started;
  EXPECT_EQ(other.load(), -1);
  EXPECT_GE(waited, std::chrono::milliseconds(25));
  pthread_mutex_unlock(&m);
  std::thread t2([&] {
    other = mutex_lock_timeout(&m, 30);
    if (other == 0) pthread_mutex_unlock(&m);
  });
  t2.join();
  EXPECT_EQ(other.load(), 0);
}
