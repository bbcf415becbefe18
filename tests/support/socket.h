#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kw::testing {

// A TCP socket on the loopback interface, the one place the tests' servers meet the
// platform's socket calls (POSIX sockets or Winsock). Owns its handle and closes it on
// destruction. Failures of set-up throw std::system_error; failures of I/O are return values,
// because a test server treats a broken connection as the client going away.
class Socket {
 public:
  Socket() = default;
  Socket(Socket&& other) noexcept;
  Socket& operator=(Socket&& other) noexcept;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  ~Socket();

  // A socket listening on 127.0.0.1 at a port the system chose, with room for `backlog`
  // connections not yet accepted.
  static Socket ListenOnLoopback(int backlog);
  // A socket whose connection to 127.0.0.1:`port` has been started but not waited for.
  static Socket StartConnectToLoopback(int port);

  explicit operator bool() const;
  int LocalPort() const;

  // The next connection of a listening socket; an empty Socket once the listener has been shut
  // down (or accepting failed).
  Socket Accept() const;
  // Sends all of `data`; false when the connection is closed or broken.
  bool SendAll(std::string_view data) const;
  // Up to `size` bytes as they arrive: the count, 0 once the peer has closed, -1 on a broken
  // connection.
  std::ptrdiff_t Receive(char* buffer, std::size_t size) const;
  // Ends both directions; another thread blocked on the socket returns at once. The handle
  // stays open until destruction.
  void ShutDown() const;
  // Sends small writes at once, without waiting to gather more.
  void SetNoDelay() const;

 private:
  // The platform's handle (an int or a SOCKET) in an integer wide enough for either.
  static constexpr std::intptr_t kNone = -1;
  explicit Socket(std::intptr_t handle) : handle_(handle) {}
  void Close();

  std::intptr_t handle_ = kNone;
};

}  // namespace kw::testing
