#include "app/profile.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/capture.h"

namespace {

ProfileBytes bytes(const std::string &s) { return {(const uint8_t *)s.data(), (uint32_t)s.size()}; }

std::string str(const ProfileBytes &b) { return std::string((const char *)b.p, b.len); }

ProfileRecord empty_record() {
  ProfileRecord r;
  memset(&r, 0, sizeof r);
  return r;
}

std::vector<uint8_t> encode(const ProfileRecord &r, const std::vector<ProfileBytes> &extra = {},
                            bool with_extras = false) {
  std::vector<uint8_t> buf(profile_encode_size(&r, extra.data(), (uint32_t)extra.size(), with_extras));
  int n = profile_encode(&r, extra.data(), (uint32_t)extra.size(), with_extras, buf.data(),
                         (uint32_t)buf.size());
  EXPECT_GT(n, 0);
  buf.resize(n > 0 ? n : 0);
  return buf;
}

}  // namespace

TEST(Profile, RoundTrip) {
  const std::string name = "Group 'one'", pic = "ref-1", thumb("\x00\xff\x01", 3), blob = "cfg",
                    addr = "alice", t9 = "nine", x258 = "extra";
  ProfileRecord r = empty_record();
  r.revision = 0xFFFFFFFF;
  r.cursor_a = 1;
  r.uid = 70000;
  r.gid = 12;
  r.owner = 42;
  r.sync_id = 1ull << 40;
  r.value14 = ~0ull;
  r.cursor_c = 1ull << 63;
  r.version = 3;
  r.value48 = 8;
  r.flags = PROFILE_FULL_LIST | PROFILE_MORE;
  r.sync_flags = 0x4002;
  r.loop = 2;
  r.text8 = bytes(name);
  r.text9 = bytes(t9);
  r.picture = bytes(pic);
  r.thumbnail = bytes(thumb);
  r.blob80 = bytes(blob);
  for (uint32_t i = 0; i < PROFILE_SETTINGS; i++) r.settings[i] = 100 + i;
  r.value58 = 1800;
  r.value59 = 0xFFFF;
  r.value60 = 0x00020001;
  r.value128 = 11;
  r.address = bytes(addr);
  r.extra258 = bytes(x258);
  const std::string b = "bob", c = "carol";
  std::vector<uint8_t> enc = encode(r, {bytes(b), bytes(c)}, true);

  ProfileRecord d;
  ProfileBytes items[8];
  ProfileAddressList list = {items, 8, 0, 0};
  ASSERT_EQ(profile_decode(enc.data(), (uint32_t)enc.size(), &d, &list, false), (int)enc.size());
  EXPECT_EQ(d.revision, r.revision);
  EXPECT_EQ(d.cursor_a, 1u);
  EXPECT_EQ(d.uid, 70000u);
  EXPECT_EQ(d.gid, 12u);
  EXPECT_EQ(d.owner, 42u);
  EXPECT_EQ(d.sync_id, r.sync_id);
  EXPECT_EQ(d.value14, r.value14);
  EXPECT_EQ(d.cursor_c, r.cursor_c);
  EXPECT_EQ(d.version, 3u);
  EXPECT_EQ(d.value48, 8u);
  EXPECT_EQ(d.flags, r.flags);
  EXPECT_EQ(d.sync_flags, r.sync_flags);
  EXPECT_EQ(d.loop, 2u);
  EXPECT_EQ(str(d.text8), name);
  EXPECT_EQ(str(d.text9), t9);
  EXPECT_EQ(d.text10.len, 0u);
  EXPECT_EQ(str(d.picture), pic);
  EXPECT_EQ(str(d.thumbnail), thumb);
  EXPECT_EQ(str(d.blob80), blob);
  EXPECT_EQ(memcmp(d.settings, r.settings, sizeof r.settings), 0);
  EXPECT_EQ(d.value58, 1800u);
  EXPECT_EQ(d.value59, 0xFFFF);
  EXPECT_EQ(d.value60, r.value60);
  EXPECT_EQ(d.value128, 11u);
  EXPECT_EQ(str(d.address), addr);
  EXPECT_EQ(d.address_count, 3u);
  EXPECT_EQ(str(d.extra258), x258);
  EXPECT_EQ(d.fields, (uint32_t)(PROFILE_FIELD_TEXT8 | PROFILE_FIELD_TEXT9 | PROFILE_FIELD_PICTURE |
                                 PROFILE_FIELD_THUMBNAIL));
  ASSERT_EQ(list.count, 3u);
  EXPECT_EQ(str(list.items[1]), "bob");
  EXPECT_EQ(list.total_len, 13u);

  // Without the extras asked for, 258 and 259 stay out.
  std::vector<uint8_t> plain = encode(r);
  ASSERT_GT(profile_decode(plain.data(), (uint32_t)plain.size(), &d, nullptr, false), 0);
  EXPECT_EQ(d.extra258.len, 0u);
}

