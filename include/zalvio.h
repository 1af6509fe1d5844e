// The library's public interface.
//
// An application gets the one engine object of the process from
// ZalvioInstance, registers its ZalvioListener, sets the data directory,
// the database and the access token, and calls start(). From then on the
// library keeps a connection to the service, sends what you give it and
// reports what arrives through the listener.
//
//   Zalvio *z = ZalvioInstance(0);
//   z->setListener(&myListener);
//   z->setDatabase("messages.db", 0);
//   z->setAccessToken(token);
//   z->start();
//   ZalvioMessage *m = z->newMessage("alice");
//   m->setMessage("hello");
//   m->send();
//   delete m;
//
// Threads. Methods may be called from any thread. Listener callbacks run on
// the library's engine thread, except: the echo of a message you send runs
// on your sending thread, connection statuses raised by start or
// setAccessToken run on the calling thread, and read-session pages run on
// the thread that called read. The listener must cope with that, and must
// not block for long: while it runs, nothing else arrives.
//
// Ownership. The Zalvio object lives until the process ends: never delete
// it. Objects returned by the new... and create... methods are yours to
// delete. Texts returned as const char* stay owned by the library; texts
// returned as char* are heap copies you free with free(). Objects passed to
// callbacks are valid only during the callback.
//
// Results. 0 means success and -1 failure unless a method says otherwise.
// A null or empty text where one is needed is a failure, never a crash.
#pragma once

#include <cstdint>

#include "zalvio_call.h"
#include "zalvio_datetime.h"
#include "zalvio_message.h"
#include "zalvio_presence.h"
#include "zalvio_readsession.h"

#ifndef ZALVIO_PUBLIC
#define ZALVIO_PUBLIC __attribute__((visibility("default")))
#endif

// Connection statuses (onConnectionStatus, getConnectionStatus).
enum {
  ZALVIO_ONLINE = 1,
  ZALVIO_OFFLINE = 2,
  ZALVIO_SIGNED_OUT = 3,        // signed in elsewhere
  ZALVIO_AUTH_FAILED = 4,       // the access token was refused
  ZALVIO_STOPPED = 5,
  ZALVIO_CONNECTING = 6,
  ZALVIO_CONNECT_FAILED = 7,
  ZALVIO_NO_NETWORK = 8,
  ZALVIO_SERVER_DOWN = 9,       // on-premise server unavailable
  ZALVIO_ACCOUNT_NOTICE = 20,
  ZALVIO_ACCOUNT_NOTICE2 = 21,
};

// Implemented by the application to hear from the library. Return 0; a
// negative result from onMessage during a read-session page stops the
// page. Exceptions thrown by a callback are caught and logged.
class ZalvioListener {
 public:
  virtual ~ZalvioListener() {}
  // A new message: received, sent by you (its echo, status 0), or read
  // back by a read session.
  virtual int onMessage(ZalvioMessage &message) = 0;
  // A message that updates an earlier one (an edit, a finished download).
  virtual int onMessageUpdate(ZalvioMessage &message) = 0;
  // The status of a message changed (sent, delivered, read, failed); the
  // message carries id, peer or group and the new status.
  virtual int onMessageStatus(ZalvioMessage &message) = 0;
  // A peer's activity (online, typing...).
  virtual int onPresence(ZalvioPresence &presence) = 0;
  // The connection status changed (ZALVIO_ONLINE ...).
  virtual int onConnectionStatus(int status) = 0;
  // The end-to-end encryption state with a peer changed.
  virtual int onEndToEndEncryption(const char *peer, int status) = 0;
};

// End-to-end encryption of one-to-one messages (from
// Zalvio::getEndToEndEncryption; owned by the library). A peer of null or
// "" means your own defaults. Operations answer -1 while the library is
// built without end-to-end support.
class ZalvioEndToEndEncryption {
 public:
  virtual ~ZalvioEndToEndEncryption() {}
  // Switches protection on (at the level of setLevel, 5 by default) or off.
  virtual void enable(int enable) = 0;
  // The peer's protection state.
  virtual int getPeerStatus(const char *peer) = 0;
  // 1 while messages with the peer are protected.
  virtual int isActive(const char *peer) = 0;
  // The protection level used while enabled; the engine's answer, or 0
  // while disabled.
  virtual int setLevel(uint32_t level) = 0;
  // Allowed and preferred cipher bits.
  virtual int setCiphers(uint32_t allowed, uint32_t preferred) = 0;
  // A password shared with the peer (null data or len 0 clears it).
  virtual int setPassword(const char *peer, const void *data, int len) = 0;
  virtual int setTagLength(uint32_t n) = 0;
  // Extra bytes bound into the protection for the peer (null clears).
  virtual int setAuthenticatedData(const char *peer, const void *data, int len) = 0;
  // Writes your certificate (never the private key) to a file.
  virtual int saveCertificate(const char *path) = 0;
  // Loads your private key and certificate from a file.
  virtual int loadCertificate(const char *path) = 0;
  // Loads a peer's certificate.
  virtual int loadPeerCertificate(const char *peer, const char *path) = 0;
  // Name and common name of the peer's certificate (owned by the library),
  // or null.
  virtual const char *getPeerName(const char *peer) = 0;
  virtual const char *getPeerCommonName(const char *peer) = 0;
  // Fingerprint of the conversation's keys, or of the peer's identity key
  // alone; a heap text you free(), empty while keys are missing.
  virtual char *getFingerprint(const char *peer) = 0;
  virtual char *getPeerFingerprint(const char *peer) = 0;
  // Key renewal limits of the root chain (root non-zero) or the message
  // chain: uses and seconds.
  virtual int setKeyLifetime(int root, int minUses, int maxUses, int minSeconds,
                             int maxSeconds) = 0;
};

