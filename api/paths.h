// The storage layout: everything the library writes lives under one data
// root.
//
//   root/Temp                temporary and partial download files (or a
//                            separate temporary directory given by the caller)
//   root/Databases           database files
//   root/logs                log files
//   root/tn, root/Profiles   profile thumbnails and pictures
//   root/{Files,Images,Videos,Audios}/{Sent,Inbox}/YYYY-MM   media by month
//
// The engine owns one `Paths` record and calls the functions below on it;
// the database layer and the message flow get their directories from the
// same record. Texts handed out stay valid for the life of the record, even
// after a different root is set (a caller on another thread may still hold
// the old one), so the record keeps every text it ever produced.
//
// The data root itself is created 0700: the messages and, later, the keys
// below it are nobody else's business. The folders inside may be 0755, as
// they are unreachable through the root.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <deque>
#include <mutex>
#include <string>

enum : uint32_t {
  PATHS_ROOT_MODE = 0700,
  PATHS_DIR_MODE = 0755,
  PATHS_PRIVATE_FILE_MODE = 0600,
  PATHS_FILE_MODE = 0644,
  PATHS_TEMP_MAX_AGE_S = 2592000,  // temporary files older than 30 days go
  PATHS_TEMP_PATH_LIMIT = 251,     // longer paths are never cleaned
  PATHS_PLATFORM_MOBILE = 1,       // folders get a ".nomedia" marker
  PATHS_MEDIA_TYPES = 4,
};

enum MediaType {
  MEDIA_FILE = 0,
  MEDIA_IMAGE = 1,
  MEDIA_VIDEO = 2,
  MEDIA_AUDIO = 3,
};

struct Paths {
  std::mutex lock;
  std::deque<std::string> texts;  // owner of every path below
  uint8_t platform = 0;
  const char *root = ".";
  const char *root_slash = "./";  // prefix for making stored paths relative
  const char *temp = "./";
  bool temp_given = false;        // temporary directory set by the caller
  // Cached on first use; null until then and after the root changes.
  const char *databases = nullptr;
  const char *logs = nullptr;
  const char *tn = nullptr;
  const char *profiles = nullptr;
  const char *media[PATHS_MEDIA_TYPES][2] = {};  // [type][sent]
};

// Sets the data root and the temporary directory (null: root/Temp),
// creates them, Databases and logs, and starts the clean-up of old
// temporary files on a detached thread. -1 without a root or when the root
// cannot be created.
int paths_set(Paths *p, const char *root, const char *temp);

const char *paths_root(Paths *p);
const char *paths_root_slash(Paths *p);
const char *paths_temp_dir(Paths *p);
// Created on first use.
const char *paths_databases(Paths *p);
const char *paths_logs(Paths *p);
const char *paths_tn(Paths *p);
const char *paths_profiles(Paths *p);

// The media folder of `type` (1 image, 2 video, 3 audio, else other files):
// its bare name without `dated`, else root/<name>/<Sent|Inbox>/YYYY-MM for
// the local month of `now`, created on first use and then kept until the
// root changes.
const char *paths_media_folder(Paths *p, int type, bool dated, bool sent, time_t now);
const char *paths_media_folder(Paths *p, int type, bool dated, bool sent);

// Creates an empty file "<dir>/<prefix>-YYMMDDhhmmss-XXXXXX.<ext>" (dir
// null: the temporary directory; prefix "zalvio", ext "tmp" by default)
// and writes its name. Returns the name's length, or -1 when the name does
// not fit or the file cannot be created exclusively.
int paths_temp_file(Paths *p, const char *dir, const char *prefix, const char *ext, char *out,
                    size_t cap);

// Name of a profile picture: own ("self"), a group's ("g<id>"), a
// contact's ("a<address>"), else "default"; in tn with suffix "_tn"
// (large) or "_stn" when `thumbnail`, else in Profiles. `address_len` < 0
// measures the address. Returns the length, or -1 when it does not fit or
// the address holds a '/' (addresses come from peers).
int paths_profile_picture(Paths *p, const char *address, int address_len, uint32_t groupid,
                          bool self, bool thumbnail, bool large, char *out, size_t cap);
// Deletes the picture and both thumbnails; returns the number deleted.
int paths_delete_profile_pictures(Paths *p, const char *address, uint32_t groupid, bool self);

// The part of `path` after root + "/" when it starts with it, else `path`.
const char *paths_relative(Paths *p, const char *path);

// dir + "/" + name (dir's trailing '/' removed; null dir: the root), with
// the directories of the result created. Returns the length or -1.
int paths_join(Paths *p, const char *dir, const char *name, char *out, size_t cap);

// Deletes regular files directly inside `dir` modified more than 30 days
// before `now`, only when the last component of `dir` is "Temp" or "temp"
// (a directory the library did not make its own is never swept). Returns
// the number deleted.
int paths_clean_temp(const char *dir, time_t now);

// ---- small file operations ------------------------------------------------

// Creates each missing component of an absolute path with `mode`; with
// `parents_only` the last component is left out. An existing directory
// succeeds; anything else in the way fails. 0 or -1.
int make_dirs(const char *path, mode_t mode, bool parents_only);
// Copies a regular file (replacing `to`); 0 or -1.
int file_copy(const char *from, const char *to);
// Size of a regular file, or -1 when there is none.
int64_t file_size(const char *path);
// Replaces `path` with `data`, creating it with `mode`; 0 or -1.
int file_write(const char *path, const void *data, size_t len, mode_t mode);
// Reads a whole regular file into a heap block (caller frees, a 0 byte
// follows the data); 0 or -1.
int file_read(const char *path, uint8_t **data, size_t *len);
// Removes `path` only when it lies inside `dir` (no ".." component); 0 or -1.
int file_remove_below(const char *dir, const char *path);
// Moves a file: rename, or copy and delete across file systems; 0 or -1.
int file_move(const char *from, const char *to);
