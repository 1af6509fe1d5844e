// The message object's content and actions. See message.h.
#include "api/message.h"

#include <cstring>

#include "api/richmessage.h"
#include "api/zalvio.h"
#include "util/allocpool.h"

static const uint64_t kLowIdMask = 0xFFFFFFFFull;

ZalvioMessageImpl::ZalvioMessageImpl() { reset_content(); }

ZalvioMessageImpl::ZalvioMessageImpl(const char *to, uint32_t group) {
  reset_content();
  flags = PROP_DEFAULT_FLAGS;
  expiry = PROP_DEFAULT_EXPIRY;
  peer = copy_text(to);
  groupid = group;
  localflags = MESSAGE_DEFAULT_LOCALFLAGS;
  IZalvio *engine = get_api();
  id = engine ? engine->random_id() : 0;
}

ZalvioMessageImpl::ZalvioMessageImpl(const MessageParams *p, const MessageBundle *bundle,
                                     const char *from) {
  reset_content();
  load_params(p, from);
  // The summary query hands each conversation's unread count over in the
  // channel field, which the message has no place for otherwise.
  if (p->origin == ORIGIN_SUMMARY_READ) unread_ = p->channel;
  MessageBundle none;
  if (!bundle) {
    memset(&none, 0, sizeof none);
    bundle = &none;
  }
  // A rich message's body is its fields; the encoded payload is not shown.
  if (!isRichMessage()) {
    data.data = copy_bytes(bundle->data, bundle->datalen);
    data.length = data.data ? bundle->datalen : 0;
  }
  message = copy_text(bundle->message);
  title = copy_text(bundle->title);
  subtitle = copy_text(bundle->subtitle);
  file.type = (uint8_t)bundle->filetype;
  file.size = bundle->filesize;
  file.url = copy_text(bundle->fileurl);
  file.path = copy_text(bundle->filepath);
  file.thumbnail = copy_bytes(bundle->thumbnail, bundle->thumbnail_len);
  file.thumbnailLength = file.thumbnail ? bundle->thumbnail_len : 0;
  // A bundle without a location carries an out-of-range marker; a message
  // without one reads 0, as a new message does.
  if (rich_location_valid(bundle->lat, bundle->lon)) {
    latitude = bundle->lat;
    longitude = bundle->lon;
  }
}

void ZalvioMessageImpl::reset_file() {
  memset(&file, 0, sizeof file);
  file.reset = 1;
}

void ZalvioMessageImpl::reset_content() {
  localflags = 0;
  forwardOf = 0;
  data.data = nullptr;
  data.length = 0;
  message = nullptr;
  title = nullptr;
  subtitle = nullptr;
  reset_file();
  latitude = 0;
  longitude = 0;
}

const uint8_t *ZalvioMessageImpl::copy_bytes(const void *bytes, uint32_t length) {
  return (const uint8_t *)allocpool_copy(alloc(), bytes, length);
}

void ZalvioMessageImpl::setMessage(const char *text) { message = copy_text(text); }
void ZalvioMessageImpl::setTitle(const char *text) { title = copy_text(text); }
void ZalvioMessageImpl::setSubtitle(const char *text) { subtitle = copy_text(text); }

void ZalvioMessageImpl::setData(const MessageData *block) {
  data.data = block ? copy_bytes(block->data, block->length) : nullptr;
  data.length = data.data ? block->length : 0;
}

void ZalvioMessageImpl::setFilePath(const char *path) {
  file.path = copy_text(path);
  file.url = nullptr;
}

void ZalvioMessageImpl::setFileType(int value) { file.type = (uint8_t)value; }

void ZalvioMessageImpl::setThumbnail(const void *bytes, uint16_t length) {
  file.thumbnail = copy_bytes(bytes, length);
  file.thumbnailLength = file.thumbnail ? length : 0;
}

void ZalvioMessageImpl::setLatitude(double value) { latitude = value; }
void ZalvioMessageImpl::setLongitude(double value) { longitude = value; }
const char *ZalvioMessageImpl::getMessage() { return message; }
const char *ZalvioMessageImpl::getTitle() { return title; }
const char *ZalvioMessageImpl::getSubtitle() { return subtitle; }
MessageData *ZalvioMessageImpl::getData() { return &data; }
MessageFile *ZalvioMessageImpl::getFile() { return &file; }
double ZalvioMessageImpl::getLatitude() { return latitude; }
double ZalvioMessageImpl::getLongitude() { return longitude; }

