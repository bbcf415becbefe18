#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>

#include "platform/processes.h"

namespace kw::testing {

// What the Processes contract needs from a platform besides the implementation under test:
// real processes to end, started from copies of a small program (kw_test_sleeper) that runs
// until something ends it.
class ProcessesDriver {
 public:
  // Ends whatever StartCopy() started that still runs.
  virtual ~ProcessesDriver() = default;

  // The implementation under test.
  virtual Processes& processes() = 0;

  // The id of the process the tests run in, as the implementation gives ids.
  virtual std::int64_t OwnId() = 0;

  // Starts a copy of the sleeper saved as `relative_path` ("One\KW.exe") below a folder of
  // this test's own, and returns its id once it runs. Its image name is the path's last
  // component, letter case as given.
  virtual std::int64_t StartCopy(std::string_view relative_path) = 0;

  // Whether a process StartCopy() started has ended, waiting up to ten seconds for it to go.
  virtual bool WaitUntilEnded(std::int64_t id) = 0;
  // Whether it runs still, at once.
  virtual bool StillRunning(std::int64_t id) = 0;

  // An existing folder of this test's own, as a Windows path, with no batch file in it.
  virtual std::string EmptyFolder() = 0;
};

// One implementation of the seam, as an instantiation names it (see FileSystemImplementation).
struct ProcessesImplementation {
  std::string name;
  std::function<std::unique_ptr<ProcessesDriver>()> make;

  static std::string Name(const ::testing::TestParamInfo<ProcessesImplementation>& info) {
    return info.param.name;
  }
};

inline void PrintTo(const ProcessesImplementation& implementation, std::ostream* out) {
  *out << implementation.name;
}

class ProcessesContract : public ::testing::TestWithParam<ProcessesImplementation> {
 protected:
  void SetUp() override { driver_ = GetParam().make(); }
  ProcessesDriver& driver() { return *driver_; }

 private:
  std::unique_ptr<ProcessesDriver> driver_;
};

}  // namespace kw::testing
