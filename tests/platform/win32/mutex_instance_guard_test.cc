// Where the named-mutex guard keeps its mutex, and how it fails. What every guard does is the
// InstanceGuard contract suite's (win32_contract_test.cc).
#include "platform/win32/mutex_instance_guard.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "platform/failure.h"
#include "platform/win32/wide_text.h"
#include "platform/win32/win32_handles.h"
#include "support/failure_of.h"

namespace kw {
namespace {

using ::kw::testing::FailureOf;
using ::testing::HasSubstr;

TEST(MutexInstanceGuardTest, TheDefaultNameIsInTheSessionNamespace) {
  MutexInstanceGuard guard;
  ASSERT_FALSE(guard.AnotherInstanceRunning());
  // The same name in the session's namespace finds the guard's mutex; in the machine's, which
  // other sessions share, it finds none.
  const std::string_view name = MutexInstanceGuard::kDefaultName;
  const std::string bare(name.substr(name.find('\\') + 1));
  const UniqueKernelHandle local(::OpenMutexW(SYNCHRONIZE, FALSE, Widen("Local\\" + bare).c_str()));
  EXPECT_TRUE(local);
  const UniqueKernelHandle global(
      ::OpenMutexW(SYNCHRONIZE, FALSE, Widen("Global\\" + bare).c_str()));
  EXPECT_FALSE(global);
}

TEST(MutexInstanceGuardTest, AMutexThatCannotBeMadeFailsNamingIt) {
  // The system refuses a backslash after the namespace.
  MutexInstanceGuard guard("Local\\No\\Such\\Folder");
  const Failure failure = FailureOf([&] { guard.AnotherInstanceRunning(); });
  EXPECT_EQ(failure.number(), error::kInternal);
  EXPECT_THAT(failure.description(), HasSubstr("Local\\No\\Such\\Folder"));
}

}  // namespace
}  // namespace kw
