#include "api/paths.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <regex>
#include <string>

#include "support/tempdir.h"

static bool is_dir(const std::string &p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

static mode_t mode_of(const std::string &p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

static time_t local_time(int year, int month, int day) {
  struct tm tm = {};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = 12;
  tm.tm_isdst = -1;
  return mktime(&tm);
}

static void age_file(const std::string &p, time_t mtime) {
  struct timeval tv[2] = {{mtime, 0}, {mtime, 0}};
  ASSERT_EQ(utimes(p.c_str(), tv), 0);
}

TEST(Paths, DefaultsUntilSet) {
  Paths p;
  EXPECT_STREQ(paths_root(&p), ".");
  EXPECT_STREQ(paths_temp_dir(&p), "./");
  EXPECT_EQ(paths_set(&p, nullptr, nullptr), -1);
  EXPECT_EQ(paths_set(&p, "", nullptr), -1);
  EXPECT_EQ(paths_set(&p, "///", nullptr), -1);
  EXPECT_STREQ(paths_root(&p), ".");
}

TEST(Paths, SetRootCreatesPrivateRootAndItsFolders) {
  TempDir t;
  Paths p;
  std::string root = t.file("data/app");
  ASSERT_EQ(paths_set(&p, (root + "//").c_str(), nullptr), 0);
  EXPECT_EQ(paths_root(&p), root);
  EXPECT_EQ(paths_root_slash(&p), root + "/");
  EXPECT_EQ(paths_temp_dir(&p), root + "/Temp");
  EXPECT_EQ(paths_databases(&p), root + "/Databases");
  for (const char *sub : {"Temp", "Databases", "logs"}) EXPECT_TRUE(is_dir(root + "/" + sub)) << sub;
  EXPECT_EQ(mode_of(root), 0700u);
  EXPECT_EQ(mode_of(root + "/Databases"), 0755u);
  EXPECT_FALSE(is_dir(root + "/tn"));
  EXPECT_EQ(paths_tn(&p), root + "/tn");
  EXPECT_TRUE(is_dir(root + "/tn"));
  EXPECT_EQ(access((root + "/Temp/.nomedia").c_str(), F_OK), -1);

  std::string inside = root + "/Images/x.jpg";
  EXPECT_STREQ(paths_relative(&p, inside.c_str()), "Images/x.jpg");
  EXPECT_STREQ(paths_relative(&p, "/elsewhere/x.jpg"), "/elsewhere/x.jpg");
}

TEST(Paths, SeparateTemporaryDirectoryAndMobileMarker) {
  TempDir t;
  Paths p;
  p.platform = PATHS_PLATFORM_MOBILE;
  ASSERT_EQ(paths_set(&p, t.file("root").c_str(), t.file("cache/").c_str()), 0);
  EXPECT_EQ(paths_temp_dir(&p), t.file("cache"));
  EXPECT_TRUE(is_dir(t.file("cache")));
  EXPECT_FALSE(is_dir(t.file("root/Temp")));
  for (const char *dir : {"cache", "root/Databases", "root/logs"})
    EXPECT_EQ(file_size(t.file(std::string(dir) + "/.nomedia").c_str()), 1) << dir;
}

TEST(Paths, DatedMediaFolderIsCachedUntilTheRootChanges) {
  TempDir t;
  Paths p;
  std::string a = t.file("a"), b = t.file("b");
  ASSERT_EQ(paths_set(&p, a.c_str(), nullptr), 0);
  time_t march = local_time(2027, 3, 15), april = local_time(2027, 4, 15);

  EXPECT_STREQ(paths_media_folder(&p, MEDIA_IMAGE, false, true, march), "Images");
  EXPECT_STREQ(paths_media_folder(&p, 9, false, true, march), "Files");
  EXPECT_EQ(paths_media_folder(&p, MEDIA_IMAGE, true, true, march), a + "/Images/Sent/2027-03");
  EXPECT_TRUE(is_dir(a + "/Images/Sent/2027-03"));
  EXPECT_EQ(paths_media_folder(&p, MEDIA_AUDIO, true, false, march), a + "/Audios/Inbox/2027-03");
  EXPECT_EQ(paths_media_folder(&p, MEDIA_IMAGE, true, true, april), a + "/Images/Sent/2027-03");

  ASSERT_EQ(paths_set(&p, a.c_str(), nullptr), 0);
  EXPECT_EQ(paths_media_folder(&p, MEDIA_IMAGE, true, true, april), a + "/Images/Sent/2027-03");

  const char *held = paths_databases(&p);
  ASSERT_EQ(paths_set(&p, b.c_str(), nullptr), 0);
  EXPECT_EQ(paths_media_folder(&p, MEDIA_IMAGE, true, true, april), b + "/Images/Sent/2027-04");
  EXPECT_EQ(paths_databases(&p), b + "/Databases");
  EXPECT_EQ(std::string(held), a + "/Databases");  // texts handed out stay valid
}

TEST(Paths, ProfilePictureNames) {
  TempDir t;
  Paths p;
  ASSERT_EQ(paths_set(&p, t.path().c_str(), nullptr), 0);
  std::string tn = t.file("tn"), pr = t.file("Profiles");
  struct Case {
    const char *address;
    int len;
    uint32_t gid;
    bool self, thumbnail, large;
    std::string expected;
  } cases[] = {
      {nullptr, -1, 5, false, true, true, tn + "/g5_tn.jpg"},
      {nullptr, -1, 5, false, true, false, tn + "/g5_stn.jpg"},
      {nullptr, -1, 5, false, false, false, pr + "/g5.jpg"},
      {"alice", -1, 0, true, false, false, pr + "/self.jpg"},
      {"alice", -1, 0, false, false, false, pr + "/aalice.jpg"},
      {"alice@x", 5, 0, false, true, true, tn + "/aalice_tn.jpg"},
      {"", -1, 0, false, false, false, pr + "/default.jpg"},
      {"../../etc/passwd", -1, 0, false, false, false, ""},
      {"a/b", -1, 0, false, true, true, ""},
  };
  for (const Case &c : cases) {
    char out[512];
    int n = paths_profile_picture(&p, c.address, c.len, c.gid, c.self, c.thumbnail, c.large, out,
                                  sizeof out);
    if (c.expected.empty()) {
      EXPECT_EQ(n, -1) << c.address;
    } else {
      EXPECT_EQ(n, (int)c.expected.size()) << c.expected;
      EXPECT_EQ(out, c.expected);
    }
  }
  char small[8];
  EXPECT_EQ(paths_profile_picture(&p, "alice", -1, 0, false, false, false, small, sizeof small), -1);
  EXPECT_STREQ(small, "");

  for (const std::string &f : {pr + "/g5.jpg", tn + "/g5_tn.jpg", tn + "/g5_stn.jpg"})
    ASSERT_EQ(file_write(f.c_str(), "x", 1, 0644), 0);
  EXPECT_EQ(paths_delete_profile_pictures(&p, nullptr, 5, false), 3);
  EXPECT_EQ(file_size((pr + "/g5.jpg").c_str()), -1);
}

TEST(Paths, TemporaryFilesAreCreatedExclusively) {
  TempDir t;
  Paths p;
  ASSERT_EQ(paths_set(&p, t.path().c_str(), nullptr), 0);
  char a[256], b[256];
  int n = paths_temp_file(&p, nullptr, nullptr, nullptr, a, sizeof a);
  ASSERT_GT(n, 0);
  EXPECT_EQ(n, (int)strlen(a));
  EXPECT_TRUE(std::regex_match(a, std::regex(t.file("Temp") + R"(/zalvio-\d{12}-\w{6}\.tmp)"))) << a;
  EXPECT_EQ(file_size(a), 0);
  ASSERT_GT(paths_temp_file(&p, t.path().c_str(), "dl", "jpg", b, sizeof b), 0);
  EXPECT_TRUE(std::regex_match(b, std::regex(t.path() + R"(/dl-\d{12}-\w{6}\.jpg)"))) << b;

  EXPECT_EQ(paths_temp_file(&p, t.file("missing").c_str(), nullptr, nullptr, a, sizeof a), -1);
  EXPECT_STREQ(a, "");
  EXPECT_EQ(paths_temp_file(&p, nullptr, nullptr, nullptr, a, 20), -1);
}

TEST(Paths, TemporaryCleanupOnlyInTempFolders) {
  TempDir t;
  time_t now = time(nullptr);
  struct Case {
    const char *dir;
    bool swept;
  } cases[] = {{"Temp", true}, {"temp", true}, {"cache", false}, {"MyTemp", false},
               {"Temp/sub", false}, {"Temporary", false}};
  for (const Case &c : cases) {
    std::string dir = t.file(c.dir);
    ASSERT_EQ(make_dirs(dir.c_str(), 0755, false), 0);
    std::string old_file = dir + "/old", new_file = dir + "/new", old_dir = dir + "/olddir";
    ASSERT_EQ(file_write(old_file.c_str(), "x", 1, 0644), 0);
    ASSERT_EQ(file_write(new_file.c_str(), "x", 1, 0644), 0);
    ASSERT_EQ(make_dirs(old_dir.c_str(), 0755, false), 0);
    age_file(old_file, now - PATHS_TEMP_MAX_AGE_S - 60);
    age_file(new_file, now - PATHS_TEMP_MAX_AGE_S + 60);
    age_file(old_dir, now - PATHS_TEMP_MAX_AGE_S - 60);

    EXPECT_EQ(paths_clean_temp(dir.c_str(), now), c.swept ? 1 : 0) << c.dir;
    EXPECT_EQ(file_size(old_file.c_str()) < 0, c.swept) << c.dir;
    EXPECT_EQ(file_size(new_file.c_str()), 1) << c.dir;
    EXPECT_TRUE(is_dir(old_dir)) << c.dir;
  }
}

TEST(Paths, FileOperations) {
  TempDir t;
  std::string deep = t.file("a/b/c");
  EXPECT_EQ(make_dirs(deep.c_str(), 0755, true), 0);
  EXPECT_TRUE(is_dir(t.file("a/b")));
  EXPECT_FALSE(is_dir(deep));
  EXPECT_EQ(make_dirs(deep.c_str(), 0755, false), 0);
  EXPECT_EQ(make_dirs(deep.c_str(), 0755, false), 0);

  const char data[] = {'a', 0, 'b', '\xff'};
  std::string f = t.file("a/f");
  ASSERT_EQ(file_write(f.c_str(), data, sizeof data, 0600), 0);
  EXPECT_EQ(mode_of(f), 0600u);
  EXPECT_EQ(make_dirs((f + "/x").c_str(), 0755, false), -1);  // a file in the way

  Paths p;
  ASSERT_EQ(paths_set(&p, t.path().c_str(), nullptr), 0);
  char joined[256];
  ASSERT_GT(paths_join(&p, nullptr, "x/y/copy", joined, sizeof joined), 0);
  EXPECT_EQ(joined, t.file("x/y/copy"));
  EXPECT_TRUE(is_dir(t.file("x/y")));
  ASSERT_GT(paths_join(&p, (t.path() + "/a/").c_str(), "copy", joined, sizeof joined), 0);
  EXPECT_EQ(joined, t.file("a/copy"));

  ASSERT_EQ(file_copy(f.c_str(), joined), 0);
  uint8_t *back = nullptr;
  size_t len = 0;
  ASSERT_EQ(file_read(joined, &back, &len), 0);
  ASSERT_EQ(len, sizeof data);
  EXPECT_EQ(memcmp(back, data, len), 0);
  EXPECT_EQ(back[len], 0);
  free(back);
  EXPECT_EQ(file_read(t.path().c_str(), &back, &len), -1);
  EXPECT_EQ(file_copy(t.file("none").c_str(), joined), -1);

  EXPECT_EQ(file_remove_below(t.file("a/b").c_str(), f.c_str()), -1);
  EXPECT_EQ(file_remove_below(t.file("a/b").c_str(), t.file("a/b/../f").c_str()), -1);
  EXPECT_EQ(file_remove_below(t.file("a").c_str(), t.file("a").c_str()), -1);
  EXPECT_EQ(file_size(f.c_str()), 4);
  EXPECT_EQ(file_remove_below(t.file("a").c_str(), f.c_str()), 0);
  EXPECT_EQ(file_size(f.c_str()), -1);
}
