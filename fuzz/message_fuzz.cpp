// Feeds arbitrary bundle bodies to the engine's incoming message path, in
// both the received and the acknowledged-bundle mode.
#include <cstddef>
#include <cstdint>

#include "core/api.h"
#include "util/logs.h"

namespace {
class Sink : public INotify {
 public:
  int on_message(MessageParams *p, const char *peer, const uint8_t *payload, uint32_t len) override {
    // Touch everything handed out so the sanitizers see a bad pointer.
    volatile uint32_t sum = p->uid;
    for (const char *c = peer; c && *c; c++) sum += (uint8_t)*c;
    for (uint32_t i = 0; i < len; i++) sum += payload[i];
    return 0;
  }
  int on_message_status(MessageParams *p, const char *peer, int) override {
    volatile uint32_t sum = p->status;
    for (const char *c = peer; c && *c; c++) sum += (uint8_t)*c;
    return 0;
  }
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static Sink sink;
  static CAPI *engine = [] {
    CAPI *e = new CAPI("", 0);
    e->register_listener(0, &sink, 1);
    return e;
  }();
  if (size == 0) return 0;
  engine->current_uid = 0;
  engine->current_peer = nullptr;
  engine->message_decode(OP_DATA, data + 1, (uint32_t)size - 1, (data[0] & 1) != 0);
  return 0;
}
