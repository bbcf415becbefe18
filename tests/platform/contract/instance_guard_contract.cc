// The InstanceGuard contract: the first to ask claims the program, later ones (in this process
// or another) are told, and the claim ends with the guard or its process.

#include "platform/contract/instance_guard_contract.h"

namespace kw::testing {
namespace {

TEST_P(InstanceGuardContract, TheFirstToAskClaimsAndEveryLaterOneIsTold) {
  std::unique_ptr<InstanceGuard> first = driver().NewGuard();
  std::unique_ptr<InstanceGuard> second = driver().NewGuard();
  // Another process claims and ends: its claim ends with it, and a guard that has not asked
  // yet claims nothing.
  EXPECT_FALSE(driver().AnswerInAnotherProcess());
  EXPECT_FALSE(first->AnotherInstanceRunning());
  EXPECT_TRUE(driver().AnswerInAnotherProcess());
  EXPECT_TRUE(second->AnotherInstanceRunning());
  // The answers stand.
  EXPECT_FALSE(first->AnotherInstanceRunning());
  EXPECT_TRUE(second->AnotherInstanceRunning());
}

TEST_P(InstanceGuardContract, TheClaimEndsWithTheGuardThatMadeIt) {
  std::unique_ptr<InstanceGuard> first = driver().NewGuard();
  ASSERT_FALSE(first->AnotherInstanceRunning());
  std::unique_ptr<InstanceGuard> second = driver().NewGuard();
  EXPECT_TRUE(second->AnotherInstanceRunning());

  first.reset();
  EXPECT_FALSE(driver().AnswerInAnotherProcess());
  EXPECT_FALSE(driver().NewGuard()->AnotherInstanceRunning());
  EXPECT_TRUE(second->AnotherInstanceRunning());
}

}  // namespace
}  // namespace kw::testing
