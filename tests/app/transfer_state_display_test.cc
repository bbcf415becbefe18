#include "app/transfer_state_display.h"

#include <gtest/gtest.h>

#include "support/fakes.h"
#include "support/test_host.h"

namespace kw {
namespace {

using testing::ScriptedResponse;
using testing::ScriptedTransfer;
using testing::TestHost;

TEST(TransferStateText, EveryStateShowsExactlyItsText) {
  TestHost host;
  ScriptedTransfer inet(host);
  const std::pair<std::int16_t, const char*> table[] = {
      {1, "Looking up host computer IP address"},
      {2, "IP address found"},
      {3, "Connectiong to host computer"},
      {4, "Connected to host computer"},
      {5, "Sending a request to host computer"},
      {6, "Request sent"},
      {7, "Receiving a response from host computer"},
      {8, "Response received"},
      {9, "Disconnecting from host computer"},
      {10, "Disconnected from host computer"},
      {12, "Request completed successfully."},
  };
  for (const auto& [state, text] : table) EXPECT_EQ(TransferStateText(state, inet), text) << state;
  for (std::int16_t unknown : {0, 13, -1, -32768, 32767}) {
    EXPECT_EQ(TransferStateText(unknown, inet), "?") << unknown;
  }
  // Only the error state asks the control for its response.
  EXPECT_EQ(inet.CountCalls("Response"), 0);
}

TEST(TransferStateText, ErrorStateShowsTheResponseCodeAndText) {
  TestHost host;
  ScriptedTransfer inet(host);
  EXPECT_EQ(TransferStateText(kError, inet), "Error [0: ]");

  inet.Script("http://h/x", ScriptedResponse{.status = 404, .reason = "Not Found"});
  inet.SetURL("http://h/x");
  inet.Execute("GET", "");
  EXPECT_EQ(TransferStateText(kError, inet), "Error [404: Not Found]");
  EXPECT_EQ(inet.calls().back(), "ResponseInfo");
  EXPECT_EQ(inet.calls()[inet.calls().size() - 2], "ResponseCode");

  inet.Script("http://h/y",
              ScriptedResponse{.failure = Failure(-5, "Something broke"), .head_states = {}});
  inet.SetURL("http://h/y");
  inet.Execute("GET", "");
  EXPECT_EQ(TransferStateText(kError, inet), "Error [-5: Something broke]");
}

}  // namespace
}  // namespace kw
