// Feeds arbitrary bytes to the settings loader. An odd first byte makes the
// rest a body that gets a valid checksum and prefix first, so the item
// reader sees arbitrary items and not only checksum failures. Whatever the
// loader accepts must save again and load back; whatever it refuses must
// leave a reset record.
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "core/config.h"
#include "core/tlv.h"
#include "util/crc64.h"

static const uint32_t kVersion = 2010000;

// The loader logs every refusal on standard output; libFuzzer reports on
// standard error.
extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  int fd = open("/dev/null", O_WRONLY);
  if (fd >= 0) dup2(fd, 1);
  return 0;
}

static std::vector<uint8_t> sealed(const uint8_t *body, size_t size) {
  const uint32_t n = 16;
  std::vector<uint8_t> plain(body, body + size);
  uint64_t crc = crc64_ecma(plain.data(), plain.size());
  uint8_t tail[32];
  TlvBuffer t;
  tlv_init(&t, tail, sizeof tail);
  if (crc) t.put_u64(46, crc);
  t.put_u32(45, (uint32_t)size);
  plain.insert(plain.end(), tail, tail + t.pos);
  std::vector<uint8_t> blob(n);
  blob[0] = n;
  for (uint32_t i = 1; i < n; i++) blob[i] = (uint8_t)(i * 29);
  for (size_t i = 0; i < plain.size(); i++) blob.push_back(plain[i] ^ blob[i % n]);
  return blob;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0 || size > 1 << 20) return 0;
  std::vector<uint8_t> input = (data[0] & 1) ? sealed(data + 1, size - 1)
                                             : std::vector<uint8_t>(data + 1, data + size);
  static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
  EngineSettings s{};
  settings_clear(&s);
  SettingsContext c = {&s, &lock, nullptr, 0, 0, kVersion};
  int rv = settings_load(c, input.data(), (uint32_t)input.size());
  if (rv != SETTINGS_OK) {
    if (s.login_serial || s.tls_session.len || s.tickets[0].len || !s.fresh) __builtin_trap();
    settings_release(&s);
    return 0;
  }
  for (const SessionTicket &t : s.tickets)
    if (t.len >= sizeof t.text || t.text[t.len] != 0) __builtin_trap();

  SettingsBytes blob;
  if (settings_encode(&s, s.saved_uid, kVersion, s.saved_s, &blob) != 0) __builtin_trap();
  EngineSettings back{};
  settings_clear(&back);
  if (settings_decode(&back, blob.data, blob.len, s.saved_uid, kVersion) != SETTINGS_OK)
    __builtin_trap();
  if (back.login_serial != s.login_serial || back.tls_session.len != s.tls_session.len ||
      back.tickets[0].len != s.tickets[0].len)
    __builtin_trap();
  blob.release();
  settings_release(&back);
  settings_release(&s);
  return 0;
}
