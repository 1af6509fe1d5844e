// IZalvio: the engine interface.
//
// One flat list of operations. CAPI (the core engine) implements every one;
// operations only the application layer can perform have a CAPI default
// that answers "not available" (-1, 0 or nothing) and are replaced by the
// application layer. The facade, read sessions and the other modules reach
// the engine only through this interface.
#pragma once

#include <cstdint>

#include "core/notify.h"
#include "core/params.h"

class IZalvio {
 public:
  // destruction
  virtual void destroy() = 0;
  virtual void destroy_and_free() = 0;
  // lifecycle
  virtual int start() = 0;
  virtual int wait() = 0;
  virtual int stop() = 0;
  // configuration
  virtual int versions(int platform, const char *sdk_kind, const char *app_name,
                       const char *api_version, const char *os_version) = 0;
  virtual int set_cpu(int count, uint64_t descriptor, int flags) = 0;
  virtual int set_credentials(const char *token) = 0;
  virtual int register_listener(int channel, INotify *listener, int make_default) = 0;
  virtual int set_server(const char *host) = 0;
  // connection state
  virtual int is_logged_in() = 0;
  virtual int connection_status() = 0;
  // identity
  virtual uint32_t get_uid() = 0;
  virtual uint32_t get_app_id() = 0;
  // internal listeners (whole channel range)
  virtual int register_listener_internal(int channel, INotify *listener, int make_default) = 0;

 protected:
  virtual ~IZalvio() = default;
};
