#include "api/richmessage.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "support/capture.h"

typedef std::vector<uint8_t> Bytes;

static Bytes encode(const MessageBundle &b) {
  uint8_t *out = nullptr;
  uint32_t len = 0;
  if (rich_encode(&b, &out, &len) != 0) return Bytes();
  Bytes r(out, out + len);
  free(out);
  return r;
}

static MessageBundle empty_bundle() {
  MessageBundle b;
  memset(&b, 0, sizeof b);
  return b;
}

static const Bytes END = {0x20, 0x00};  // type 0, one value byte 0

TEST(RichMessage, TitleOnlyEncodesToTitleAndEnd) {
  MessageBundle b = empty_bundle();
  b.title = "a";
  Bytes expected = {0x41, 'a', 0};
  expected.insert(expected.end(), END.begin(), END.end());
  EXPECT_EQ(encode(b), expected);
}

TEST(RichMessage, EveryTransmittedFieldRoundTrips) {
  static const uint8_t thumb[] = {0xff, 0xd8, 0x00, 0x01};
  MessageBundle b = empty_bundle();
  b.title = "title";
  b.subtitle = "sub";
  b.message = "caf\xc3\xa9";
  b.footer = "foot";
  b.fileurl = "https://files.example/1";
  b.filename = "x.jpg";
  b.mimetype = "image/jpeg";
  b.custom = "{}";
  b.filepath = "/local/never/sent";
  b.localflags = 0x4000;
  b.filetype = 1;
  b.filesubtype = 0x1234;
  b.fileflags = 0x80000001;
  b.filesize = 123456789;
  b.thumbnail = thumb;
  b.thumbnail_len = sizeof thumb;
  b.lat = 48.85;
  b.lon = 2.35;
  b.item7 = 9;
  b.item26 = 0xffff;
  b.item30 = 0x8000000000000001ull;
  Bytes payload = encode(b);
  ASSERT_FALSE(payload.empty());

  MessageBundle d;
  ASSERT_EQ(rich_decode(payload.data(), payload.size(), &d), 0);
  for (auto f : {&MessageBundle::title, &MessageBundle::subtitle, &MessageBundle::message,
                 &MessageBundle::footer, &MessageBundle::fileurl, &MessageBundle::filename,
                 &MessageBundle::mimetype, &MessageBundle::custom}) {
    ASSERT_NE(d.*f, nullptr);
    EXPECT_STREQ(d.*f, b.*f);
    EXPECT_GE((const uint8_t *)(d.*f), payload.data());  // points into the payload
  }
  EXPECT_EQ(d.filepath, nullptr);
  EXPECT_EQ(d.localflags, 0u);
  EXPECT_EQ(d.filetype, 1);
  EXPECT_EQ(d.filesubtype, 0x1234);
  EXPECT_EQ(d.fileflags, 0x80000001u);
  EXPECT_EQ(d.filesize, 123456789u);
  ASSERT_EQ(d.thumbnail_len, sizeof thumb);
  EXPECT_EQ(memcmp(d.thumbnail, thumb, sizeof thumb), 0);
  EXPECT_EQ(d.location_code, 0xc57977ab81ab9fd6ull);
  EXPECT_EQ(d.location_present, 1);
  EXPECT_EQ(d.item7, 9);
  EXPECT_EQ(d.item26, 0xffff);
  EXPECT_EQ(d.item30, 0x8000000000000001ull);
}

TEST(RichMessage, LocationCode) {
  EXPECT_EQ(rich_location_encode(48.85, 2.35), 0xc57977ab81ab9fd6ull);
  double lat, lon;
  EXPECT_EQ(rich_location_decode(0xc57977ab81ab9fd6ull, &lat, &lon), 1);
  EXPECT_NEAR(lat, 48.84999084, 5e-9);
  EXPECT_NEAR(lon, 2.35000610, 5e-9);

  struct Case {
    double lat, lon;
    bool sent;
  } cases[] = {
      {0, 0, false},  {0.005, 0.009, false}, {-0.005, 0, true}, {0, 0.02, true},
      {90, 180, true}, {90.5, 0, false},      {0, -180.5, false}, {-720, -720, false},
  };
  for (const Case &c : cases) {
    MessageBundle b = empty_bundle();
    b.lat = c.lat;
    b.lon = c.lon;
    b.item7 = 3;
    Bytes payload = encode(b);
    MessageBundle d;
    ASSERT_EQ(rich_decode(payload.data(), payload.size(), &d), 0);
    EXPECT_EQ(d.location_code != 0, c.sent) << c.lat << "," << c.lon;
    EXPECT_EQ(d.item7 != 0, c.sent) << "item 7 travels only with a location";
    EXPECT_EQ(d.location_present, c.sent ? 1 : 0) << c.lat << "," << c.lon << " " << d.lat << "," << d.lon;
    if (!c.sent) {
      EXPECT_EQ(d.lat, RICH_NO_COORDINATE);
    }
  }

  MessageBundle b = empty_bundle();  // a code already set is sent as it is
  b.location_code = 0x1234;
  MessageBundle d;
  Bytes payload = encode(b);
  ASSERT_EQ(rich_decode(payload.data(), payload.size(), &d), 0);
  EXPECT_EQ(d.location_code, 0x1234u);
}

