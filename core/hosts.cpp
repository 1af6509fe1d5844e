// Deployment values and their run-time overrides.
#include "core/hosts.h"

#include <pthread.h>

#include <cstdlib>
#include <cstring>

#include "util/mutex.h"

static const char *const kBuiltIn[HOST_COUNT] = {
    "https://www.zalvio.example",  // HOST_WEB
    "msg.zalvio.example",          // HOST_SERVER
    "msg2.zalvio.example",         // HOST_ALTERNATE
    "www.probe-one.example",       // HOST_PROBE_1
    "www.probe-two.example",
    "www.probe-three.example",
    "www.probe-four.example",
    "www.probe-five.example",
    "https://maps.zalvio.example",   // HOST_STATIC_MAP
    "https://tiles.zalvio.example",  // HOST_MAP_TILES
};

static pthread_mutex_t g_hosts_lock = PTHREAD_MUTEX_INITIALIZER;
// Overrides are kept for the life of the process: callers may hold the
// returned pointer, so a replaced value is never freed.
static const char *g_override[HOST_COUNT];

const char *host_get(HostName which) {
  if (which < 0 || which >= HOST_COUNT) return "";
  MutexGuard guard(&g_hosts_lock);
  return g_override[which] ? g_override[which] : kBuiltIn[which];
}

void host_set(HostName which, const char *value) {
  if (which < 0 || which >= HOST_COUNT) return;
  MutexGuard guard(&g_hosts_lock);
  g_override[which] = value ? strdup(value) : nullptr;
}
