#pragma once

#include <cstddef>
#include <cstdint>
#include <stop_token>
#include <string_view>
#include <utility>

namespace kw::testing {

// A TCP socket on the loopback interface, the one place the tests' servers meet the
// platform's socket calls (POSIX sockets or Winsock). Owns its handle and closes it on
// destruction. Failures of set-up throw std::system_error; failures of I/O are return values,
// because a test server treats a broken connection as the client going away.
//
// A blocked Accept, SendAll or Receive gives up, as if the connection had broken, within a few
// milliseconds of a stop request on the socket's stop token: neither platform offers one way
// to wake a thread blocked on a socket from another thread (Winsock ignores a shutdown of it).
class Socket {
 public:
  Socket() = default;
  Socket(Socket&& other) noexcept;
  Socket& operator=(Socket&& other) noexcept;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  ~Socket();

  // A socket listening on 127.0.0.1 at a port the system chose, with room for `backlog`
  // connections not yet accepted. The sockets it accepts share its stop token.
  static Socket ListenOnLoopback(int backlog, std::stop_token stop = {});
  // A socket listening on 127.0.0.1 to which connects hang: Windows completes no handshake for
  // a listener that accepts conditionally (SO_CONDITIONAL_ACCEPT) until it accepts, which it
  // never does. Linux (and so Wine) has no such listener: there the caller fills the accept queue,
  // of `backlog` connections, after which the kernel drops further attempts unanswered.
  static Socket ListenHoldingConnects(int backlog);
  // A socket whose connection to 127.0.0.1:`port` has been started but not waited for.
  static Socket StartConnectToLoopback(int port);

  explicit operator bool() const;
  int LocalPort() const;

  // The next connection of a listening socket; an empty Socket once stopped (or when accepting
  // failed).
  Socket Accept() const;
  // Sends all of `data`; false when the connection is closed or broken, or once stopped.
  bool SendAll(std::string_view data) const;
  // Up to `size` bytes as they arrive: the count, 0 once the peer has closed, -1 on a broken
  // connection or once stopped.
  std::ptrdiff_t Receive(char* buffer, std::size_t size) const;
  // Sends small writes at once, without waiting to gather more.
  void SetNoDelay() const;

 private:
  // The platform's handle (an int or a SOCKET) in an integer wide enough for either.
  static constexpr std::intptr_t kNone = -1;
  Socket(std::intptr_t handle, std::stop_token stop) : handle_(handle), stop_(std::move(stop)) {}
  static Socket Listen(int backlog, std::stop_token stop, bool hold_connects);
  void Close();
  // Waits until the socket is ready for `events` (poll's); false once stopped.
  bool WaitUntilReady(short events) const;

  std::intptr_t handle_ = kNone;
  std::stop_token stop_;
};

}  // namespace kw::testing
