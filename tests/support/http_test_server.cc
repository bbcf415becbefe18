#include "support/http_test_server.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <utility>

#include "platform/ascii.h"

namespace kw::testing {

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string PercentDecode(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
        HexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

// The path of a request target: origin form ("/a?b") or, through a proxy, absolute form
// ("http://host/a?b").
std::string TargetPath(std::string_view target) {
  if (const auto scheme = target.find("://"); scheme != std::string_view::npos) {
    const auto slash = target.find('/', scheme + 3);
    target = slash == std::string_view::npos ? "/" : target.substr(slash);
  }
  return PercentDecode(target.substr(0, target.find('?')));
}

std::string Base64(std::string_view in) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::size_t i = 0;
  for (; i + 2 < in.size(); i += 3) {
    const unsigned v = static_cast<unsigned char>(in[i]) << 16 |
                       static_cast<unsigned char>(in[i + 1]) << 8 |
                       static_cast<unsigned char>(in[i + 2]);
    out += {kAlphabet[v >> 18 & 63], kAlphabet[v >> 12 & 63], kAlphabet[v >> 6 & 63],
            kAlphabet[v & 63]};
  }
  if (i + 1 == in.size()) {
    const unsigned v = static_cast<unsigned char>(in[i]) << 16;
    out += {kAlphabet[v >> 18 & 63], kAlphabet[v >> 12 & 63], '=', '='};
  } else if (i + 2 == in.size()) {
    const unsigned v =
        static_cast<unsigned char>(in[i]) << 16 | static_cast<unsigned char>(in[i + 1]) << 8;
    out += {kAlphabet[v >> 18 & 63], kAlphabet[v >> 12 & 63], kAlphabet[v >> 6 & 63], '='};
  }
  return out;
}

// Reads up to the end of a request head into `head`, keeping what follows it in `pending`, and
// notes when the head's first byte arrived. False when the client closed the connection (or it
// broke) first.
bool ReadHead(const Socket& socket, std::string& pending, std::string& head,
              std::chrono::steady_clock::time_point& first_byte) {
  if (!pending.empty()) first_byte = std::chrono::steady_clock::now();
  for (;;) {
    if (const auto end = pending.find("\r\n\r\n"); end != std::string::npos) {
      head = pending.substr(0, end + 2);
      pending.erase(0, end + 4);
      return true;
    }
    std::array<char, 4096> buffer;
    const std::ptrdiff_t got = socket.Receive(buffer.data(), buffer.size());
    if (got <= 0) return false;
    if (pending.empty()) first_byte = std::chrono::steady_clock::now();
    pending.append(buffer.data(), static_cast<std::size_t>(got));
  }
}

ReceivedRequest ParseHead(const std::string& head, int connection) {
  ReceivedRequest request;
  request.connection = connection;
  std::size_t line_start = 0;
  bool first = true;
  while (line_start < head.size()) {
    const std::size_t line_end = head.find("\r\n", line_start);
    std::string line = head.substr(line_start, line_end - line_start);
    line_start = line_end + 2;
    if (first) {
      request.request_line = line;
      first = false;
    } else {
      request.header_lines.push_back(std::move(line));
    }
  }
  const std::string& line = request.request_line;
  const auto space1 = line.find(' ');
  const auto space2 = line.find(' ', space1 == std::string::npos ? space1 : space1 + 1);
  if (space1 != std::string::npos) {
    request.method = line.substr(0, space1);
    request.target = line.substr(
        space1 + 1, space2 == std::string::npos ? std::string::npos : space2 - space1 - 1);
  }
  request.path = TargetPath(request.target);
  return request;
}

}  // namespace

ServerReply ServerReply::Text(std::string body) {
  ServerReply response;
  response.body = std::move(body);
  return response;
}

ServerReply ServerReply::Status(int status, std::string reason, std::string body) {
  ServerReply response;
  response.status = status;
  response.reason = std::move(reason);
  response.body = std::move(body);
  return response;
}

ServerReply ServerReply::Redirect(std::string location, int status) {
  ServerReply response = Status(status, status == 301 ? "Moved Permanently" : "Found",
                                "<a href=\"" + location + "\">moved</a>");
  response.header_lines.push_back("Location: " + location);
  return response;
}