// The engine, one per process (ZalvioInstance).
class Zalvio {
 public:
  virtual ~Zalvio() {}

  // The current connection status (ZALVIO_ONLINE ...), 0 before any.
  virtual int getConnectionStatus() = 0;
  // Sets the data directory (created, with its folders); the default is
  // $HOME/.zalvio. -1 for no path or one that cannot be created.
  virtual int setPath(const char *path) = 0;
  // The data directory and its folders (owned by the library). The media
  // folders are dated (Sent or Inbox/YYYY-MM) and created on first use.
  virtual const char *getBasePath() = 0;
  virtual const char *getDatabasePath() = 0;
  virtual const char *getImagePath(int sent) = 0;
  virtual const char *getVideoPath(int sent) = 0;
  virtual const char *getAudioPath(int sent) = 0;
  virtual const char *getFilePath(int sent) = 0;
  // Opens the database file name (in the Databases folder unless the name
  // is a path; made per user once the token is known), emptying the tables
  // of the resetTables mask first (1 messages, 2 contacts, 4 settings).
  // 0, or -1 when the database could not be opened.
  virtual int setDatabase(const char *name, uint32_t resetTables) = 0;
  // Empties the tables of the mask; 0 for an empty mask.
  virtual int resetDatabase(uint32_t tables) = 0;
  // Copies the database to a file, or replaces it from one made by this
  // user: 0, -1 failure, -2 another user's backup, -3 the active file.
  virtual int backupDatabase(const char *path) = 0;
  virtual int restoreDatabase(const char *path) = 0;
  // The access token; -1 when it is malformed.
  virtual int setAccessToken(const char *token) = 0;
  // End-to-end encryption settings (owned by the library).
  virtual ZalvioEndToEndEncryption *getEndToEndEncryption() = 0;
  // 2 (default): your presence follows setForeground; 1: always active.
  virtual void setPresenceMode(uint8_t mode) = 0;
  // The file storage endpoint and its authorisation value; -1 unless the
  // URL starts with http:// or https://.
  virtual int setUploadUrl(const char *url, const char *auth) = 0;
  // Where callbacks go (null stops them). When it returns, no callback is
  // running any more with the previous listener on another thread, so the
  // previous listener may be deleted. Called from inside a callback it
  // does not wait. Read sessions keep the listener they were created with.
  virtual int setListener(ZalvioListener *listener) = 0;
  // The wall clock in milliseconds, as message times use it.
  virtual uint64_t getTimestamp() = 0;
  // Sends a failed message again; -1 when no failed message has this id.
  virtual int resendMessage(uint64_t id) = 0;
  // Announces an activity (ZALVIO_ACTIVITY_*) to a peer or a group.
  virtual int sendActivity(const char *to, uint32_t groupid, int activity, int value,
                           int interval) = 0;
  // Size of the outgoing queue in bytes (64000 at least; 128000 by default).
  virtual int setBufferSize(int size, int ignored) = 0;
  // Seconds after sending within which edits and deletes for everyone are
  // honoured (default 1800); returns the window.
  virtual int setDeleteWindow(int seconds) = 0;
  virtual int getDeleteWindow() = 0;
  // Which remote edits and deletes are honoured (default 0xFFFF); returns
  // the window.
  virtual int setRemoteActions(int mask) = 0;
  // Deletes stored messages, leaving "deleted" placeholders; remote also
  // asks the peers to delete them (your own messages younger than the
  // window). 0, or -1 without a database.
  virtual int wipeMessages(const uint64_t *ids, int count, int remote) = 0;
  virtual int removeMessage(uint64_t id, int remote) = 0;  // same as deleteMessage(id, remote)
  virtual int wipeMessage(uint64_t id) = 0;
  // Deletes stored messages without placeholder.
  virtual int deleteMessages(const uint64_t *ids, int count, int remote) = 0;
  virtual int deleteMessage(uint64_t id, int remote) = 0;
  virtual int deleteMessage(uint64_t id) = 0;
  // Deletes a conversation (peer, or group when groupid is set) here and on
  // your other devices; with before non-zero only messages not newer than
  // that time, in seconds since the epoch.
  virtual int deleteConversation(const char *peer, uint32_t groupid, uint32_t before) = 0;
  // Kept for older applications; has no effect.
  virtual int setCapability(int flag, uint64_t value) = 0;
  // A read session for a peer or a group (neither: the summary); pages go
  // to listener, or to the current listener when null. Yours to delete.
  virtual ZalvioReadSession *createReadSession(const char *peer, uint32_t groupid,
                                               uint64_t ignored, ZalvioListener *listener) = 0;
  // Starts the engine (connects and keeps connected); -1 when refused, e.g.
  // without a valid access token (onConnectionStatus reports 4 then).
  virtual int start() = 0;
  // Stops the engine; wait() then blocks until it has ended.
  virtual int stop() = 0;
  // The application came to the foreground (reconnects faster).
  virtual int setForeground() = 0;
  virtual int wait() = 0;
  // Your user id and address (known after the first login).
  virtual uint32_t getUid() = 0;
  virtual const char *getAddress() = 0;
  // Your application's name, sent to the service at the next start.
  virtual void setAppName(const char *name) = 0;
  // A new message id no stored message uses.
  virtual uint32_t getUniqueMessageId() = 0;
  // Returns p.
  virtual void *identity(void *p) = 0;
  // Settings of your own in the database: set, get (a heap copy you free,
  // null when absent) and delete.
  virtual int setKey(const char *name, const char *value) = 0;
  virtual char *getKey(const char *name) = 0;
  virtual int deleteKey(const char *name) = 0;
  // Numeric call settings; other codes are ignored. Returns 0.
  virtual int setConfig(uint32_t code, uint32_t value) = 0;
  virtual int setConfig(uint32_t code, const char *value) = 0;
  // 64 when the service set its feature flag for this account, else 0.
  virtual int getServerFlag() = 0;
  // New messages to a peer or a group, with a fresh id; yours to delete.
  // (With the one-argument forms, write a group id as an unsigned value,
  // e.g. newMessage(5u); a plain 0 is ambiguous.)
  virtual ZalvioMessage *newMessage(const char *peer, uint32_t groupid) = 0;
  virtual ZalvioMessage *newMessage(const char *peer) = 0;
  virtual ZalvioMessage *newMessage(uint32_t groupid) = 0;
  // A presence object for a peer or a group; yours to delete.
  virtual ZalvioPresence *newPresence(const char *peer, uint32_t groupid) = 0;
  // Same as newMessage.
  virtual ZalvioMessage *newMessageProperties(const char *peer) = 0;
  virtual ZalvioMessage *newMessageProperties(uint32_t groupid) = 0;
  virtual ZalvioPresence *newPresence(const char *peer) = 0;
  virtual ZalvioPresence *newPresence(uint32_t groupid) = 0;

