// Captures what the library writes to standard output (its log) while a
// test runs, so tests can look for the log lines a behaviour must produce;
// or, for the benchmarks, sends it nowhere so their report stays readable.
#pragma once

#include <string>

class StdoutCapture {
 public:
  StdoutCapture();
  ~StdoutCapture();
  // Stops capturing (idempotent) and returns everything written so far.
  std::string text();
  bool contains(const std::string &needle) { return text().find(needle) != std::string::npos; }

 private:
  int saved_fd_ = -1;
  int file_fd_ = -1;
  std::string text_;
  void finish();
};

class QuietStdout {
 public:
  QuietStdout();
  ~QuietStdout();

 private:
  int saved_fd_ = -1;
};
