// Log writer: see logs.h for the line format.
#include "util/logs.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

static std::atomic<uint32_t> g_log_mask{0};

void log_set_mask(uint32_t mask) { g_log_mask.store(mask, std::memory_order_relaxed); }
uint32_t log_get_mask() { return g_log_mask.load(std::memory_order_relaxed); }

int log_thread_id() {
  static thread_local int tid = 0;
  if (tid == 0) tid = (int)syscall(SYS_gettid);
  return tid;
}

static bool log_enabled(uint32_t mask) { return mask == 0 || (mask & log_get_mask()) != 0; }

// Cuts an over-long line so that it ends with "..#\n" inside LOG_LINE_MAX.
static int log_finish(char *line, int n) {
  if (n < 0) return 0;
  if (n >= LOG_LINE_MAX) {
    n = LOG_LINE_MAX;
    memcpy(line + n - 4, "..#\n", 4);
  }
  ssize_t w = write(1, line, (size_t)n);
  return w < 0 ? 0 : (int)w;
}

int log_write(uint32_t mask, const char *format, ...) {
  if (!log_enabled(mask)) return 0;
  char line[LOG_LINE_MAX + 1];
  va_list ap;
  va_start(ap, format);
  int n = vsnprintf(line, sizeof line, format, ap);
  va_end(ap);
  return log_finish(line, n);
}

int log_line(uint32_t mask, char level, const char *function, const char *format, ...) {
  if (!log_enabled(mask)) return 0;
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  struct tm tm;
  localtime_r(&tv.tv_sec, &tm);

  char line[LOG_LINE_MAX + 1];
  int p = snprintf(line, sizeof line, "%c %02d%02d-%02d%02d%02d-%03u %d (%s): ", level, tm.tm_mday,
                   tm.tm_mon + 1, tm.tm_hour, tm.tm_min, tm.tm_sec, (unsigned)(tv.tv_usec / 1000),
                   log_thread_id(), function ? function : "");
  if (p < 0) return 0;
  va_list ap;
  va_start(ap, format);
  int n = vsnprintf(line + p, sizeof line - (size_t)p, format, ap);
  va_end(ap);
  if (n < 0) return 0;
  int total = p + n;
  // Every line ends with a newline; add one when the text has none.
  if (total < LOG_LINE_MAX && line[total - 1] != '\n') {
    line[total++] = '\n';
    line[total] = 0;
  }
  return log_finish(line, total);
}
