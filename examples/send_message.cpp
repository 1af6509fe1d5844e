// send_message: the smallest application of libzalvio. It logs in to the
// messaging service, sends one text message and waits until the service
// has it.
//
//   send_message HOST:PORT CA_FILE TOKEN DATA_DIR PEER TEXT
//
// It needs nothing of the library but what is installed: the headers and
// libzalvio.so. Build it with the CMake package (CMakeLists.txt here) or
// with pkg-config:
//
//   c++ -std=c++17 send_message.cpp $(pkg-config --cflags --libs zalvio) -pthread
#include <zalvio.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>

// The library calls the listener from its own thread; the main thread
// waits on what the listener records.
class Listener : public ZalvioListener {
 public:
  std::mutex lock;
  std::condition_variable changed;
  int connection = 0;
  uint64_t id = 0;  // the message we wait for
  int status = -1;

  int onConnectionStatus(int s) override {
    std::lock_guard<std::mutex> guard(lock);
    connection = s;
    changed.notify_all();
    return 0;
  }
  int onMessageStatus(ZalvioMessage &m) override {
    std::lock_guard<std::mutex> guard(lock);
    if (m.id == id) status = m.status;
    changed.notify_all();
    return 0;
  }
  int onMessage(ZalvioMessage &) override { return 0; }
  int onMessageUpdate(ZalvioMessage &) override { return 0; }
  int onPresence(ZalvioPresence &) override { return 0; }
  int onEndToEndEncryption(const char *, int) override { return 0; }

  template <class Done>
  bool wait(Done done) {
    std::unique_lock<std::mutex> guard(lock);
    return changed.wait_for(guard, std::chrono::seconds(10), done);
  }
};

int main(int argc, char **argv) {
  if (argc != 7) {
    fprintf(stderr, "usage: send_message HOST:PORT CA_FILE TOKEN DATA_DIR PEER TEXT\n");
    return 2;
  }
  const char *server = argv[1], *ca = argv[2], *token = argv[3], *dir = argv[4];
  const char *peer = argv[5], *text = argv[6];

  Zalvio *z = ZalvioInstance(0);  // the one engine of the process
  Listener listener;
  z->setListener(&listener);
  if (z->setPath(dir) != 0 || z->setServer(server) != 0 || z->addTrustedCA(ca) != 0 ||
      z->setAccessToken(token) != 0 || z->setDatabase("messages.db", 0) != 0) {
    fprintf(stderr, "send_message: bad data directory, server, CA file or token\n");
    return 1;
  }
  z->start();
  bool online = listener.wait([&] {
    return listener.connection == ZALVIO_ONLINE || listener.connection == ZALVIO_AUTH_FAILED;
  });
  int rc = 1;
  if (!online || listener.connection != ZALVIO_ONLINE) {
    fprintf(stderr, "send_message: not logged in (status %d)\n", listener.connection);
  } else {
    ZalvioMessage *m = z->newMessage(peer);
    m->setMessage(text);
    {
      std::lock_guard<std::mutex> guard(listener.lock);
      listener.id = m->id;
    }
    int r = m->send();
    delete m;  // the library keeps its own copy
    bool answered = r == 0 && listener.wait([&] { return listener.status >= ZALVIO_STATUS_SENT; });
    if (answered && listener.status == ZALVIO_STATUS_SENT) {
      printf("sent to %s\n", peer);
      rc = 0;
    } else if (answered && listener.status == ZALVIO_STATUS_DELIVERED) {
      printf("delivered to %s\n", peer);
      rc = 0;
    } else {
      fprintf(stderr, "send_message: not sent (result %d, status %d)\n", r, listener.status);
    }
  }
  z->stop();
  z->wait();
  z->setListener(nullptr);  // before the listener goes out of scope
  return rc;
}
