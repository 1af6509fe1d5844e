// Login rounds and the retry policy after a failed one.
#include "core/loginapi.h"

#include "core/api.h"
#include "util/random.h"
#include "util/time.h"

enum : uint64_t {
  RETRY_REFUSED_MIN_US = 10000000,
  RETRY_REFUSED_MAX_US = 60000000,
  RETRY_SLOW_BASE_US = 3000000,
  RETRY_SLOW_SPREAD_US = 20000000,
  RETRY_STEP_US = 1000000,
};

int64_t transport_retry_delay_us(uint32_t server_failures, uint32_t persisted_failures, bool refused,
                                 uint64_t since_last_frame_us) {
  if (refused) return (int64_t)random_delay(RETRY_REFUSED_MIN_US, RETRY_REFUSED_MAX_US);
  if (server_failures <= 2 && persisted_failures <= 15)
    return (int64_t)((server_failures + 1) * RETRY_STEP_US);
  uint64_t spread = since_last_frame_us < RETRY_SLOW_SPREAD_US ? RETRY_SLOW_SPREAD_US - since_last_frame_us : 0;
  return (int64_t)random_delay(RETRY_SLOW_BASE_US, RETRY_SLOW_BASE_US + spread);
}

int64_t CAPI::start_login() {
  // Until the transport exists every attempt fails before reaching a server.
  attempt_reached_server = false;
  close_socket();
  if (service_ended.load()) return -4;
  uint64_t now = clock_now_us();
  if (settings.holdoff_until_us > now) return (int64_t)(settings.holdoff_until_us - now);
  uint64_t since_frame = last_frame_us && now > last_frame_us ? now - last_frame_us : UINT64_MAX;
  return transport_retry_delay_us(server_failures, settings.failures, false, since_frame);
}

int CAPI::main_loop() { return 0; }
