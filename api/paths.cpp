// The storage layout and the small file operations: see paths.h.
#include "api/paths.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

static const char *const MEDIA_NAMES[PATHS_MEDIA_TYPES] = {"Files", "Images", "Videos", "Audios"};
static const char NOMEDIA_NAME[] = ".nomedia";

// ---- directories ----------------------------------------------------------

static int make_one_dir(const char *path, mode_t mode) {
  if (mkdir(path, mode) == 0) return 0;
  if (errno != EEXIST) return -1;
  struct stat st;
  return stat(path, &st) == 0 && S_ISDIR(st.st_mode) ? 0 : -1;
}

int make_dirs(const char *path, mode_t mode, bool parents_only) {
  if (path == nullptr || *path == 0) return -1;
  std::string s(path);
  size_t end = s.size();
  while (end > 1 && s[end - 1] == '/') end--;
  s.resize(end);
  if (parents_only) {
    size_t slash = s.rfind('/');
    if (slash == std::string::npos || slash == 0) return 0;
    s.resize(slash);
  }
  for (size_t i = 1; i <= s.size(); i++) {
    if (i < s.size() && s[i] != '/') continue;
    if (s[i - 1] == '/') continue;  // "//" in the middle
    std::string prefix = s.substr(0, i);
    if (make_one_dir(prefix.c_str(), mode) != 0) return -1;
  }
  return 0;
}

// Mobile media scanners skip a folder holding this marker.
static void add_nomedia(const Paths *p, const char *dir) {
  if (p->platform != PATHS_PLATFORM_MOBILE) return;
  std::string marker = std::string(dir) + "/" + NOMEDIA_NAME;
  file_write(marker.c_str(), " ", 1, PATHS_FILE_MODE);
}

// The root's parents are ordinary folders; the root itself is private.
static int make_root(const char *root) {
  if (make_dirs(root, PATHS_DIR_MODE, true) != 0) return -1;
  return make_one_dir(root, PATHS_ROOT_MODE);
}

// ---- path state -----------------------------------------------------------

// Keeps a text for the life of the record; callers may hold it long after.
static const char *keep(Paths *p, const std::string &s) {
  p->texts.push_back(s);
  return p->texts.back().c_str();
}

static void forget_cached(Paths *p) {
  p->databases = p->logs = p->tn = p->profiles = nullptr;
  for (auto &m : p->media) m[0] = m[1] = nullptr;
}

// The folder routine: root/name, made and remembered on first use.
static const char *folder(Paths *p, const char **slot, const char *name) {
  if (*slot == nullptr) {
    std::string s = std::string(p->root) + "/" + name;
    make_dirs(s.c_str(), PATHS_DIR_MODE, false);
    add_nomedia(p, s.c_str());
    *slot = keep(p, s);
  }
  return *slot;
}

static std::string without_trailing_slashes(const char *s) {
  std::string r(s);
  while (!r.empty() && r.back() == '/') r.pop_back();
  return r;
}

int paths_set(Paths *p, const char *root, const char *temp) {
  if (root == nullptr || *root == 0) return -1;
  std::string r = without_trailing_slashes(root);
  if (r.empty()) return -1;
  std::string t = temp ? without_trailing_slashes(temp) : std::string();

  std::string sweep;
  int rv;
  {
    std::lock_guard<std::mutex> guard(p->lock);
    if (r != p->root) {
      forget_cached(p);
      p->root = keep(p, r);
      p->root_slash = keep(p, r + "/");
    }
    rv = make_root(p->root);
    p->temp_given = !t.empty();
    if (p->temp_given) {
      p->temp = keep(p, t);
      make_dirs(p->temp, PATHS_DIR_MODE, false);
      add_nomedia(p, p->temp);
    } else {
      const char *slot = nullptr;
      p->temp = folder(p, &slot, "Temp");
    }
    folder(p, &p->databases, "Databases");
    folder(p, &p->logs, "logs");
    sweep = p->temp;
  }
  std::thread([sweep] { paths_clean_temp(sweep.c_str(), time(nullptr)); }).detach();
  return rv;
}

const char *paths_root(Paths *p) {
  std::lock_guard<std::mutex> guard(p->lock);
  return p->root;
}

const char *paths_root_slash(Paths *p) {
  std::lock_guard<std::mutex> guard(p->lock);
  return p->root_slash;
}

const char *paths_temp_dir(Paths *p) {
  std::lock_guard<std::mutex> guard(p->lock);
  return p->temp;
}

const char *paths_databases(Paths *p) {
  std::lock_guard<std::mutex> guard(p->lock);
  return folder(p, &p->databases, "Databases");
}

const char *paths_logs(Paths *p) {
  std::lock_guard<std::mutex> guard(p->lock);
  return folder(p, &p->logs, "logs");
}

