// ZalvioCall and ZalvioCallObserver: the boundary between the library's
// call signalling and a media engine.
//
// The library carries no audio or video. For each call it creates one
// ZalvioCall through a factory the application supplies, drives it through
// the operations below (in their order: reset, set_listener, set_observer,
// set_version, set_uid, set_flag, start, then offers, remote descriptions,
// servers, mutes and hangup) and receives its reports through the
// ZalvioCallObserver it passes with set_observer. Session descriptions and
// candidates are opaque texts passed with their length.
//
// Every operation returns 0 on success and -1 on failure unless stated.
// The library calls a ZalvioCall from its engine thread; the media engine
// may call the observer from any thread.
#pragma once

#include <cstdint>

// Start flags of ZalvioCall::start.
enum {
  ZALVIO_CALL_START = 0x1,          // always set
  ZALVIO_CALL_VIDEO = 0x2,
  ZALVIO_CALL_AUDIO_MUTED = 0x10,
  ZALVIO_CALL_VIDEO_MUTED = 0x40,
};

// Bits of ZalvioCall::set_mute (any combination).
enum {
  ZALVIO_MUTE_AUDIO = 0x10,
  ZALVIO_UNMUTE_AUDIO = 0x20,
  ZALVIO_MUTE_VIDEO = 0x40,
  ZALVIO_UNMUTE_VIDEO = 0x80,
};

// Media states reported through ZalvioCallObserver::on_call_state.
enum {
  ZALVIO_MEDIA_CONNECTED = 2,
  ZALVIO_MEDIA_DISCONNECTED = 3,
  ZALVIO_MEDIA_FAILED = 16,
};

// Implemented by the library; the media engine reports through it.
class ZalvioCallObserver {
 public:
  virtual ~ZalvioCallObserver() {}
  // The media state changed (ZALVIO_MEDIA_*).
  virtual int on_call_state(int state) = 0;
  virtual int observer_reserved_1() = 0;  // reserved, returns 0
  // The local session description to send to the peer.
  virtual int on_local_sdp(const char *data, int len) = 0;
  virtual int observer_reserved_2() = 0;  // reserved, returns 0
  // A log line of the media engine (printf format).
  virtual void call_log(const char *format, ...) = 0;
};

// Implemented by the media engine, one object per call.
class ZalvioCall {
 public:
  virtual ~ZalvioCall() {}
  // Clears per-call state; an object may serve several calls in turn.
  virtual int reset() = 0;
  // The local user's id.
  virtual int set_uid(uint32_t uid) = 0;
  // The library always passes 1.
  virtual int set_flag(int value) = 0;
  // Not called by the library.
  virtual int set_pair(int a, int b) = 0;
  virtual int set_value(int value) = 0;
  // Where to report (see ZalvioCallObserver).
  virtual int set_observer(ZalvioCallObserver *observer) = 0;
  // The library's internal event sink and the call id; a media engine of
  // the application keeps them untouched (they serve the built-in proxy).
  virtual int set_listener(void *listener, uint32_t callid) = 0;
  // The library passes 3.
  virtual int set_version(int version) = 0;
  virtual int reserved_9() = 0;
  // Starts the media with ZALVIO_CALL_* flags; the second value is 1.
  virtual int start(uint32_t flags, int one) = 0;
  // Makes an offer; it arrives as on_local_sdp.
  virtual int create_offer() = 0;
  // The peer's session description.
  virtual int set_remote_sdp(uint32_t uid, const char *data, int len) = 0;
  virtual int reserved_13() = 0;  // returns -1
  virtual int hangup() = 0;
  // ZALVIO_MUTE_* / ZALVIO_UNMUTE_* bits.
  virtual int set_mute(uint32_t bits) = 0;
  // Current muted state of audio (video 0) or video (non-zero): 1 muted.
  virtual int get_mute(int video) = 0;
  virtual int add_stun_server(const char *url) = 0;
  virtual int add_turn_server(const char *url, const char *username, const char *credential) = 0;
  virtual int reserved_19() = 0;  // returns -1
  // A later description or candidate from the peer.
  virtual int update_remote(uint32_t uid, const char *data, int len) = 0;
  virtual int reserved_21() = 0;  // returns 0
};
