#include "support/socket.h"

#include <cerrno>
#include <system_error>
#include <utility>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace kw::testing {

namespace {

// How often a blocked call looks at its stop token.
constexpr int kStopCheckMs = 20;

#ifdef _WIN32
using Native = SOCKET;
// Winsock's sizes are ints; a test server never passes more than a few megabytes at once.
using IoSize = int;
constexpr int kSendFlags = 0;

int LastError() { return WSAGetLastError(); }
bool Retry() { return WSAGetLastError() == WSAEWOULDBLOCK; }

void StartSockets() {
  static const int result = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data);
  }();
  if (result != 0) throw std::system_error(result, std::system_category(), "WSAStartup");
}

void CloseNative(Native socket) { closesocket(socket); }
Native NewSocket() { return ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP); }
// An accepted socket inherits its listener's non-blocking mode.
Native AcceptNative(Native listener) { return ::accept(listener, nullptr, nullptr); }
void SetNonBlocking(Native socket) {
  u_long on = 1;
  ioctlsocket(socket, FIONBIO, &on);
}
int Poll(pollfd* entry, int timeout_ms) { return WSAPoll(entry, 1, timeout_ms); }
#else
using Native = int;
using IoSize = std::size_t;
// A client that goes away must not raise SIGPIPE in the test process.
constexpr int kSendFlags = MSG_NOSIGNAL;

int LastError() { return errno; }
bool Retry() { return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR; }
void StartSockets() {}
void CloseNative(Native socket) { ::close(socket); }
// Children the tests start must not inherit the servers' sockets.
Native NewSocket() { return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0); }
Native AcceptNative(Native listener) {
  return ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
}
void SetNonBlocking(Native socket) {
  ::fcntl(socket, F_SETFL, ::fcntl(socket, F_GETFL) | O_NONBLOCK);
}
int Poll(pollfd* entry, int timeout_ms) { return ::poll(entry, 1, timeout_ms); }
#endif

Native ToNative(std::intptr_t handle) { return static_cast<Native>(handle); }

sockaddr_in Loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  return address;
}

[[noreturn]] void Throw(const char* what) {
  throw std::system_error(LastError(), std::system_category(), what);
}

}  // namespace

Socket::Socket(Socket&& other) noexcept
    : handle_(std::exchange(other.handle_, kNone)), stop_(std::move(other.stop_)) {}

Socket& Socket::operator=(Socket&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = std::exchange(other.handle_, kNone);
    stop_ = std::move(other.stop_);
  }
  return *this;
}

Socket::~Socket() { Close(); }

void Socket::Close() {
  if (handle_ != kNone) CloseNative(ToNative(std::exchange(handle_, kNone)));
}

Socket::operator bool() const { return handle_ != kNone; }

Socket Socket::ListenOnLoopback(int backlog, std::stop_token stop) {
  return Listen(backlog, std::move(stop), false);
}

Socket Socket::ListenHoldingConnects(int backlog) { return Listen(backlog, {}, true); }

Socket Socket::Listen(int backlog, std::stop_token stop, bool hold_connects) {
  StartSockets();
  Socket socket(static_cast<std::intptr_t>(NewSocket()), std::move(stop));
  if (!socket) Throw("socket");
#ifdef _WIN32
  if (hold_connects) {
    // Before listen(), or it has no effect. Wine refuses it; its Linux sockets need the filling.
    const BOOL on = TRUE;
    ::setsockopt(ToNative(socket.handle_), SOL_SOCKET, SO_CONDITIONAL_ACCEPT,
                 reinterpret_cast<const char*>(&on), sizeof(on));
  }
#else
  static_cast<void>(hold_connects);
#endif
  const sockaddr_in address = Loopback(0);
  if (::bind(ToNative(socket.handle_), reinterpret_cast<const sockaddr*>(&address),
             sizeof(address)) != 0 ||
      ::listen(ToNative(socket.handle_), backlog) != 0) {
    Throw("listening on 127.0.0.1");
  }
  SetNonBlocking(ToNative(socket.handle_));
  return socket;
}

Socket Socket::StartConnectToLoopback(int port) {
  StartSockets();
  Socket socket(static_cast<std::intptr_t>(NewSocket()), {});
  if (!socket) Throw("socket");
  SetNonBlocking(ToNative(socket.handle_));
  const sockaddr_in address = Loopback(port);
  // Fails with "in progress" (or "would block"): the handshake goes on without us.
  ::connect(ToNative(socket.handle_), reinterpret_cast<const sockaddr*>(&address), sizeof(address));
  return socket;
}

int Socket::LocalPort() const {
  sockaddr_in address{};
  socklen_t length = sizeof(address);
  if (::getsockname(ToNative(handle_), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    Throw("getsockname");
  }
  return ntohs(address.sin_port);
}

bool Socket::WaitUntilReady(short events) const {
  while (!stop_.stop_requested()) {
    pollfd entry{};
    entry.fd = ToNative(handle_);
    entry.events = events;
    const int ready = Poll(&entry, kStopCheckMs);
    // An error of the wait itself is left to the call that follows to report.
    if (ready != 0) return true;
  }
  return false;
}

Socket Socket::Accept() const {
  for (;;) {
    const Native accepted = AcceptNative(ToNative(handle_));
    if (accepted != ToNative(kNone)) return Socket(static_cast<std::intptr_t>(accepted), stop_);
    if (!Retry() || !WaitUntilReady(POLLIN)) return Socket();
  }
}

bool Socket::SendAll(std::string_view data) const {
  while (!data.empty()) {
    const auto sent =
        ::send(ToNative(handle_), data.data(), static_cast<IoSize>(data.size()), kSendFlags);
    if (sent > 0) {
      data.remove_prefix(static_cast<std::size_t>(sent));
    } else if (sent == 0 || !Retry() || !WaitUntilReady(POLLOUT)) {
      return false;
    }
  }
  return true;
}

std::ptrdiff_t Socket::Receive(char* buffer, std::size_t size) const {
  for (;;) {
    const auto got = ::recv(ToNative(handle_), buffer, static_cast<IoSize>(size), 0);
    if (got >= 0) return static_cast<std::ptrdiff_t>(got);
    if (!Retry() || !WaitUntilReady(POLLIN)) return -1;
  }
}

void Socket::SetNoDelay() const {
  const int on = 1;
  ::setsockopt(ToNative(handle_), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
               sizeof(on));
}

}  // namespace kw::testing
