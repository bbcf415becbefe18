#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/event_loop.h"
#include "platform/failure.h"
#include "support/http_test_server.h"
#include "support/test_host.h"
#include "transfer/http_transfer_control.h"
#include "transfer/transfer_control.h"

// The contract of TransferControl, written once and run by every platform's control against
// loopback servers: the scripted HttpTestServer, and a real nginx (the ctest fixture "nginx").
// A platform's test binary compiles transfer_control_contract.cc in and instantiates the suites:
//
//   KW_INSTANTIATE_TRANSFER_CONTROL_CONTRACT(Curl, CurlControls());
#define KW_INSTANTIATE_TRANSFER_CONTROL_CONTRACT(prefix, maker)                               \
  INSTANTIATE_TEST_SUITE_P(prefix, TransferControlContract, ::testing::Values(maker),         \
                           ::kw::testing::ControlsName);                                      \
  INSTANTIATE_TEST_SUITE_P(prefix, TransferControlNginxContract, ::testing::Values(maker),    \
                           ::kw::testing::ControlsName);                                      \
  INSTANTIATE_TEST_SUITE_P(prefix, TransferControlNginxTlsContract, ::testing::Values(maker), \
                           ::kw::testing::ControlsName)

namespace kw::testing {

// How a platform's test binary makes the controls it tests.
struct ControlMaker {
  std::string name;
  std::function<std::unique_ptr<TransferControl>(EventLoop& loop,
                                                 HttpTransferControl::Timeouts timeouts)>
      make;
  // A host whose name lookup takes `slow_lookup`, much longer than a second; empty when the
  // binary has no way to slow a lookup down (the test that needs one is skipped).
  std::string slow_lookup_host;
  std::chrono::seconds slow_lookup{0};
  // Whether the HTTP stack tells a chunked body whose connection breaks off from one that ends.
  // WinINet (as Wine implements it at least) ends such a body as if it were whole, and gives no
  // sign of the difference; a body with a Content-Length is checked by the control either way.
  bool detects_broken_chunked_bodies = true;
  // Makes a control that trusts, besides the system's store, the test authority whose
  // certificate is in `authority_pem` (and, the same, in DER in `authority_der`), without
  // touching the machine's own store.
  std::function<std::unique_ptr<TransferControl>(EventLoop& loop,
                                                 const std::filesystem::path& authority_pem,
                                                 const std::filesystem::path& authority_der)>
      make_trusting;
};

std::string ControlsName(const ::testing::TestParamInfo<ControlMaker>& info);
void PrintTo(const ControlMaker& maker, std::ostream* out);

// The fixture of the contract's tests; platform tests of a control's own behaviour may use it.
// The control under test is made fresh for each test, with the product's timeouts unless the
// test chooses others.
class TransferControlContract : public ::testing::TestWithParam<ControlMaker> {
 protected:
  // Every wait of these tests ends long before this unless the control is broken.
  static constexpr std::chrono::seconds kPatience{15};

  TransferControlContract();

  void UseTimeouts(HttpTransferControl::Timeouts timeouts);
  TransferControl& control() { return *control_; }

  // Pumps the host until `done` holds; false if it never did.
  bool PumpUntil(const std::function<bool()>& done);
  // Starts a GET the way the window does, and waits while it executes.
  void Get(const std::string& url, std::string_view headers = "FSize in Bytes: 0\r\n");
  // Reads the body with GetChunk(1024) until an empty chunk, noting each chunk's size.
  std::string ReadBody(std::vector<std::size_t>* sizes = nullptr);
  // Reads until GetChunk raises; the failure, or nullopt if the body ended normally.
  std::optional<Failure> ReadUntilFailure();

  TestHost host_;
  HttpTestServer server_;
  std::vector<std::int16_t> states_;
  std::vector<std::thread::id> threads_;
  std::vector<std::int32_t> error_codes_;  // ResponseCode() when kError was delivered
  std::unique_ptr<TransferControl> control_;

  // A control that never ends a wait would hang the test; cancelling makes it fail instead. Runs
  // at every pump unless a test puts something else in host_.on_pump.
  void Watchdog();

 private:
  std::chrono::steady_clock::time_point watchdog_deadline_ =
      std::chrono::steady_clock::now() + 3 * kPatience;
  bool watchdog_fired_ = false;
};

// The same against a real nginx, whose port and root folder the fixture "nginx" leaves in the
// folder named by KW_TEST_NGINX_STATE; skipped when it is unset.
class TransferControlNginxContract : public TransferControlContract {
 protected:
  void SetUp() override;
  void TearDown() override;

  std::string Url(const std::string& path) const;
  // Writes `content` to the file at `url_path` ("/a/b") under the server's root.
  void WriteFile(const std::string& url_path, const std::string& content);

  int port_ = 0;
  std::filesystem::path root_;
  std::string folder_;  // of this test's files, removed afterwards
};

// The same with https beside it, as the fixture's start-tls serves it: a test authority and the
// ports of three TLS servers (see nginx_fixture.sh). The control under test trusts the authority.
class TransferControlNginxTlsContract : public TransferControlNginxContract {
 protected:
  void SetUp() override;

  std::string TlsUrl(int port, const std::string& path) const;

  int tls_port_ = 0;          // a certificate of the authority, for 127.0.0.1
  int other_name_port_ = 0;   // of the authority, for other.test
  int self_signed_port_ = 0;  // for 127.0.0.1, signed by itself
};

std::string Pattern(std::size_t length);
std::string AsText(const std::vector<std::byte>& bytes);

}  // namespace kw::testing