const char *paths_tn(Paths *p) {
  std::lock_guard<std::mutex> guard(p->lock);
  return folder(p, &p->tn, "tn");
}

const char *paths_profiles(Paths *p) {
  std::lock_guard<std::mutex> guard(p->lock);
  return folder(p, &p->profiles, "Profiles");
}

const char *paths_media_folder(Paths *p, int type, bool dated, bool sent, time_t now) {
  if (type < MEDIA_IMAGE || type > MEDIA_AUDIO) type = MEDIA_FILE;
  if (!dated) return MEDIA_NAMES[type];
  std::lock_guard<std::mutex> guard(p->lock);
  const char **slot = &p->media[type][sent ? 1 : 0];
  if (*slot == nullptr) {
    struct tm tm;
    localtime_r(&now, &tm);
    char buf[4096];
    int n = snprintf(buf, sizeof buf, "%s/%s/%s/%04d-%02d", p->root, MEDIA_NAMES[type],
                     sent ? "Sent" : "Inbox", tm.tm_year + 1900, tm.tm_mon + 1);
    if (n < 0 || (size_t)n >= sizeof buf) return nullptr;
    make_dirs(buf, PATHS_DIR_MODE, false);
    *slot = keep(p, buf);
  }
  return *slot;
}

const char *paths_media_folder(Paths *p, int type, bool dated, bool sent) {
  return paths_media_folder(p, type, dated, sent, time(nullptr));
}

// ---- names ----------------------------------------------------------------

int paths_temp_file(Paths *p, const char *dir, const char *prefix, const char *ext, char *out,
                    size_t cap) {
  if (out == nullptr || cap == 0) return -1;
  if (dir == nullptr) dir = paths_temp_dir(p);
  if (dir == nullptr || *dir == 0) dir = "/tmp";
  if (prefix == nullptr) prefix = "zalvio";
  if (ext == nullptr) ext = "tmp";
  time_t now = time(nullptr);
  struct tm tm;
  localtime_r(&now, &tm);
  int n = snprintf(out, cap, "%s/%s-%02u%02u%02u%02u%02u%02u-XXXXXX.%s", dir, prefix,
                   (unsigned)(tm.tm_year % 100), (unsigned)(tm.tm_mon + 1), (unsigned)tm.tm_mday,
                   (unsigned)tm.tm_hour, (unsigned)tm.tm_min, (unsigned)tm.tm_sec, ext);
  if (n < 0 || (size_t)n >= cap) {
    out[0] = 0;
    return -1;
  }
  // A name that is not ours alone could be raced by another writer.
  int fd = mkstemps(out, (int)strlen(ext) + 1);
  if (fd < 0) {
    out[0] = 0;
    return -1;
  }
  close(fd);
  return n;
}

int paths_profile_picture(Paths *p, const char *address, int address_len, uint32_t groupid,
                          bool self, bool thumbnail, bool large, char *out, size_t cap) {
  if (out == nullptr || cap == 0) return -1;
  out[0] = 0;
  size_t alen = 0;
  if (address) alen = address_len < 0 ? strlen(address) : (size_t)address_len;
  if (alen > 0 && memchr(address, '/', alen) != nullptr) return -1;
  if (alen > (size_t)INT32_MAX) return -1;
  const char *dir = thumbnail ? paths_tn(p) : paths_profiles(p);
  const char *suffix = thumbnail ? (large ? "_tn" : "_stn") : "";
  int n;
  if (self) n = snprintf(out, cap, "%s/self%s.jpg", dir, suffix);
  else if (groupid) n = snprintf(out, cap, "%s/g%u%s.jpg", dir, groupid, suffix);
  else if (alen > 0) n = snprintf(out, cap, "%s/a%.*s%s.jpg", dir, (int)alen, address, suffix);
  else n = snprintf(out, cap, "%s/default.jpg", dir);
  if (n < 0 || (size_t)n >= cap) {
    out[0] = 0;
    return -1;
  }
  return n;
}

int paths_delete_profile_pictures(Paths *p, const char *address, uint32_t groupid, bool self) {
  static const bool THUMBNAIL[3] = {false, true, true};
  static const bool LARGE[3] = {false, true, false};
  int deleted = 0;
  for (int i = 0; i < 3; i++) {
    char path[4096];
    if (paths_profile_picture(p, address, -1, groupid, self, THUMBNAIL[i], LARGE[i], path,
                              sizeof path) < 0)
      continue;
    if (unlink(path) == 0) deleted++;
  }
  return deleted;
}

const char *paths_relative(Paths *p, const char *path) {
  if (path == nullptr) return nullptr;
  const char *prefix = paths_root_slash(p);
  size_t n = strlen(prefix);
  return strncmp(path, prefix, n) == 0 ? path + n : path;
}

