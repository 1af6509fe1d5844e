// One client connection of the service: its non-blocking TLS session, the
// frame being assembled from what the client sent, the frames waiting to
// be written, and what the service knows about the client.
//
// The event loop (server.cpp) owns every Conn and calls in here when the
// socket is ready; the protocol (session.cpp) reads complete frames and
// queues answers. Memory per connection stays small while it is idle: the
// incoming body buffer exists only while a frame is being read, and TLS
// releases its record buffers between reads.
#pragma once

#include <openssl/ssl.h>

#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "core/tlv.h"

enum ConnState : uint8_t {
  CONN_HANDSHAKE,   // TLS handshake running
  CONN_LOGIN,       // waiting for the first login frame
  CONN_CHALLENGED,  // challenge sent, waiting for the answer
  CONN_ONLINE,      // logged in
  CONN_CLOSING,     // writing what is queued, then closing
  CONN_DEAD,        // closed; freed at the end of the loop pass
};

enum LoginVia : uint8_t {
  VIA_NONE,
  VIA_TICKET,
  VIA_CHALLENGE,
};

enum : uint32_t {
  CONN_OUT_LIMIT = 8u << 20,  // a client that reads nothing is dropped here
};

struct Delivery;  // relay.h

// A data frame sent and not yet acknowledged, with what it carried.
struct DataFrame {
  uint32_t param;
  std::vector<std::shared_ptr<Delivery>> records;
};

struct Conn {
  uint32_t id = 0;
  int fd = -1;
  SSL *ssl = nullptr;
  ConnState state = CONN_HANDSHAKE;
  bool stalled = false;     // an operator told the service to stop serving it
  bool want_write = false;  // TLS needs the socket writable to go on
  uint32_t events = 0;      // what epoll watches now

  // Incoming frame.
  uint8_t head[FRAME_HEADER_SIZE];
  uint32_t head_have = 0;
  FrameHeader frame{};
  std::vector<uint8_t> body;
  uint32_t body_have = 0;
  uint64_t frame_start_ms = 0;  // 0 while no frame is partly read

  // Outgoing bytes, written from out_off on.
  std::vector<uint8_t> out;
  size_t out_off = 0;

  // Identity and login facts.
  uint32_t uid = 0;
  uint64_t serial = 0;
  uint32_t installation = 0;
  std::string address;      // the user's address, written into relayed records
  uint32_t ack_owed = 0;    // login item 5: last param taken on the previous connection
  std::string host;         // server name the client asked for
  bool resumed = false;     // the TLS session was resumed
  uint16_t login_frames = 0;
  uint16_t last_identity_items = 0;  // identity items in the last login frame
  LoginVia via = VIA_NONE;
  uint32_t challenge_time = 0;
  std::string challenge;
  uint64_t accepted_ms = 0;
  uint64_t last_frame_ms = 0;

  // Data frames ("A"): the last param the client echoed, and the frames it
  // has not acknowledged yet.
  uint32_t acked = 0;
  uint32_t pacing_ms = 0;   // param of bundle acknowledgements
  std::list<DataFrame> inflight;  // oldest first; a list costs nothing while idle
  uint32_t inflight_records = 0;
  uint32_t stored_inflight = 0;   // records from the store among them
};

// Advances the TLS handshake: 1 done, 0 waiting for the socket, -1 failed.
int conn_handshake(Conn *c);

// Reads what the socket has and assembles frames. For each complete frame,
// `on_frame` is called with c->frame and c->body; it returns 0 to go on or
// -1 to stop reading (the connection was closed or stalled). Header checks
// happen before a body is read: `limit` gives the largest body allowed for
// a frame code, or -1 when the code is not allowed now. Returns 0 while the
// connection lives, -1 when it must be closed (peer closed, TLS error,
// oversized or refused frame).
typedef int (*FrameHandler)(void *ctx, Conn *c);
typedef int32_t (*FrameLimit)(const Conn *c, uint8_t code);
int conn_receive(Conn *c, uint8_t *scratch, uint32_t scratch_size, FrameLimit limit,
                 FrameHandler on_frame, void *ctx, uint64_t now_ms);

// Queues one frame; -1 when the body is too long or the client has let
// CONN_OUT_LIMIT bytes pile up.
int conn_queue(Conn *c, uint8_t code, uint8_t op, uint32_t param, const uint8_t *body,
               uint32_t len);

// Writes queued bytes until done or the socket is full: 0, or -1 on error.
int conn_flush(Conn *c);
bool conn_has_output(const Conn *c);

// The epoll events the connection needs now.
uint32_t conn_wanted_events(const Conn *c);
