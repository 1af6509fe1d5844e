// The protocol the service speaks on a connection: the login rounds
// (operator rules, ticket proof, challenge, response) and, once logged in,
// pings, bundles, debug reports and the data frames sent to the client.
//
// Called by the event loop for every complete frame; answers go out
// through Server::send.
#pragma once

#include <cstdint>

#include "service/conn.h"

class Server;

// Largest body a client may send with `code` in the connection's state, or
// -1 when that frame is not allowed now.
int32_t session_frame_limit(const Conn *c, uint8_t code);

// Handles c->frame and c->body. Returns 0 to go on reading, -1 when the
// connection was closed or must not be read further.
int session_on_frame(Server *s, Conn *c);

// Sends an "A" frame (code 2) whose param the client echoes back; 0 or -1.
int session_send_data(Server *s, Conn *c, const uint8_t *body, uint32_t len);
