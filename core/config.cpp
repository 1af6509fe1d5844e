// Engine settings record and the fingerprint file.
#include "core/config.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/tlv.h"
#include "util/logs.h"

static const char kFingerprintFile[] = "DB.SHA256";

enum : uint32_t {
  FINGERPRINT_MAX = 512,
  FP_UID = 5,
  FP_APP_ID = 6,
  FP_INSTALLATION = 7,
};

int SettingsBytes::assign(const void *bytes, uint32_t n) {
  if (n > cap) {
    uint8_t *grown = (uint8_t *)realloc(data, n);
    if (!grown) return -1;
    data = grown;
    cap = n;
  }
  if (n) memcpy(data, bytes, n);
  len = n;
  return 0;
}

void SettingsBytes::release() {
  free(data);
  data = nullptr;
  len = cap = 0;
}

// Walks every owned buffer of the record.
static SettingsBytes *owned_buffers(EngineSettings *s, int i) {
  SettingsBytes *all[] = {&s->primary_address, &s->app_name_server, &s->turn_host, &s->ice_url,
                          &s->app_text,        &s->server_notice,   &s->redirect_body,
                          &s->push_token,      &s->voip_token,      &s->tls_session,
                          &s->e2e_identity,    &s->control_notice};
  return i < (int)(sizeof all / sizeof all[0]) ? all[i] : nullptr;
}

void settings_clear(EngineSettings *s) {
  // Keep the buffers (they are reused), zero every value.
  SettingsBytes kept[16];
  int n = 0;
  for (SettingsBytes *b; (b = owned_buffers(s, n)) != nullptr; n++) kept[n] = *b;
  uint32_t installation = s->installation_id;
  memset((void *)s, 0, sizeof *s);
  for (int i = 0; i < n; i++) {
    *owned_buffers(s, i) = kept[i];
    owned_buffers(s, i)->len = 0;
  }
  s->installation_id = installation;
  s->server_uid = -1;
}

void settings_release(EngineSettings *s) {
  for (int i = 0; SettingsBytes *b = owned_buffers(s, i); i++) b->release();
}

static void fingerprint_path(const char *dir, char *out, size_t cap) {
  snprintf(out, cap, "%s/%s", dir && *dir ? dir : ".", kFingerprintFile);
}

int read_fingerprint(const char *dir, Fingerprint *out) {
  memset(out, 0, sizeof *out);
  char path[4096];
  fingerprint_path(dir, path, sizeof path);
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  uint8_t buf[FINGERPRINT_MAX];
  ssize_t n = read(fd, buf, sizeof buf);
  close(fd);
  if (n <= 0) return -1;
  TlvBuffer t;
  tlv_init(&t, buf, (uint32_t)n);
  uint32_t type, len;
  const uint8_t *value;
  while (t.get(&type, &len, &value) == 0) {
    uint32_t v = (uint32_t)tlv_uint(value, len, 4);
    if (type == FP_UID) out->uid = v;
    if (type == FP_APP_ID) out->app_id = v;
    if (type == FP_INSTALLATION) out->installation_id = v;
  }
  return 0;
}

int write_fingerprint(const char *dir, const Fingerprint &f) {
  uint8_t buf[FINGERPRINT_MAX] = {};
  TlvBuffer t;
  tlv_init(&t, buf, sizeof buf);
  if (f.uid) t.put_u32(FP_UID, f.uid);
  if (f.app_id) t.put_u32(FP_APP_ID, f.app_id);
  if (f.installation_id) t.put_u32(FP_INSTALLATION, f.installation_id);
  char path[4096], tmp[4112];
  fingerprint_path(dir, path, sizeof path);
  snprintf(tmp, sizeof tmp, "%s.tmp", path);
  int fd = open(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return -1;
  bool ok = write(fd, buf, t.pos) == (ssize_t)t.pos;
  close(fd);
  if (!ok || rename(tmp, path) != 0) {
    unlink(tmp);
    return -1;
  }
  return 0;
}
