// DBApp: the application layer over the core engine.
#include "app/app.h"

extern "C" ZALVIO_EXPORT_APP IZalvio *query_zalvio(const char *path, uint32_t queue_size) {
  // The application layer is being assembled; until then the core engine
  // serves alone.
  return query_zalvio_base(path, queue_size);
}
