// A private directory under /tmp for one test, removed with everything in
// it when the test ends.
#pragma once

#include <string>

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;

  const std::string &path() const { return path_; }
  // path() + "/" + name
  std::string file(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};
