#include "core/engine_helper.h"

#include <string>

int StatusRecorder::on_status(int status, uint32_t, uint32_t, uint32_t) {
  std::lock_guard<std::mutex> lock(mu_);
  statuses_.push_back(status);
  times_.push_back(std::chrono::steady_clock::now());
  cv_.notify_all();
  return 0;
}

bool StatusRecorder::wait_for(int status, int n, int timeout_ms) {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
    int c = 0;
    for (int s : statuses_) c += s == status;
    return c >= n;
  });
}

int StatusRecorder::count(int status) {
  std::lock_guard<std::mutex> lock(mu_);
  int c = 0;
  for (int s : statuses_) c += s == status;
  return c;
}

std::vector<int> StatusRecorder::seen() {
  std::lock_guard<std::mutex> lock(mu_);
  return statuses_;
}

void StatusRecorder::clear() {
  std::lock_guard<std::mutex> lock(mu_);
  statuses_.clear();
  times_.clear();
}

std::chrono::steady_clock::time_point StatusRecorder::when(int status, int nth) {
  std::lock_guard<std::mutex> lock(mu_);
  for (size_t i = 0; i < statuses_.size(); i++)
    if (statuses_[i] == status && nth-- == 0) return times_[i];
  return {};
}

void EngineSetup::configure(CAPI *engine, ServiceHarness &svc, const std::string &token) {
  // Each engine keeps its files (fingerprint, ...) in the service's
  // temporary directory, removed with it.
  static int counter = 0;
  std::string dir = svc.dir() + "/engine-" + std::to_string(++counter);
  engine->set_paths(dir.c_str(), nullptr);
  engine->set_server(("127.0.0.1:" + std::to_string(svc.port())).c_str());
  engine->set_trusted_ca(svc.ca_file().c_str());
  engine->set_credentials(token.c_str());
}
