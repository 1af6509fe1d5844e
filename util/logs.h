// The log writer every module uses.
//
// A line is: level letter, local time "DDMM-hhmmss-mmm", kernel thread id,
// the function name in parentheses, ": " and the text, written to standard
// output with one write(2) so lines of concurrent threads never interleave.
// A line longer than LOG_LINE_MAX bytes is cut and ends with "..#\n".
//
// Each call carries a level mask: mask 0 is always written, any other mask
// only when it shares a bit with the process-wide mask (0 after engine
// construction), so debug output costs one branch when it is off.
#pragma once

#include <cstdint>

enum : uint32_t {
  LOG_ALWAYS = 0,
  LOG_DEBUG = 0x1,    // engine flow
  LOG_NET = 0x2,      // connection and frames
  LOG_DB = 0x4,       // database statements
  LOG_HTTP = 0x8,     // HTTP client
  LOG_E2E = 0x10,     // end-to-end module
  LOG_CALL = 0x20,    // call signalling
};

enum { LOG_LINE_MAX = 4195 };

// Writes one preformatted line (the format holds everything, prefix
// included). Returns the bytes written, or 0 when the line is suppressed.
int log_write(uint32_t mask, const char *format, ...) __attribute__((format(printf, 2, 3)));

// Writes one line with the standard prefix for `level` ('E', 'D', 'I', 'C')
// and `function`. Returns the bytes written, or 0 when suppressed.
int log_line(uint32_t mask, char level, const char *function, const char *format, ...)
    __attribute__((format(printf, 4, 5)));

void log_set_mask(uint32_t mask);
uint32_t log_get_mask();

// Kernel thread id of the calling thread (cached per thread).
int log_thread_id();

// The usual forms: always written, tagged with the calling function.
#define LOGE(...) log_line(LOG_ALWAYS, 'E', __func__, __VA_ARGS__)
#define LOGI(...) log_line(LOG_ALWAYS, 'I', __func__, __VA_ARGS__)
#define LOGD(...) log_line(LOG_ALWAYS, 'D', __func__, __VA_ARGS__)
#define LOGC(...) log_line(LOG_ALWAYS, 'C', __func__, __VA_ARGS__)
// Written only when `mask` is enabled.
#define LOGM(mask, ...) log_line((mask), 'D', __func__, __VA_ARGS__)
