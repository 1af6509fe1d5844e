// ZalvioReadSession: pages through stored messages.
//
// Create one with Zalvio::createReadSession for a conversation (a peer, or
// a group), or with neither for the conversation summary (enableSummary:
// the latest message of every conversation, with its unread count). Set
// the options, then call read(n) for each page: the page's messages arrive
// as onMessage (or onMessageUpdate) calls on the listener the session was
// created with (the facade's listener at creation when none was given), on
// the thread that called read, before read returns. The last message of a
// page has isLastInBatch() set. The facade's listener does not see them.
//
// Options take effect when the session starts (its first read, sync or
// start); change them later and stop() then start again to apply them.
// Only read receipts can be switched on a running session.
//
// The session is yours: delete it when done (its engine session is closed
// then if you did not stop it). The listener it delivers to must outlive
// it. Use a session from one thread at a time.
#pragma once

#include <cstdint>

class ZalvioReadSession {
 public:
  virtual ~ZalvioReadSession() {}

  // Starts the session if needed and delivers the next page of up to count
  // messages (count <= 0: all remaining). Returns the number delivered, or
  // -1 (no database, no such conversation, bad options).
  virtual int read(int count) = 0;
  // Opens the engine session with the options set so far; 0, or -1 when
  // the engine refused (e.g. no database).
  virtual int start() = 0;
  // Closes the engine session; the session can be started again later.
  virtual int stop() = 0;
  // Asks the service for up to count older messages of the conversation
  // (they are stored and come with later reads); 1 asked, 0 nothing to ask,
  // -1 on failure.
  virtual int sync(int count) = 0;
  // Reading marks messages read and sends read receipts when on. On a
  // running session this pauses or resumes receipts at once.
  virtual int enableReadReceipt(int on) = 0;
  // The options below return the session itself, so calls can be chained.
  virtual ZalvioReadSession *enableSummary(int on) = 0;  // latest message per conversation
  virtual ZalvioReadSession *enableForward(int on) = 0;  // oldest first
  virtual ZalvioReadSession *enableFiles(int on) = 0;    // only messages with files
  // Only the kinds selected by the call options below (at least one must
  // be selected, else read fails).
  virtual ZalvioReadSession *enableIncludeMode(int on) = 0;
  virtual ZalvioReadSession *enableMissedCalls(int on) = 0;
  virtual ZalvioReadSession *enableIncomingCalls(int on) = 0;
  virtual ZalvioReadSession *enableOutgoingCalls(int on) = 0;
  virtual ZalvioReadSession *enableCalls(int on) = 0;    // all three call kinds
};