TEST(RichMessage, DecodeIsLenientWithItemsItCannotUse) {
  Bytes p = {0xB1, 5, 1, 2, 3, 4, 5,  // filesize of 5 bytes: skipped
             0x31, 7,                 // filesize of 1 byte: taken
             0x41, 'n', 'o',          // title without its zero byte: ignored
             0x02,                    // message of length 0: ignored
             0x68, 'h', 'i', 0,       // subtitle
             0xB1, 5, 1, 2, 3, 4, 5,  // a later overlong filesize leaves it alone
             0x1d,                    // unknown type 29: skipped
             0x35, 9,                 // activity type
             0x20, 0x00,              // end
             0xFF};                   // after the end: never read
  MessageBundle d;
  ASSERT_EQ(rich_decode(p.data(), p.size(), &d), 0);
  EXPECT_EQ(d.filesize, 7u);
  EXPECT_EQ(d.title, nullptr);
  EXPECT_EQ(d.message, nullptr);
  EXPECT_STREQ(d.subtitle, "hi");
  EXPECT_EQ(d.activity_type, 9u);
  EXPECT_EQ(d.activity_present, 1);
  EXPECT_EQ(d.lat, RICH_NO_COORDINATE);
}

TEST(RichMessage, DecodeErrors) {
  struct Case {
    Bytes payload;
    const char *log;
  } cases[] = {
      {{0x20}, "rich_decode failed: bad len 1"},
      {{0x41, 'a', 0}, "rich_decode failed: type 1 rv -1"},          // no end item
      {{0x41, 'a', 0, 0x43, 'b'}, "rich_decode failed: type 1 rv -1"},  // cut item
      {{0xA1, 0xff, 'x', 0x20, 0}, "rich_decode failed: type 0 rv -1"},  // length past the end
  };
  for (const Case &c : cases) {
    StdoutCapture out;
    MessageBundle d;
    EXPECT_EQ(rich_decode(c.payload.data(), c.payload.size(), &d), -1);
    EXPECT_TRUE(out.contains(c.log)) << out.text();
  }
  StdoutCapture out;
  MessageBundle d;
  EXPECT_EQ(rich_decode(nullptr, 10, &d), -1);
  EXPECT_TRUE(out.contains("*** BUG *** rich_decode failed: bad len"));
}

TEST(RichMessage, SizeLimits) {
  // Seven texts of 300 bytes, a thumbnail and a message: the texts (each
  // with its zero byte) and the thumbnail add up to one below the limit.
  std::string t300(300, 'y');
  std::string message(RICH_TEXT_LIMIT - 1 - 7 * 301 - 1000 - 1, 'x');
  std::vector<uint8_t> thumb(1001, 0xAB);
  MessageBundle b = empty_bundle();
  b.title = b.subtitle = b.footer = b.fileurl = b.filename = b.mimetype = b.custom = t300.c_str();
  b.message = message.c_str();
  b.thumbnail = thumb.data();
  b.thumbnail_len = 1000;
  uint8_t *out = nullptr;
  uint32_t len = 0;
  ASSERT_EQ(rich_encode(&b, &out, &len), 0);
  EXPECT_LE(len, (uint32_t)RICH_PAYLOAD_LIMIT);
  free(out);

  b.thumbnail_len = 1001;  // at the limit
  EXPECT_EQ(rich_encode(&b, &out, &len), -1);

  // Below the text limit, but the numbers push the encoding past what a
  // bundle record can carry.
  b.thumbnail_len = 1000;
  b.filetype = 1, b.filesubtype = 0xffff, b.fileflags = 0xffffffff, b.filesize = 0xffffffff;
  b.lat = 10, b.lon = 10, b.item7 = 0xffff, b.item26 = 0xffff, b.item30 = ~0ull;
  EXPECT_EQ(rich_encode(&b, &out, &len), -1);
  EXPECT_EQ(out, nullptr);
}

TEST(RichMessage, DebugPrinters) {
  MessageParams p;
  memset(&p, 0, sizeof p);
  p.id = 0xFFFFFFFFFFFFFFFFull;
  p.flags = 0x100;
  MessageBundle b = empty_bundle();
  b.title = "t";
  b.lat = b.lon = RICH_NO_COORDINATE;
  StdoutCapture out;
  printMessageParams(&p);
  printMessageBundle(&b);
  std::string s = out.text();
  for (const char *line : {"(printMessageParams): id: 18446744073709551615\n",
                           "(printMessageParams): flags: 256\n", "(printMessageParams): when: 0\n",
                           "(printMessageBundle): title: t\n",
                           "(printMessageBundle): message: (null)\n",
                           "(printMessageBundle): lat: -720.00\n",
                           "(printMessageBundle): datalen: 0\n"})
    EXPECT_NE(s.find(line), std::string::npos) << line;
  EXPECT_EQ(s[0], 'E');
}
