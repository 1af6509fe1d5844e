#include "support/tempdir.h"

#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>

static int remove_entry(const char *path, const struct stat *, int, struct FTW *) {
  remove(path);
  return 0;
}

TempDir::TempDir() {
  char pattern[] = "/tmp/zalvio-test-XXXXXX";
  if (mkdtemp(pattern)) path_ = pattern;
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  // Tests may leave folders without write or search permission behind.
  chmod(path_.c_str(), 0700);
  nftw(path_.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}