  // For applications that talk to a service of their own (set both before
  // start). The messaging server as "host" or "host:port"; -1 for a null,
  // empty or malformed text.
  virtual int setServer(const char *hostPort) = 0;
  // Trusts the CA certificates of a PEM file, besides the system's, when
  // checking the server's certificate; -1 when the file cannot be read.
  virtual int addTrustedCA(const char *pemFile) = 0;
};

extern "C" {
// The process's engine, created on the first call (bufferSize: outgoing
// queue bytes, 0 for the default 128000); later calls return the same
// object. Safe to call from several threads at once.
ZALVIO_PUBLIC Zalvio *ZalvioInstance(int bufferSize);
// The same for a language wrapper, which names its version.
ZALVIO_PUBLIC Zalvio *ZalvioPythonInstance(int bufferSize, const char *wrapperVersion);
// A new message to a peer or a group, yours to delete; its id is 0 until
// ZalvioInstance has been called.
ZALVIO_PUBLIC ZalvioMessage *ZalvioMessageInstance(const char *peer, uint32_t groupid);
// 1 when text[0..len) is valid UTF-8 without control characters other than
// tab, line feed and carriage return; a zero byte ends the text (len 0:
// up to the zero byte). 0 otherwise, and for null.
ZALVIO_PUBLIC int ZalvioIsUTF8(const char *text, uint32_t len);
// The version of this interface: 3.
ZALVIO_PUBLIC int ZalvioInterfaceVersion();
// Prints the library's name and service address and ends the process
// with exit status 1.
ZALVIO_PUBLIC void zalvio_info();
}
