#include "server.h"

#include <civetweb.h>

#include <algorithm>
#include <cstring>

#include "camera.h"

namespace zelcamera {
namespace {

// Reads a request body of at most kMaxBody bytes; false when it is larger or the peer went away.
bool read_body(mg_connection *conn, std::string *body) {
  const mg_request_info *info = mg_get_request_info(conn);
  if (info->content_length > kMaxBody) return false;
  char chunk[1024];
  for (;;) {
    const int n = mg_read(conn, chunk, sizeof chunk);
    if (n < 0) return false;
    if (n == 0) return true;
    body->append(chunk, static_cast<size_t>(n));
    if (body->size() > static_cast<size_t>(kMaxBody)) return false;
  }
}

void send(mg_connection *conn, const Response &r, bool head) {
  mg_response_header_start(conn, r.status);
  mg_response_header_add(conn, "Content-Type", r.content_type.c_str(), -1);
  mg_response_header_add(conn, "Content-Length", std::to_string(r.body.size()).c_str(), -1);
  mg_response_header_add(conn, "Cache-Control", "no-store", -1);
  if (!r.disposition.empty()) {
    mg_response_header_add(conn, "Content-Disposition", r.disposition.c_str(), -1);
  }
  mg_response_header_send(conn);
  if (!head) mg_write(conn, r.body.data(), r.body.size());
}

}  // namespace

Server::Server(Camera *camera, Backend *backend) : camera_(camera), backend_(backend) {}

Server::~Server() {
  stop();
}

std::string Server::start(const std::string &address, int port) {
  mg_init_library(0);
  const std::string ports = address + ":" + std::to_string(port);
  // Each open page holds one worker for its stream; the rest answer requests. A write to a
  // peer that stopped reading gives up after the request timeout, so a stuck page cannot keep
  // its sender, or the stop, waiting for ever.
  const std::string threads = std::to_string(kMaxClients + 8);
  const char *options[] = {"listening_ports",
                           ports.c_str(),
                           "num_threads",
                           threads.c_str(),
                           "request_timeout_ms",
                           "5000",
                           "websocket_timeout_ms",
                           "3600000",
                           "enable_keep_alive",
                           "yes",
                           nullptr};
  mg_callbacks callbacks{};
  mg_init_data init{&callbacks, this, options};
  char text[256] = "";
  unsigned code = 0;
  mg_error_data error{&code, text, sizeof text};
  context_ = mg_start2(&init, &error);
  if (context_ == nullptr) {
    return "cannot serve on " + ports + ": " + (text[0] != '\0' ? text : "unknown error");
  }
  mg_set_request_handler(context_, "/", on_request, this);
  mg_set_websocket_handler(context_, "/ws", on_ws_connect, on_ws_ready, on_ws_data, on_ws_close,
                           this);
  return "";
}

void Server::stop() {
  if (context_ == nullptr) return;
  // Senders blocked on the next map are woken by their closed flag; mg_stop closes every
  // connection, and the close handler joins each sender.
  {
    const std::lock_guard<std::mutex> guard(clients_lock_);
    for (auto &client : clients_) client->closed.store(true);
  }
  camera_->wake_waiters();
  mg_stop(context_);
  context_ = nullptr;
  mg_exit_library();
}

int Server::on_request(mg_connection *conn, void *self) {
  static_cast<Server *>(self)->answer(conn);
  return 1;
}

void Server::answer(mg_connection *conn) {
  const mg_request_info *info = mg_get_request_info(conn);
  const std::string method = info->request_method ? info->request_method : "";
  const std::string uri = info->local_uri ? info->local_uri : "";
  std::string body;
  if (!read_body(conn, &body)) {
    send(conn, Response{413, "application/json", error_json("request body over 4096 bytes"), ""},
         false);
    return;
  }
  send(conn, route(backend_, method, uri, body), method == "HEAD");
}

int Server::on_ws_connect(const mg_connection *, void *self) {
  Server *server = static_cast<Server *>(self);
  const std::lock_guard<std::mutex> guard(server->clients_lock_);
  if (server->reserved_ >= kMaxClients) return 1;  // refuses the handshake
  ++server->reserved_;
  return 0;
}

void Server::on_ws_ready(mg_connection *conn, void *self) {
  Server *server = static_cast<Server *>(self);
  auto client = std::make_unique<Client>();
  client->conn = conn;
  Client *raw = client.get();
  mg_set_user_connection_data(conn, raw);
  {
    const std::lock_guard<std::mutex> guard(server->clients_lock_);
    server->clients_.push_back(std::move(client));
    server->camera_->set_clients(static_cast<int>(server->clients_.size()));
  }
  raw->sender = std::thread(&Server::send_maps, server, raw);
}

// The page sends nothing that matters; a close frame ends the connection.
int Server::on_ws_data(mg_connection *, int bits, char *, size_t, void *) {
  return (bits & 0x0f) == MG_WEBSOCKET_OPCODE_CONNECTION_CLOSE ? 0 : 1;
}

void Server::on_ws_close(const mg_connection *conn, void *self) {
  Server *server = static_cast<Server *>(self);
  Client *client = static_cast<Client *>(mg_get_user_connection_data(conn));
  std::unique_ptr<Client> owned;
  {
    const std::lock_guard<std::mutex> guard(server->clients_lock_);
    --server->reserved_;
    if (client == nullptr) return;  // closed before it was ready
    auto it = std::find_if(server->clients_.begin(), server->clients_.end(),
                           [&](const auto &c) { return c.get() == client; });
    if (it == server->clients_.end()) return;
    owned = std::move(*it);
    server->clients_.erase(it);
    server->camera_->set_clients(static_cast<int>(server->clients_.size()));
  }
  owned->closed.store(true);
  server->camera_->wake_waiters();
  if (owned->sender.joinable()) owned->sender.join();
}

void Server::send_maps(Client *client) {
  uint64_t sent = 0;
  std::shared_ptr<const MapFrame> frame = camera_->latest();
  while (!client->closed.load()) {
    if (frame && frame->sequence > sent) {
      const int n = mg_websocket_write(client->conn, MG_WEBSOCKET_OPCODE_BINARY,
                                       frame->frame.data(), frame->frame.size());
      if (n <= 0) break;  // the page went away or stopped reading: the close handler follows
      sent = frame->sequence;
    }
    frame = camera_->wait_newer(sent, client->closed);
    if (!frame) break;
  }
}

}  // namespace zelcamera