char PatternByte(std::size_t offset) {
  // Period 251 (a prime), so the pattern never lines up with chunk or buffer sizes.
  return static_cast<char>((offset * 7 + offset / 251) % 251);
}

std::optional<std::string> ReceivedRequest::Header(std::string_view name) const {
  for (const std::string& line : header_lines) {
    const auto colon = line.find(':');
    if (colon == std::string::npos ||
        !EqualsIgnoringAsciiCase(std::string_view(line).substr(0, colon), name))
      continue;
    const auto value = line.find_first_not_of(" \t", colon + 1);
    return value == std::string::npos ? std::string() : line.substr(value);
  }
  return std::nullopt;
}

HttpTestServer::HttpTestServer() : listener_(Socket::ListenOnLoopback(64, stop_.get_token())) {
  port_ = listener_.LocalPort();
  acceptor_ = std::thread([this] { AcceptLoop(); });
}

HttpTestServer::~HttpTestServer() { Stop(); }

std::string HttpTestServer::Url(std::string_view path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + std::string(path);
}

void HttpTestServer::Serve(std::string path, ServerReply response) {
  std::lock_guard lock(mutex_);
  script_[std::move(path)] = std::move(response);
}

std::vector<ReceivedRequest> HttpTestServer::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

int HttpTestServer::connections_accepted() const {
  std::lock_guard lock(mutex_);
  return connections_accepted_;
}

bool HttpTestServer::WaitForClientCloses(int count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return client_closes_ >= count; });
}

void HttpTestServer::Stop() {
  std::vector<std::thread> threads;
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    stopping_ = true;
  }
  // Threads blocked on their sockets give up; the ones pausing wake up.
  stop_.request_stop();
  changed_.notify_all();
  acceptor_.join();
  {
    std::lock_guard lock(mutex_);
    threads.swap(connection_threads_);
  }
  for (std::thread& thread : threads) thread.join();
}

void HttpTestServer::AcceptLoop() {
  for (;;) {
    Socket socket = listener_.Accept();
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    if (!socket) continue;
    socket.SetNoDelay();
    const int connection = ++connections_accepted_;
    connection_threads_.emplace_back(
        [this, connection, socket = std::move(socket)] { ServeConnection(socket, connection); });
  }
}

void HttpTestServer::ServeConnection(const Socket& socket, int connection) {
  std::string pending;
  std::string head;
  std::chrono::steady_clock::time_point first_byte;
  Next next = Next::kKeepOpen;
  while (next == Next::kKeepOpen) {
    if (!ReadHead(socket, pending, head, first_byte)) {
      next = Next::kClientGone;
      break;
    }
    ReceivedRequest request = ParseHead(head, connection);
    request.first_byte = first_byte;
    {
      std::lock_guard lock(mutex_);
      requests_.push_back(request);
    }
    changed_.notify_all();
    next = Answer(socket, request);
  }
  {
    std::lock_guard lock(mutex_);
    if (next == Next::kClientGone && !stopping_) ++client_closes_;
  }
  changed_.notify_all();
}

namespace {

// Makes `response` the part of its body that `request` asks for, when a server that serves
// ranges would answer with it.
void ServeRange(const ReceivedRequest& request, ServerReply& response) {
  const std::optional<std::string> range = request.Header("Range");
  if (!range || !range->starts_with("bytes=") || !range->ends_with("-")) return;
  std::string etag;
  for (const std::string& line : response.header_lines) {
    if (line.starts_with("ETag: ")) etag = line.substr(6);
  }
  const std::optional<std::string> if_range = request.Header("If-Range");
  if (if_range && *if_range != etag) return;
  const std::size_t from = std::stoul(range->substr(6));
  const std::size_t length = response.body.size();
  if (from >= length) return;
  response.status = 206;
  response.reason = "Partial Content";
  response.header_lines.push_back("Content-Range: bytes " + std::to_string(from) + "-" +
                                  std::to_string(length - 1) + "/" + std::to_string(length));
  response.body.erase(0, from);
}

}  // namespace

