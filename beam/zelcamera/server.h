// The web server: civetweb carries HTTP and the WebSocket; the routes answer requests, and every
// page that opens the map stream gets a sender thread of its own that sends the latest map
// whenever the previous one has gone out, so a slow page drops maps without holding up others.
#pragma once

#include <atomic>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "routes.h"

struct mg_context;
struct mg_connection;

namespace zelcamera {

class Camera;

class Server {
 public:
  // Pages that may hold the map stream at once; more are refused.
  static constexpr int kMaxClients = 16;

  Server(Camera *camera, Backend *backend);
  ~Server();
  Server(const Server &) = delete;
  Server &operator=(const Server &) = delete;

  // Listens on address:port. "" or why it cannot.
  std::string start(const std::string &address, int port);
  // Closes every connection and joins every thread. Idempotent.
  void stop();

 private:
  struct Client {
    mg_connection *conn = nullptr;
    std::atomic<bool> closed{false};
    std::thread sender;
  };

  static int on_request(mg_connection *conn, void *self);
  static int on_ws_connect(const mg_connection *conn, void *self);
  static void on_ws_ready(mg_connection *conn, void *self);
  static int on_ws_data(mg_connection *conn, int bits, char *data, size_t length, void *self);
  static void on_ws_close(const mg_connection *conn, void *self);

  void send_maps(Client *client);
  void answer(mg_connection *conn);

  Camera *camera_;
  Backend *backend_;
  mg_context *context_ = nullptr;
  std::mutex clients_lock_;
  std::list<std::unique_ptr<Client>> clients_;
  int reserved_ = 0;  // connections accepted but not yet closed
};

}  // namespace zelcamera
