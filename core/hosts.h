// Deployment values: the host names and addresses the library would reach
// in production. They live here, in one place, and every one can be
// replaced at run time (tests point them all at loopback so nothing leaves
// the machine).
#pragma once

enum HostName {
  HOST_WEB,          // web address printed by the load hook
  HOST_SERVER,       // default messaging server
  HOST_ALTERNATE,    // server for tokens that select the alternate deployment
  HOST_PROBE_1,      // five well-known hosts for the reachability probe
  HOST_PROBE_2,
  HOST_PROBE_3,
  HOST_PROBE_4,
  HOST_PROBE_5,
  HOST_STATIC_MAP,   // static-map image service (scheme and host)
  HOST_MAP_TILES,    // map-tile server (scheme and host)
  HOST_COUNT,
};

const char *host_get(HostName which);
// Replaces one value for the whole process; null restores the built-in one.
void host_set(HostName which, const char *value);
