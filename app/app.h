// DBApp: the engine applications normally use — the core engine plus the
// local database and the message flow that depends on it.
#pragma once

#include <cstdint>

#include "core/api.h"

#define ZALVIO_EXPORT_APP __attribute__((visibility("default")))

extern "C" {
// Creates the application-layer engine with a data path and an outgoing
// queue size; no connection and no database are opened yet.
ZALVIO_EXPORT_APP IZalvio *query_zalvio(const char *path, uint32_t queue_size);
}
