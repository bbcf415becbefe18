#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "support/socket.h"

namespace kw::testing {

// What the server answers to a request for one path. The defaults give "200 OK" with a
// Content-Length and a kept-alive connection.
struct ServerReply {
  enum class Framing {
    kContentLength,   // Content-Length announces the whole body
    kCloseDelimited,  // no length; the server closes the connection after the body
    kChunked,         // Transfer-Encoding: chunked, in chunks of kChunkPiece bytes
  };
  static constexpr std::size_t kChunkPiece = 1000;

  int status = 200;
  std::string reason = "OK";
  std::string body;
  // When non-zero (and `body` is empty), the body is that many bytes of PatternByte(), made
  // while sending, so a large body costs the server no memory.
  std::size_t generated_length = 0;
  Framing framing = Framing::kContentLength;
  // Further header lines, "Name: value", without CR LF.
  std::vector<std::string> header_lines;
  // Announces this Content-Length whatever the body and its framing (with kChunked, both
  // headers go out), as a faulty server or a proxy that rewrote the body might.
  std::optional<std::size_t> announced_length;
  // Sends only this many body bytes (after announcing the whole length), then closes.
  std::optional<std::size_t> cut_after;
  // Sends the head and this many body bytes, then sends nothing for `stall_for` (or until the
  // server stops when it is unset), then the rest.
  std::optional<std::size_t> stall_after;
  std::optional<std::chrono::milliseconds> stall_for;
  // Reads the request and answers nothing until the server stops.
  bool stall_before_head = false;
  // Answers "401 Unauthorized" with a Basic challenge unless the request carries these
  // credentials.
  std::optional<std::pair<std::string, std::string>> basic_auth;
  // Answers with "Connection: close" and closes the connection after the response.
  bool close_connection = false;

  static ServerReply Text(std::string body);
  static ServerReply Status(int status, std::string reason, std::string body = "");
  static ServerReply Redirect(std::string location, int status = 302);

  std::size_t BodyLength() const { return body.empty() ? generated_length : body.size(); }
};

// The byte at `offset` of a generated body.
char PatternByte(std::size_t offset);

// One request as the server read it off the wire.
struct ReceivedRequest {
  int connection = 0;        // 1 for the first connection the server accepted, and so on
  std::string request_line;  // without CR LF
  std::string method;
  std::string target;                     // raw, as sent (percent-encoded)
  std::string path;                       // the target's path, percent-decoded
  std::vector<std::string> header_lines;  // raw, without CR LF

  // The value of the first header of that name (matched without regard to case), if any.
  std::optional<std::string> Header(std::string_view name) const;
};

// An HTTP/1.1 server on 127.0.0.1 at a port the system chose, answering each request from the
// script for its path (404 for a path without one), each connection on a thread of its own,
// kept alive until the client closes it. Everything it reads is recorded. Stops and joins its
// threads on destruction; a stalled answer ends then.
class HttpTestServer {
 public:
  HttpTestServer();
  ~HttpTestServer();
  HttpTestServer(const HttpTestServer&) = delete;
  HttpTestServer& operator=(const HttpTestServer&) = delete;

  int port() const { return port_; }
  // "http://127.0.0.1:<port>" followed by `path`.
  std::string Url(std::string_view path) const;

  // Scripts the answer for requests whose percent-decoded path (query excluded) is `path`.
  void Serve(std::string path, ServerReply response);

  std::vector<ReceivedRequest> requests() const;
  int connections_accepted() const;
  // Body bytes the server has handed to the kernel so far, over all responses.
  std::size_t body_bytes_sent() const { return body_bytes_sent_; }
  // Waits up to `timeout` until the clients have closed (or reset) `count` connections;
  // returns whether they did.
  bool WaitForClientCloses(int count, std::chrono::milliseconds timeout) const;

  // Closes every connection and ends the threads. Idempotent.
  void Stop();

 private:
  void AcceptLoop();
  void ServeConnection(const Socket& socket, int connection);
  enum class Next { kKeepOpen, kServerCloses, kClientGone };
  Next Answer(const Socket& socket, const ReceivedRequest& request);
  Next SendBody(const Socket& socket, const ServerReply& response);
  // Waits until the server stops or `duration` (forever when unset) passes; false if stopped.
  bool Pause(std::optional<std::chrono::milliseconds> duration);

  std::stop_source stop_;  // of every socket of the server
  Socket listener_;
  int port_ = 0;
  std::thread acceptor_;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  bool stopping_ = false;
  std::map<std::string, ServerReply> script_;
  std::vector<ReceivedRequest> requests_;
  std::vector<std::thread> connection_threads_;
  int connections_accepted_ = 0;
  int client_closes_ = 0;
  std::atomic<std::size_t> body_bytes_sent_{0};
};

}  // namespace kw::testing
