// An engine pointed at a stand-in service on loopback, with a listener that
// records every status, for the end-to-end tests of the core.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/api.h"
#include "support/service_harness.h"

// Records statuses (and whatever a test adds on top).
class StatusRecorder : public INotify {
 public:
  int on_status(int status, uint32_t detail, uint32_t, uint32_t) override;
  // Waits until `status` was reported `count` times in all.
  bool wait_for(int status, int count = 1, int timeout_ms = 10000);
  int count(int status);
  std::vector<int> seen();
  void clear();
  // Time of the n-th report of `status` (0-based).
  std::chrono::steady_clock::time_point when(int status, int nth);

 protected:
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<int> statuses_;
  std::vector<std::chrono::steady_clock::time_point> times_;
};

// Builds a CAPI (or a subclass) that talks to `svc` as user `uid`.
struct EngineSetup {
  static void configure(CAPI *engine, ServiceHarness &svc, const std::string &token);
};
