// The Processes contract: which processes the terminator ends, that the updater is never one of
// them, and how a batch file that is not there fails. On real processes, copies of a program
// that runs until it is ended.

#include "platform/contract/processes_contract.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <map>
#include <vector>

#include "platform/failure.h"
#include "support/failure_of.h"
#include "update/bas_common.h"

namespace kw::testing {
namespace {

using ::testing::Contains;
using ::testing::HasSubstr;

TEST_P(ProcessesContract, EveryProcessIsOfferedUnderItsImageNameButTheUpdaterNever) {
  const std::map<std::int64_t, std::string> started = {
      {driver().StartCopy("One\\KW.exe"), "KW.exe"},
      {driver().StartCopy("Two\\kw.exe"), "kw.exe"},
      {driver().StartCopy("One\\XKW.exe"), "XKW.exe"},
  };
  std::map<std::int64_t, std::vector<std::string>> offered;
  const int ended = driver().processes().EndProcesses([&](const RunningProcess& process) {
    offered[process.id] = process.image_names;
    return false;
  });

  EXPECT_EQ(ended, 0);
  EXPECT_FALSE(offered.contains(driver().OwnId()));
  for (const auto& [id, name] : started) {
    ASSERT_TRUE(offered.contains(id)) << name;
    EXPECT_THAT(offered[id], Contains(name));
    EXPECT_TRUE(driver().StillRunning(id)) << name;
  }
}

TEST_P(ProcessesContract, TheUpdaterIsNeverEndedWhateverTheChoice) {
  const std::int64_t copy = driver().StartCopy("One\\KW.exe");
  const std::int64_t self = driver().OwnId();
  // Were the updater offered, this choice would end the process running the test.
  const int ended = driver().processes().EndProcesses(
      [&](const RunningProcess& process) { return process.id == self || process.id == copy; });
  EXPECT_EQ(ended, 1);
  EXPECT_TRUE(driver().WaitUntilEnded(copy));
}

TEST_P(ProcessesContract, KillProcessByNameEndsEveryCopyOfThatNameWhateverItsCase) {
  const std::vector<std::int64_t> doomed = {driver().StartCopy("One\\KW.exe"),
                                            driver().StartCopy("One\\KW.exe"),
                                            driver().StartCopy("Two\\kw.exe")};
  const std::int64_t longer = driver().StartCopy("One\\XKW.exe");
  const std::int64_t other = driver().StartCopy("One\\KZ.exe");
  const std::int64_t with_extension = driver().StartCopy("One\\KW.exe.bak");

  basCommon::KillProcessByName(driver().processes(), "KW.exe");

  for (const std::int64_t id : doomed) EXPECT_TRUE(driver().WaitUntilEnded(id)) << id;
  EXPECT_TRUE(driver().StillRunning(longer));
  EXPECT_TRUE(driver().StillRunning(other));
  EXPECT_TRUE(driver().StillRunning(with_extension));
}

TEST_P(ProcessesContract, AMissingBatchFileFailsNamingIt) {
  const std::string batch_file = driver().EmptyFolder() + "\\KW_Update.Bat";
  const Failure failure = FailureOf([&] { driver().processes().StartBatchFile(batch_file); });
  EXPECT_EQ(failure.number(), error::kFileNotFound);
  EXPECT_THAT(failure.description(), HasSubstr(batch_file));
}

}  // namespace
}  // namespace kw::testing