// Byte-level cases of the decoder.
TEST(Profile, DecodeEdges) {
  const struct {
    const char *name;
    std::vector<uint8_t> in;
    bool partial;
    int rv;
    uint32_t uid;
    bool logged;
  } cases[] = {
      {"start and end only", {0x01, 0x02}, false, 2, 0, false},
      {"start and end with zero bytes", {0x21, 0x00, 0x22, 0x00}, false, 4, 0, false},
      {"one byte", {0x01}, false, -1, 0, false},
      {"no end", {0x01, 0x25, 0x07}, false, -1, 7, true},
      {"no end, partial", {0x01, 0x25, 0x07}, true, 0, 7, false},
      {"item 0 stops before the end", {0x01, 0x25, 0x07, 0x00, 0x02}, false, -1, 7, true},
      {"value cut short", {0x01, 0x45, 0x07}, false, -1, 0, false},
      {"length past the end", {0x01, 0xA5, 0xFF, 0x07}, false, -1, 0, false},
      {"uid wider than 4 bytes is ignored", {0x01, 0xA5, 0x05, 1, 2, 3, 4, 5, 0x02}, false, 9, 0,
       false},
      {"unknown items skipped",
       {0x01, 0xE4, 0x03, 0x01, 0x55, 0x3F, 0x99, 0x25, 0x09, 0x02}, false, 10, 9, false},
      {"a second record is left alone", {0x01, 0x25, 0x03, 0x02, 0x01, 0x25, 0x04, 0x02}, false,
       4, 3, false},
  };
  for (const auto &c : cases) {
    ProfileRecord r;
    StdoutCapture log;
    EXPECT_EQ(profile_decode(c.in.data(), (uint32_t)c.in.size(), &r, nullptr, c.partial), c.rv)
        << c.name;
    EXPECT_EQ(r.uid, c.uid) << c.name;
    EXPECT_EQ(log.contains("*** BUG *** profile_decode: zero type"), c.logged) << c.name;
  }
}

TEST(Profile, AddressesAndLimits) {
  std::string long_address(PROFILE_ADDRESS_MAX + 1, 'x');
  const std::string a = "a", b = "bb", c = "ccc";
  ProfileRecord r = empty_record();
  r.address = bytes(a);
  std::vector<uint8_t> enc = encode(r, {bytes(long_address), bytes(b), bytes(c)});
  ProfileBytes items[2];
  ProfileAddressList list = {items, 2, 0, 0};
  ProfileRecord d;
  ASSERT_GT(profile_decode(enc.data(), (uint32_t)enc.size(), &d, &list, false), 0);
  EXPECT_EQ(d.address_count, 3u);  // the oversized one is not an address
  EXPECT_EQ(list.count, 2u);       // up to the list's capacity
  EXPECT_EQ(list.total_len, 3u);

  // The encoder wants its estimate, and the thumbnail item can be taken out.
  const std::string thumb(1000, 't');
  r.thumbnail = bytes(thumb);
  uint32_t need = profile_encode_size(&r, nullptr, 0, false);
  EXPECT_EQ(need, PROFILE_ENCODE_BASE + 1 + 1000);
  std::vector<uint8_t> buf(need);
  EXPECT_EQ(profile_encode(&r, nullptr, 0, false, buf.data(), need - 1), -1);
  int n = profile_encode(&r, nullptr, 0, false, buf.data(), need);
  ASSERT_GT(n, 1000);
  int m = profile_remove_thumbnail(buf.data(), (uint32_t)n);
  EXPECT_LT(m, n - 1000);
  ASSERT_EQ(profile_decode(buf.data(), (uint32_t)m, &d, nullptr, false), m);
  EXPECT_EQ(d.thumbnail.len, 0u);
  EXPECT_EQ(str(d.address), "a");
}