int paths_join(Paths *p, const char *dir, const char *name, char *out, size_t cap) {
  if (name == nullptr || out == nullptr || cap == 0) return -1;
  std::string d = without_trailing_slashes(dir ? dir : paths_root(p));
  int n = snprintf(out, cap, "%s/%s", d.c_str(), name);
  if (n < 0 || (size_t)n >= cap) {
    out[0] = 0;
    return -1;
  }
  if (make_dirs(out, PATHS_DIR_MODE, true) != 0) return -1;
  return n;
}

// ---- temporary clean-up ---------------------------------------------------

static bool is_temp_folder(const char *dir) {
  std::string d = without_trailing_slashes(dir);
  size_t slash = d.rfind('/');
  std::string last = slash == std::string::npos ? d : d.substr(slash + 1);
  return last == "Temp" || last == "temp";
}

int paths_clean_temp(const char *dir, time_t now) {
  if (dir == nullptr || !is_temp_folder(dir)) return 0;
  DIR *d = opendir(dir);
  if (d == nullptr) return 0;
  int deleted = 0;
  while (struct dirent *e = readdir(d)) {
    char path[PATHS_TEMP_PATH_LIMIT];
    int n = snprintf(path, sizeof path, "%s/%s", dir, e->d_name);
    if (n < 0 || (size_t)n >= sizeof path) continue;
    struct stat st;
    if (lstat(path, &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (st.st_mtime + (time_t)PATHS_TEMP_MAX_AGE_S < now && unlink(path) == 0) deleted++;
  }
  closedir(d);
  return deleted;
}

// ---- files ----------------------------------------------------------------

static int write_all(int fd, const void *data, size_t len) {
  const uint8_t *b = (const uint8_t *)data;
  while (len > 0) {
    ssize_t w = write(fd, b, len);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return -1;
    b += w;
    len -= (size_t)w;
  }
  return 0;
}

int file_copy(const char *from, const char *to) {
  if (from == nullptr || to == nullptr) return -1;
  int in = open(from, O_RDONLY | O_CLOEXEC);
  if (in < 0) return -1;
  struct stat st;
  if (fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(in);
    return -1;
  }
  int out = open(to, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, PATHS_FILE_MODE);
  if (out < 0) {
    close(in);
    return -1;
  }
  int rv = 0;
  char buf[65536];
  for (;;) {
    ssize_t r = read(in, buf, sizeof buf);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) rv = -1;
    if (r <= 0) break;
    if (write_all(out, buf, (size_t)r) != 0) {
      rv = -1;
      break;
    }
  }
  close(in);
  if (close(out) != 0) rv = -1;
  return rv;
}

int64_t file_size(const char *path) {
  struct stat st;
  if (path == nullptr || stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return (int64_t)st.st_size;
}

int file_write(const char *path, const void *data, size_t len, mode_t mode) {
  if (path == nullptr || (data == nullptr && len > 0)) return -1;
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) return -1;
  int rv = write_all(fd, data, len);
  if (close(fd) != 0) rv = -1;
  return rv;
}

int file_read(const char *path, uint8_t **data, size_t *len) {
  if (path == nullptr || data == nullptr || len == nullptr) return -1;
  *data = nullptr;
  *len = 0;
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return -1;
  }
  size_t size = (size_t)st.st_size;
  uint8_t *buf = (uint8_t *)malloc(size + 1);
  if (buf == nullptr) {
    close(fd);
    return -1;
  }
  size_t got = 0;
  while (got < size) {
    ssize_t r = read(fd, buf + got, size - got);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    got += (size_t)r;
  }
  close(fd);
  buf[got] = 0;
  *data = buf;
  *len = got;
  return 0;
}

static bool has_dotdot(const char *path) {
  for (const char *s = path; (s = strstr(s, "..")) != nullptr; s += 2) {
    bool starts = s == path || s[-1] == '/';
    bool ends = s[2] == 0 || s[2] == '/';
    if (starts && ends) return true;
  }
  return false;
}

int file_remove_below(const char *dir, const char *path) {
  if (dir == nullptr || path == nullptr || *dir == 0) return -1;
  std::string d = without_trailing_slashes(dir) + "/";
  if (strncmp(path, d.c_str(), d.size()) != 0 || path[d.size()] == 0) return -1;
  if (has_dotdot(path)) return -1;
  return unlink(path) == 0 ? 0 : -1;
}

int file_move(const char *from, const char *to) {
  if (from == nullptr || to == nullptr) return -1;
  if (rename(from, to) == 0) return 0;
  if (errno != EXDEV) return -1;
  if (file_copy(from, to) != 0) return -1;
  return unlink(from) == 0 ? 0 : -1;
}