HttpTestServer::Next HttpTestServer::Answer(const Socket& socket, const ReceivedRequest& request) {
  ServerReply response;
  {
    std::lock_guard lock(mutex_);
    const auto it = script_.find(request.path);
    response =
        it != script_.end() ? it->second : ServerReply::Status(404, "Not Found", "no such path\n");
  }
  if (response.stall_before_head) {
    Pause(std::nullopt);
    return Next::kServerCloses;
  }

  if (response.basic_auth) {
    const std::string expected =
        "Basic " + Base64(response.basic_auth->first + ":" + response.basic_auth->second);
    if (request.Header("Authorization") != expected) {
      ServerReply challenge = ServerReply::Status(401, "Unauthorized", "log in\n");
      challenge.header_lines.push_back("WWW-Authenticate: Basic realm=\"kw\"");
      if (response.challenge_length) {
        challenge.body.clear();
        challenge.generated_length = *response.challenge_length;
        challenge.framing = response.framing;
        challenge.send_every = response.send_every;
      }
      response = std::move(challenge);
    }
  }

  if (response.serves_ranges) ServeRange(request, response);

  std::string head = "HTTP/1.1 " + std::to_string(response.status) + " " + response.reason + "\r\n";
  switch (response.framing) {
    case ServerReply::Framing::kContentLength:
      head += "Content-Length: " +
              std::to_string(response.announced_length.value_or(response.BodyLength())) + "\r\n";
      break;
    case ServerReply::Framing::kCloseDelimited:
      response.close_connection = true;
      break;
    case ServerReply::Framing::kChunked:
      head += "Transfer-Encoding: chunked\r\n";
      break;
  }
  if (response.announced_length && response.framing != ServerReply::Framing::kContentLength) {
    head += "Content-Length: " + std::to_string(*response.announced_length) + "\r\n";
  }
  if (response.close_connection) head += "Connection: close\r\n";
  for (const std::string& line : response.header_lines) head += line + "\r\n";
  head += "\r\n";
  if (!socket.SendAll(head)) return Next::kClientGone;
  const Next after_body = request.method == "HEAD" ? Next::kKeepOpen : SendBody(socket, response);
  if (after_body == Next::kKeepOpen && (response.close_connection || response.cut_after)) {
    return Next::kServerCloses;
  }
  return after_body;
}

HttpTestServer::Next HttpTestServer::SendBody(const Socket& socket, const ServerReply& response) {
  const std::size_t length = response.BodyLength();
  const std::size_t limit = std::min(length, response.cut_after.value_or(length));
  const bool chunked = response.framing == ServerReply::Framing::kChunked;
  std::string block;
  std::size_t offset = 0;
  bool stalled = false;
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    if (response.send_for && std::chrono::steady_clock::now() - start >= *response.send_for) {
      return Next::kServerCloses;
    }
    if (response.stall_after && !stalled && offset == *response.stall_after) {
      stalled = true;
      if (!Pause(response.stall_for)) return Next::kServerCloses;
    }
    if (offset >= limit) break;
    if (response.send_every && offset > 0 && !Pause(*response.send_every)) {
      return Next::kServerCloses;
    }
    const bool small_pieces = chunked || response.send_every;
    std::size_t end = std::min(limit, offset + (small_pieces ? ServerReply::kChunkPiece : 65536));
    if (response.stall_after && offset < *response.stall_after) {
      end = std::min(end, *response.stall_after);
    }
    if (response.body.empty()) {
      block.resize(end - offset);
      for (std::size_t i = offset; i < end; ++i) block[i - offset] = PatternByte(i);
    } else {
      block.assign(response.body, offset, end - offset);
    }
    if (chunked) {
      char size[32];
      std::snprintf(size, sizeof(size), "%zx\r\n", block.size());
      block = size + block + "\r\n";
    }
    if (!socket.SendAll(block)) return Next::kClientGone;
    body_bytes_sent_ += end - offset;
    offset = end;
  }
  if (limit < length) return Next::kServerCloses;
  if (chunked && !socket.SendAll("0\r\n\r\n")) return Next::kClientGone;
  return Next::kKeepOpen;
}

bool HttpTestServer::Pause(std::optional<std::chrono::milliseconds> duration) {
  std::unique_lock lock(mutex_);
  if (duration) {
    changed_.wait_for(lock, *duration, [this] { return stopping_; });
  } else {
    changed_.wait(lock, [this] { return stopping_; });
  }
  return !stopping_;
}

}  // namespace kw::testing
