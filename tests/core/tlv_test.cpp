// TLV items, frame headers and message records: byte tables for the
// encodings, corruption helpers for the readers.
#include "core/tlv.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/capture.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes pattern(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; i++) b[i] = (uint8_t)(i * 7 + 1);
  return b;
}

Bytes cat(Bytes a, const Bytes &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// ---- items ----------------------------------------------------------------

struct EncodingCase {
  const char *what;
  uint32_t type;
  Bytes value;
  bool compact;
  Bytes header;      // expected header and length bytes
  size_t value_len;  // expected value bytes: a prefix of `value`
};

TEST(Tlv, EncodingTable) {
  const EncodingCase cases[] = {
      {"empty marker", 1, {}, false, {0x01}, 0},
      {"compact 16-bit", 17, {0x02, 0x01}, true, {0x51}, 2},
      {"compact zero keeps one byte", 8, {0, 0, 0, 0}, true, {0x28}, 1},
      {"compact drops trailing zeros", 8, {0x00, 0x10, 0x00, 0x00}, true, {0x48}, 2},
      {"fixed keeps zeros", 8, {0x01, 0, 0, 0}, false, {0x88}, 4},
      {"five bytes take a length byte", 3, pattern(5), false, {0xA3, 0x05}, 5},
      {"255 bytes, one length byte", 7, pattern(255), false, {0xA7, 0xFF}, 255},
      {"300-byte string, two length bytes", 7, pattern(300), false, {0xC7, 0x2C, 0x01}, 300},
      {"type above 31, extended", 40, pattern(8), false, {0xE8, 0x01, 0x08}, 8},
      {"70,000 bytes, three length bytes", 7, pattern(70000), false,
       {0xE7, 0x80, 0x70, 0x11, 0x01}, 70000},
      {"16 MiB, four length bytes", 7, pattern(0x1000000), false,
       {0xE7, 0xC0, 0x00, 0x00, 0x00, 0x01}, 0x1000000},
      {"largest type", 2047, {0x2A}, false, {0xFF, 0x3F, 0x01}, 1},
      // An empty value of an extended type still needs one length byte.
      {"empty extended item", 65, {}, false, {0xE1, 0x02, 0x00}, 0},
      {"empty largest type", 2047, {}, false, {0xFF, 0x3F, 0x00}, 0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    Bytes want = cat(c.header, Bytes(c.value.begin(), c.value.begin() + c.value_len));
    Bytes out(want.size() + 3, 0xEE);
    int n = tlv_add(out.data(), (uint32_t)out.size(), c.type, (uint32_t)c.value.size(),
                    c.value.empty() ? nullptr : c.value.data(), c.compact);
    ASSERT_EQ(n, (int)want.size());
    ASSERT_TRUE(std::equal(want.begin(), want.end(), out.begin()));
    EXPECT_EQ(out[want.size()], 0xEE);

    // The reader walks it back from an exactly sized buffer.
    Bytes in(out.begin(), out.begin() + n);
    TlvBuffer t;
    tlv_init(&t, in.data(), (uint32_t)in.size());
    uint32_t type = 0, len = 0;
    const uint8_t *v = nullptr;
    ASSERT_EQ(t.get(&type, &len, &v), 0);
    EXPECT_EQ(type, c.type);
    EXPECT_EQ(len, c.value_len);
    EXPECT_EQ(v, in.data() + c.header.size());
    EXPECT_EQ(t.pos, in.size());
    EXPECT_EQ(t.get(&type, &len, &v), -1);
  }
}

TEST(Tlv, AbsentValueWritesZeros) {
  uint8_t out[8];
  memset(out, 0xEE, sizeof out);
  ASSERT_EQ(tlv_add(out, sizeof out, 9, 3, nullptr, true), 4);
  const uint8_t want[] = {0x69, 0, 0, 0, 0xEE};
  EXPECT_EQ(memcmp(out, want, sizeof want), 0);
}

TEST(Tlv, WriterRefusals) {
  uint8_t out[16];
  memset(out, 0xEE, sizeof out);
  const uint8_t five[5] = {1, 2, 3, 4, 5};
  {
    StdoutCapture log;
    EXPECT_EQ(tlv_add(out, 6, 3, 5, five, false), -1);  // needs 7
    EXPECT_TRUE(log.contains("maxlen 6 < 1 + 1 + 5 + 0 (type 3)")) << log.text();
  }
  {
    StdoutCapture log;
    EXPECT_EQ(tlv_add(out, 2, 65, 0, nullptr, false), -1);  // needs 3
    EXPECT_TRUE(log.contains("maxlen 2 < 2 + 1 + 0 + 0 (type 65)")) << log.text();
  }
  EXPECT_EQ(tlv_add(out, sizeof out, TLV_TYPE_LIMIT, 1, five, false), -1);
  {
    // Near 4 GiB the item size must not wrap around into a "fit".
    StdoutCapture log;
    EXPECT_EQ(tlv_add(out, sizeof out, 7, 0xFFFFFFFFu, nullptr, false), -1);
    EXPECT_TRUE(log.contains("maxlen 16 < 2 + 4 + 4294967295 + 0 (type 7)")) << log.text();
  }
  for (uint8_t b : out) ASSERT_EQ(b, 0xEE);

  // The cursor stays where it was on every refusal.
  TlvBuffer t;
  tlv_init(&t, out, sizeof out);
  ASSERT_EQ(t.put_u32(3, 0x01020304), 0);
  EXPECT_EQ(t.pos, 5u);
  StdoutCapture quiet;
  EXPECT_EQ(t.put_bytes(7, pattern(11).data(), 11), -1);
  EXPECT_EQ(t.put_empty(2048), -1);
  EXPECT_EQ(t.pos, 5u);
  t.pos = 17;
  EXPECT_EQ(t.put_empty(1), -1);
  EXPECT_EQ(t.pos, 17u);
}

TEST(Tlv, TypedWriters) {
  uint8_t out[64] = {0};
  TlvBuffer t;
  tlv_init(&t, out, sizeof out);
  ASSERT_EQ(t.put_u16(1, 0x00FF), 0);
  ASSERT_EQ(t.put_u32(2, 0x00010000), 0);
  ASSERT_EQ(t.put_u64(3, 0x0100000000000000ull), 0);
  ASSERT_EQ(t.put_u16_fixed(4, 1), 0);
  ASSERT_EQ(t.put_u32_fixed(5, 1), 0);
  ASSERT_EQ(t.put_text(6, "hi"), 0);
  ASSERT_EQ(t.put_text(7, nullptr), 0);
  const Bytes want = {0x21, 0xFF,                                  // 1 byte
                      0x62, 0x00, 0x00, 0x01,                      // 3 bytes
                      0xA3, 0x08, 0, 0, 0, 0, 0, 0, 0, 0x01,       // 8 bytes
                      0x44, 0x01, 0x00,                            // fixed 2
                      0x85, 0x01, 0x00, 0x00, 0x00,                // fixed 4
                      0x46, 'h', 'i', 0x07};
  ASSERT_EQ(t.pos, want.size());
  EXPECT_TRUE(std::equal(want.begin(), want.end(), out));
}

// Each case is given to the reader in an exactly sized heap buffer so that a
// read past the end shows up under the address sanitizer.
TEST(Tlv, ReaderRefusesMalformedItems) {
  const struct {
    const char *what;
    Bytes bytes;
  } cases[] = {
      {"one length byte claims 9, 5 follow", cat({0xA5, 0x09}, pattern(5))},
      {"fixed length 4, 2 follow", {0x83, 0x00, 0x00}},
      {"length byte missing", {0xA5}},
      {"second length byte missing", {0xC5, 0x2C}},
      {"extended without byte 1", {0xE7}},
      {"extended, length bytes cut", {0xE7, 0xC0, 0xFF, 0xFF, 0xFF}},
      {"extended, 4-byte length 0xFFFFFFFF", cat({0xE7, 0xC0, 0xFF, 0xFF, 0xFF, 0xFF}, pattern(8))},
      {"extended, 3-byte length beyond", cat({0xE7, 0x80, 0x70, 0x11, 0x01}, pattern(100))},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    Bytes heap(c.bytes);
    TlvBuffer t;
    tlv_init(&t, heap.data(), (uint32_t)heap.size());
    uint32_t type, len;
    const uint8_t *v;
    EXPECT_EQ(t.get(&type, &len, &v), -1);
    EXPECT_EQ(t.pos, 0u);
    EXPECT_EQ(tlv_find(heap.data(), (uint32_t)heap.size(), 5, &v), -1);
  }
}

TEST(Tlv, ReaderPositionBeyondCapacity) {
  uint8_t in[4] = {0x01, 0x01, 0x01, 0x01};
  TlvBuffer t;
  tlv_init(&t, in, 2);
  t.pos = 3;
  uint32_t type, len;
  const uint8_t *v;
  StdoutCapture log;
  EXPECT_EQ(t.get(&type, &len, &v), -1);
  EXPECT_TRUE(log.contains("*** BUG *** tlv get bad maxlen: 2 datalen: 3")) << log.text();
}

TEST(Tlv, ReadUintWithFieldWidth) {
  const uint8_t v[9] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09};
  EXPECT_EQ(tlv_uint(v, 2, 4), 0x0201u);
  EXPECT_EQ(tlv_uint(v, 4, 4), 0x04030201u);
  EXPECT_EQ(tlv_uint(v, 5, 4), 0u);  // too wide for the field: ignored
  EXPECT_EQ(tlv_uint(v, 8, 8), 0x0807060504030201ull);
  EXPECT_EQ(tlv_uint(v, 9, 8), 0u);
  EXPECT_EQ(tlv_uint(v, 0, 8), 0u);
}

// Items 5 "ab", 0 (empty), 9 0x0102 and 9 again.
Bytes find_fixture() { return {0x45, 'a', 'b', 0x00, 0x49, 0x02, 0x01, 0x29, 0x07}; }

TEST(Tlv, FindAndFindItem) {
  Bytes b = find_fixture();
  const uint8_t *v = nullptr;
  EXPECT_EQ(tlv_find(b.data(), (uint32_t)b.size(), 9, &v), 2);
  EXPECT_EQ(v, b.data() + 5);
  EXPECT_EQ(tlv_find(b.data(), (uint32_t)b.size(), 77, &v), -1);
  EXPECT_EQ(tlv_find_item(b.data(), (uint32_t)b.size(), 5, &v), 2);
  EXPECT_EQ(v, b.data() + 1);
  EXPECT_EQ(tlv_find_item(b.data(), (uint32_t)b.size(), 9, &v), 0);  // type 0 stops
  EXPECT_EQ(v, nullptr);

  Bytes cut(b.begin(), b.begin() + 2);  // item 5 truncated
  EXPECT_EQ(tlv_find(cut.data(), (uint32_t)cut.size(), 5, &v), -1);
  EXPECT_EQ(tlv_find_item(cut.data(), (uint32_t)cut.size(), 5, &v), -1);
}

TEST(Tlv, Remove) {
  Bytes b = find_fixture();
  EXPECT_EQ(tlv_remove(b.data(), (int)b.size(), 9), 6);  // the first 9 only
  EXPECT_EQ(Bytes(b.begin(), b.begin() + 6), Bytes({0x45, 'a', 'b', 0x00, 0x29, 0x07}));
  EXPECT_EQ(tlv_remove(b.data(), 6, 5), 3);
  EXPECT_EQ(Bytes(b.begin(), b.begin() + 3), Bytes({0x00, 0x29, 0x07}));
  EXPECT_EQ(tlv_remove(b.data(), 3, 77), 3);
  EXPECT_EQ(tlv_remove(b.data(), 1, 0), -1);
  EXPECT_EQ(tlv_remove(nullptr, 3, 0), -1);
  Bytes cut = {0x45, 'a', 0x29, 0x07};  // malformed before the target
  EXPECT_EQ(tlv_remove(cut.data(), 4, 9), 4);
}

TEST(Tlv, DumpStopsAtFirstEmptyItem) {
  Bytes b = find_fixture();
  StdoutCapture log;
  tlv_dump("probe", b.data(), (uint32_t)b.size(), true);
  std::string text = log.text();
  EXPECT_NE(text.find("tlv_dump -------------- (probe) len 9 -------------"), std::string::npos);
  EXPECT_NE(text.find("tlv_dump (probe): type 5 len 2"), std::string::npos);
  EXPECT_NE(text.find("61 62"), std::string::npos);
  EXPECT_EQ(text.find("type 9"), std::string::npos);
}

// ---- frames ---------------------------------------------------------------

TEST(Frame, HeaderTable) {
  const struct {
    FrameHeader h;
    Bytes bytes;
  } cases[] = {
      {{2, 5, 0x30010, 0}, {0x32, 0x05, 0x10, 0x00, 0, 0, 0, 0}},
      {{FRAME_PING, 1, 0, 0x11223344}, {0x0E, 0x01, 0x00, 0x00, 0x44, 0x33, 0x22, 0x11}},
      {{FRAME_BUNDLE, 32, 32000, 7}, {0x02, 0x20, 0x00, 0x7D, 0x07, 0, 0, 0}},
      {{15, 0xFF, FRAME_MAX_BODY, 0xFFFFFFFF}, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
  };
  for (const auto &c : cases) {
    uint8_t out[FRAME_HEADER_SIZE];
    ASSERT_EQ(frame_encode(out, c.h), 0);
    EXPECT_EQ(Bytes(out, out + 8), c.bytes);
    FrameHeader h{};
    frame_decode(c.bytes.data(), &h);
    EXPECT_EQ(h.code, c.h.code);
    EXPECT_EQ(h.op, c.h.op);
    EXPECT_EQ(h.length, c.h.length);
    EXPECT_EQ(h.param, c.h.param);
  }
  uint8_t out[FRAME_HEADER_SIZE] = {0};
  EXPECT_EQ(frame_encode(out, {2, 0, FRAME_MAX_BODY + 1, 0}), -1);
  EXPECT_EQ(frame_encode(out, {16, 0, 0, 0}), -1);
  EXPECT_EQ(Bytes(out, out + 8), Bytes(8, 0));
}

TEST(Frame, OpClasses) {
  const struct {
    uint8_t op;
    FrameClass cls;
  } cases[] = {
      {0x00, FRAME_CLASS_ACK},          {0x02, FRAME_CLASS_ACK},
      {0x3F, FRAME_CLASS_ACK},          {0x40, FRAME_CLASS_OTHER},
      {0x41, FRAME_CLASS_DATA},         {0x4A, FRAME_CLASS_PING_REQUEST},
      {0x4B, FRAME_CLASS_CLOSE},        {0x4F, FRAME_CLASS_SIGNED_OUT},
      {0x7F, FRAME_CLASS_OTHER},        {0x80, FRAME_CLASS_CONTROL},
      {0xBF, FRAME_CLASS_CONTROL},      {0xC0, FRAME_CLASS_AUTHFAIL},
      {0xFF, FRAME_CLASS_AUTHFAIL},
  };
  for (const auto &c : cases) EXPECT_EQ(frame_class(c.op), c.cls) << std::hex << (int)c.op;
}

// ---- message records ------------------------------------------------------

const char kAddress[] = "alice@example";
const uint8_t kPayload[] = {'h', 'e', 'l', 'l', 'o', 0x00, 0xFF};
const uint8_t kEnvelope[] = {0xE0, 0xE1, 0xE2};

// Every field the client writes set to a value that needs its full width.
MessageParams full_params() {
  MessageParams p{};
  p.id = 0x1122334455667788ull;
  p.type = 0xBEEF;
  p.flags = 0xA00000000000405Full;
  p.channel = 129;
  p.groupid = 0x0A0B0C0D;
  p.uid = 0x01020304;
  p.expiry = 2592000;
  p.agesent = 11;
  p.agerecv = 22;
  p.ageread = 33;
  p.tid = 0x7000000000000001ull;
  p.userdata = 0x6000000000000002ull;
  p.sensitivity = 0x50000003;
  p.refid = 0x4000000000000004ull;
  p.peerversion = 2010000;
  p.aux64 = 0x3000000000000005ull;
  p.syncid = 0x2000000000000006ull;
  p.syncext = 0x1007;
  p.syncref = 0x1000000000000008ull;
  p.envelope = kEnvelope;
  p.envelope_len = sizeof kEnvelope;
  return p;
}

RecordExtras full_extras() {
  RecordExtras x{};
  x.address = kAddress;
  x.address_len = (uint32_t)strlen(kAddress);
  x.payload = kPayload;
  x.payload_len = sizeof kPayload;
  x.group_param = 0x0203;
  return x;
}

std::vector<uint32_t> item_types(const uint8_t *b, uint32_t n) {
  std::vector<uint32_t> types;
  TlvBuffer t;
  tlv_init(&t, b, n);
  uint32_t type, len;
  const uint8_t *v;
  while (t.get(&type, &len, &v) == 0) types.push_back(type);
  return types;
}

TEST(Record, EncodeWritesItemsInClientOrder) {
  uint8_t out[512] = {0};
  TlvBuffer t;
  tlv_init(&t, out, sizeof out);
  ASSERT_EQ(record_encode(&t, full_params(), full_extras()), 0);
  const std::vector<uint32_t> want = {1,  3,  11, 9,  10, 6,  14, 8,  25, 26, 27,
                                      40, 41, 42, 13, 50, 15, 29, 30, 28, 18, 7};
  EXPECT_EQ(item_types(out, t.pos), want);
  // Only the low 32 bits of the id and flags travel.
  const uint8_t *v;
  ASSERT_EQ(tlv_find(out, t.pos, REC_ID, &v), 4);
  ASSERT_EQ(tlv_find(out, t.pos, REC_FLAGS, &v), 2);
  EXPECT_EQ(tlv_uint(v, 2, 4), 0x405Fu);

  // A zeroed record carries only its start and the expiry.
  tlv_init(&t, out, sizeof out);
  ASSERT_EQ(record_encode(&t, MessageParams{}, RecordExtras{}), 0);
  EXPECT_EQ(Bytes(out, out + t.pos), Bytes({0x01, 0x28, 0x00}));
}

TEST(Record, DestinationRule) {
  const struct {
    uint32_t groupid, uid;
    const char *address;
    uint16_t group_param;
    std::vector<uint32_t> items;  // between type 10 and the expiry
  } cases[] = {
      {7, 5, "bob", 9, {6, 14}},
      {7, 5, "bob", 0, {6}},
      {0, 5, "bob", 9, {5}},
      {0, 0, "bob", 9, {4}},
      {0, 0, "", 0, {}},
  };
  for (const auto &c : cases) {
    MessageParams p{};
    p.groupid = c.groupid;
    p.uid = c.uid;
    RecordExtras x{};
    x.address = c.address;
    x.address_len = (uint32_t)strlen(c.address);
    x.group_param = c.group_param;
    uint8_t out[64] = {0};
    TlvBuffer t;
    tlv_init(&t, out, sizeof out);
    ASSERT_EQ(record_encode(&t, p, x), 0);
    std::vector<uint32_t> want = {1};
    want.insert(want.end(), c.items.begin(), c.items.end());
    want.push_back(8);
    EXPECT_EQ(item_types(out, t.pos), want) << c.groupid << " " << c.uid << " " << c.address;
  }
}

TEST(Record, EncodeThatDoesNotFitLeavesCursor) {
  uint8_t full[512] = {0};
  TlvBuffer t;
  tlv_init(&t, full, sizeof full);
  ASSERT_EQ(record_encode(&t, full_params(), full_extras()), 0);
  const uint32_t size = t.pos;
  StdoutCapture quiet;
  for (uint32_t cap = 0; cap < size; cap++) {
    uint8_t out[512] = {0};
    tlv_init(&t, out, cap + 3);
    t.pos = 3;
    ASSERT_EQ(record_encode(&t, full_params(), full_extras()), -1) << cap;
    ASSERT_EQ(t.pos, 3u);
  }
}

TEST(Record, RoundTripNormalAndSentMode) {
  uint8_t out[512] = {0};
  TlvBuffer t;
  tlv_init(&t, out, sizeof out);
  const MessageParams in = full_params();
  ASSERT_EQ(record_encode(&t, in, full_extras()), 0);
  // The destination is exactly one of group, uid, address; add the other two
  // by hand so that both modes can be seen to take them.
  ASSERT_EQ(t.put_u32(REC_UID, in.uid), 0);
  ASSERT_EQ(t.put_text(REC_ADDRESS, kAddress), 0);
  const uint32_t size = t.pos;

  MessageParams p;
  RecordExtras x;
  tlv_init(&t, out, size);
  ASSERT_EQ(record_decode(&t, &p, &x, false), 0);
  EXPECT_TRUE(x.last);
  EXPECT_EQ(p.id, in.id & 0xFFFFFFFF);
  EXPECT_EQ(p.type, in.type);
  EXPECT_EQ(p.flags, in.flags & 0xFFFFFFFF);
  EXPECT_EQ(p.channel, in.channel);
  EXPECT_EQ(p.groupid, in.groupid);
  EXPECT_EQ(x.group_param, 0x0203);
  EXPECT_EQ(p.uid, in.uid);
  EXPECT_EQ(std::string(x.address, x.address_len), kAddress);
  EXPECT_EQ(p.expiry, in.expiry);
  EXPECT_EQ(p.agesent, in.agesent);
  EXPECT_EQ(p.agerecv, in.agerecv);
  EXPECT_EQ(p.ageread, in.ageread);
  EXPECT_EQ(p.tid, in.tid);
  EXPECT_EQ(p.userdata, in.userdata);
  EXPECT_EQ(p.sensitivity, in.sensitivity);
  EXPECT_EQ(p.refid, in.refid);
  EXPECT_EQ(p.peerversion, in.peerversion);
  EXPECT_EQ(p.aux64, in.aux64);
  EXPECT_EQ(p.syncid, in.syncid);
  EXPECT_EQ(p.syncext, in.syncext);
  EXPECT_EQ(p.syncref, in.syncref);
  EXPECT_EQ(Bytes(p.envelope, p.envelope + p.envelope_len), Bytes(kEnvelope, kEnvelope + 3));
  EXPECT_EQ(Bytes(x.payload, x.payload + x.payload_len), Bytes(kPayload, kPayload + 7));
  EXPECT_EQ(p.status, MSG_STATUS_UNREAD);
  EXPECT_FALSE(x.is_status);

  // Sent mode takes 3, 4, 5, 6, 9, 10, 11, 13, 15, 25, 26, 27 and nothing else.
  tlv_init(&t, out, size);
  ASSERT_EQ(record_decode(&t, &p, &x, true), 0);
  EXPECT_EQ(p.id, in.id & 0xFFFFFFFF);
  EXPECT_EQ(x.address_len, strlen(kAddress));
  EXPECT_EQ(p.uid, in.uid);
  EXPECT_EQ(p.groupid, in.groupid);
  EXPECT_EQ(p.flags, in.flags & 0xFFFFFFFF);
  EXPECT_EQ(p.channel, in.channel);
  EXPECT_EQ(p.type, in.type);
  EXPECT_EQ(p.refid, in.refid);
  EXPECT_EQ(p.aux64, in.aux64);
  EXPECT_EQ(p.agesent, in.agesent);
  EXPECT_EQ(p.agerecv, in.agerecv);
  EXPECT_EQ(p.ageread, in.ageread);
  EXPECT_EQ(p.expiry, 0u);
  EXPECT_EQ(p.tid, 0u);
  EXPECT_EQ(p.userdata, 0u);
  EXPECT_EQ(p.sensitivity, 0u);
  EXPECT_EQ(p.peerversion, 0u);
  EXPECT_EQ(p.syncid, 0u);
  EXPECT_EQ(p.syncext, 0);
  EXPECT_EQ(p.syncref, 0u);
  EXPECT_EQ(p.envelope, nullptr);
  EXPECT_EQ(x.payload, nullptr);
  EXPECT_EQ(x.group_param, 0);
}

TEST(Record, ServerOnlyItems) {
  uint8_t out[128] = {0};
  TlvBuffer t;
  tlv_init(&t, out, sizeof out);
  ASSERT_EQ(t.put_empty(REC_START), 0);
  ASSERT_EQ(t.put_u16_fixed(REC_STATUS, MSG_STATUS_READ), 0);
  ASSERT_EQ(t.put_u32(REC_AGE, 90), 0);
  ASSERT_EQ(t.put_u32_fixed(REC_STOREDMARK, 4), 0);
  ASSERT_EQ(t.put_u32_fixed(REC_AUX32, 5), 0);
  ASSERT_EQ(t.put_u32_fixed(REC_TOUID, 6), 0);
  ASSERT_EQ(t.put_u32_fixed(REC_PROFILEVERSION, 7), 0);
  ASSERT_EQ(t.put_u64(REC_UID, 0x100000001ull), 0);  // wider than the field
  ASSERT_EQ(t.put_u16(999, 1), 0);                   // unknown: ignored
  const uint32_t size = t.pos;

  MessageParams p;
  RecordExtras x;
  tlv_init(&t, out, size);
  ASSERT_EQ(record_decode(&t, &p, &x, false), 0);
  EXPECT_TRUE(x.is_status);
  EXPECT_EQ(p.status, MSG_STATUS_READ);
  EXPECT_TRUE(x.has_age);
  EXPECT_EQ(x.age, 90u);
  EXPECT_EQ(p.storedmark, 4u);
  EXPECT_EQ(p.aux32, 5u);
  EXPECT_EQ(p.touid, 6u);
  EXPECT_EQ(p.profileversion, 7u);
  EXPECT_EQ(p.uid, 0u);

  // None of them is taken when reading back a bundle of our own.
  tlv_init(&t, out, size);
  ASSERT_EQ(record_decode(&t, &p, &x, true), 0);
  EXPECT_FALSE(x.is_status);
  EXPECT_EQ(p.status, MSG_STATUS_UNREAD);
  EXPECT_FALSE(x.has_age);
  EXPECT_EQ(p.storedmark + p.aux32 + p.touid + p.profileversion, 0u);
}

// A client bundle body: the sequence item, then `n` records with ids 1..n;
// `ends` receives the offset where each record ends.
Bytes make_bundle(int n, uint32_t payload_len, std::vector<uint32_t> *ends = nullptr) {
  Bytes body(BUNDLE_MAX_BODY + 256);
  Bytes payload = pattern(payload_len);
  TlvBuffer t;
  tlv_init(&t, body.data(), (uint32_t)body.size());
  EXPECT_EQ(bundle_begin(&t, 0x0102), 0);
  for (int i = 1; i <= n; i++) {
    MessageParams p = full_params();
    p.id = (uint64_t)i;
    RecordExtras x = full_extras();
    x.payload = payload.data();
    x.payload_len = payload_len;
    EXPECT_EQ(record_encode(&t, p, x), 0);
    if (ends) ends->push_back(t.pos);
  }
  body.resize(t.pos);
  return body;
}

// Decodes every record; returns the count, or -1 - count on malformed data.
// Each pointer handed out must lie inside the body.
int decode_all(const Bytes &body, bool sent_mode) {
  TlvBuffer t;
  tlv_init(&t, body.data(), (uint32_t)body.size());
  const uint8_t *end = body.data() + body.size();
  int count = 0;
  for (;;) {
    MessageParams p;
    RecordExtras x;
    int r = record_decode(&t, &p, &x, sent_mode);
    if (r < 0) return -1 - count;
    if (r == 1) return count;
    count++;
    EXPECT_LE((const uint8_t *)x.address + x.address_len, end);
    EXPECT_LE(x.payload + x.payload_len, end);
    EXPECT_LE(p.envelope + p.envelope_len, end);
    if (x.last) return count;
  }
}

TEST(Record, BundleWalk) {
  Bytes body = make_bundle(3, 20);
  EXPECT_EQ(body[0], 0x51);  // sequence first: type 17, 2 bytes
  TlvBuffer t;
  tlv_init(&t, body.data(), (uint32_t)body.size());
  for (uint64_t id = 1; id <= 3; id++) {
    MessageParams p;
    RecordExtras x;
    ASSERT_EQ(record_decode(&t, &p, &x, false), 0);
    EXPECT_EQ(p.id, id);
    EXPECT_EQ(x.last, id == 3);
  }

  // An end item closes the bundle even when records follow it.
  Bytes ended = make_bundle(1, 5);
  Bytes more = make_bundle(1, 5);
  ended.push_back(0x02);
  ended.insert(ended.end(), more.begin() + 3, more.end());
  EXPECT_EQ(decode_all(ended, false), 1);

  EXPECT_EQ(decode_all({}, false), 0);
  EXPECT_EQ(decode_all({0x51, 0x02, 0x01}, false), 0);
  EXPECT_EQ(decode_all({0x51, 0x02, 0x01, 0x02, 0x01}, false), 0);
}

bool walks_cleanly(const Bytes &b) {
  TlvBuffer t;
  tlv_init(&t, b.data(), (uint32_t)b.size());
  uint32_t type, len;
  const uint8_t *v;
  while (t.get(&type, &len, &v) == 0) {
  }
  return t.pos == t.cap;
}

// Cut at every byte: the records wholly before the cut come out, at most one
// more (cut on an item boundary inside it), and a cut item is reported.
TEST(Record, TruncatedBundle) {
  std::vector<uint32_t> ends;
  const Bytes body = make_bundle(4, 40, &ends);
  ASSERT_EQ(decode_all(body, false), 4);
  for (uint32_t cut = 0; cut < body.size(); cut++) {
    Bytes part(body.begin(), body.begin() + cut);  // exactly sized for the sanitizer
    int whole = 0;
    while (whole < 4 && ends[whole] <= cut) whole++;
    for (bool sent : {false, true}) {
      int r = decode_all(part, sent);
      int got = r < 0 ? -1 - r : r;
      ASSERT_GE(got, whole) << cut;
      ASSERT_LE(got, whole + 1) << cut;
      ASSERT_EQ(r >= 0, walks_cleanly(part)) << cut;
    }
  }
}

TEST(Record, CorruptedBundleStaysInBounds) {
  const Bytes body = make_bundle(2, 300);
  for (size_t i = 0; i < body.size(); i++) {
    for (uint8_t mask : {0x01, 0x20, 0x80, 0xFF}) {
      Bytes bad(body);
      bad[i] ^= mask;
      decode_all(bad, false);
      decode_all(bad, true);
    }
  }
}

}  // namespace
