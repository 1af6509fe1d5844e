#include "support/capture.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

StdoutCapture::StdoutCapture() {
  fflush(stdout);
  char path[] = "/tmp/zalvio-capture-XXXXXX";
  file_fd_ = mkstemp(path);
  if (file_fd_ < 0) return;
  unlink(path);
  saved_fd_ = dup(1);
  dup2(file_fd_, 1);
}

StdoutCapture::~StdoutCapture() { finish(); }

void StdoutCapture::finish() {
  if (saved_fd_ < 0) return;
  fflush(stdout);
  dup2(saved_fd_, 1);
  close(saved_fd_);
  saved_fd_ = -1;
  lseek(file_fd_, 0, SEEK_SET);
  char buf[4096];
  ssize_t n;
  while ((n = read(file_fd_, buf, sizeof buf)) > 0) text_.append(buf, (size_t)n);
  close(file_fd_);
  file_fd_ = -1;
}

std::string StdoutCapture::text() {
  finish();
  return text_;
}

QuietStdout::QuietStdout() {
  fflush(stdout);
  saved_fd_ = dup(1);
  int null_fd = open("/dev/null", O_WRONLY);
  if (null_fd < 0) return;
  dup2(null_fd, 1);
  close(null_fd);
}

QuietStdout::~QuietStdout() {
  if (saved_fd_ < 0) return;
  fflush(stdout);
  dup2(saved_fd_, 1);
  close(saved_fd_);
}