// Edit and broadcast marks belong to other paths and are dropped; the
// local-only mark stays, so such a message is stored and shown but never
// leaves the device.
int ZalvioMessageImpl::send() {
  IZalvio *engine = get_api();
  if (!engine) return -1;
  setEdit(0);
  setBroadcast(0);
  if (id == 0) id = engine->random_id();
  MessageParams p;
  memset(&p, 0, sizeof p);
  p.id = id;
  p.refid = refid;
  p.flags = flags;
  p.uid = uid;
  p.groupid = groupid;
  p.type = type;
  p.expiry = expiry;
  if (forwardOf) return engine->forward_message(&p, peer, forwardOf, 1);

  MessageBundle b;
  memset(&b, 0, sizeof b);
  if (data.data && data.length) {
    b.data = data.data;
    b.datalen = data.length;
  } else {
    b.message = message;
    b.title = title;
    b.subtitle = subtitle;
    b.filetype = file.type;
    b.fileurl = file.url;
    b.filepath = file.path;
    b.thumbnail = file.thumbnail;
    b.thumbnail_len = file.thumbnailLength;
    b.lat = latitude;
    b.lon = longitude;
    b.localflags = localflags;
  }
  return engine->send_rich_message(&p, peer, &b);
}

int ZalvioMessageImpl::resend() {
  IZalvio *engine = get_api();
  if (!engine || id == 0) return -1;
  return engine->db_resend_failed(id & kLowIdMask);
}

ZalvioMessage *ZalvioMessageImpl::forward(const char *to) {
  ZalvioMessageImpl *m = new ZalvioMessageImpl(to, 0u);
  m->forwardOf = id;
  return m;
}

ZalvioMessage *ZalvioMessageImpl::forward(uint32_t group) {
  ZalvioMessageImpl *m = new ZalvioMessageImpl(nullptr, group);
  m->forwardOf = id;
  return m;
}

int ZalvioMessageImpl::deleteForMe() {
  CZalvio *z = zalvio_facade();
  return z ? z->deleteMessage(id) : -1;
}

int ZalvioMessageImpl::wipeForMe() {
  CZalvio *z = zalvio_facade();
  return z ? z->wipeMessage(id) : -1;
}

int ZalvioMessageImpl::deleteForEveryone() {
  CZalvio *z = zalvio_facade();
  return z ? z->deleteMessage(id, 1) : -1;
}

int ZalvioMessageImpl::removeForEveryone() {
  CZalvio *z = zalvio_facade();
  return z ? z->removeMessage(id, 1) : -1;
}

int ZalvioMessageImpl::canDeleteForEveryone() {
  CZalvio *z = zalvio_facade();
  if (!z || status > MSG_STATUS_READ || isDeleted()) return 0;
  uint64_t now = z->getTimestamp();
  uint64_t age_s = now > timestamp ? (now - timestamp) / 1000 : 0;
  int window = z->getDeleteWindow();
  return window >= 0 && age_s <= (uint64_t)window;
}

void ZalvioMessageImpl::release() {
  if (!borrowed_) delete this;
}

ZalvioMessage *ZalvioMessageImpl::copy() {
  ZalvioMessageImpl *m = new ZalvioMessageImpl();
  m->id = id;
  m->uid = uid;
  m->groupid = groupid;
  m->peer = m->copy_text(peer);
  m->refid = refid;
  m->flags = flags;
  m->timestamp = timestamp;
  m->expiry = expiry;
  m->status = status;
  m->type = type;
  m->origin = origin;
  m->statusFlags = statusFlags;
  m->localflags = localflags;
  m->forwardOf = forwardOf;
  m->setData(&data);
  m->message = m->copy_text(message);
  m->title = m->copy_text(title);
  m->subtitle = m->copy_text(subtitle);
  m->file = file;
  m->file.path = m->copy_text(file.path);
  m->file.url = m->copy_text(file.url);
  m->file.thumbnail = m->copy_bytes(file.thumbnail, file.thumbnailLength);
  m->file.thumbnailLength = m->file.thumbnail ? file.thumbnailLength : 0;
  m->latitude = latitude;
  m->longitude = longitude;
  m->unread_ = unread_;
  return m;
}

int ZalvioMessageImpl::getUnreadCount() { return (int)unread_; }
