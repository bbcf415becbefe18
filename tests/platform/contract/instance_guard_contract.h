#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <ostream>
#include <string>

#include "platform/instance_guard.h"

namespace kw::testing {

// What the InstanceGuard contract needs from a platform: guards of an instance of the test's
// own (a lock file, a mutex name), so that they compete with each other and with nothing else.
class InstanceGuardDriver {
 public:
  virtual ~InstanceGuardDriver() = default;

  // A new guard of the test's instance.
  virtual std::unique_ptr<InstanceGuard> NewGuard() = 0;

  // What a guard of the same instance answers in another process, which ends once it has
  // asked (POSIX forks; Windows may start a helper program).
  virtual bool AnswerInAnotherProcess() = 0;
};

// One implementation of the seam, as an instantiation names it (see FileSystemImplementation).
struct InstanceGuardImplementation {
  std::string name;
  std::function<std::unique_ptr<InstanceGuardDriver>()> make;

  static std::string Name(const ::testing::TestParamInfo<InstanceGuardImplementation>& info) {
    return info.param.name;
  }
};

inline void PrintTo(const InstanceGuardImplementation& implementation, std::ostream* out) {
  *out << implementation.name;
}

class InstanceGuardContract : public ::testing::TestWithParam<InstanceGuardImplementation> {
 protected:
  void SetUp() override { driver_ = GetParam().make(); }
  InstanceGuardDriver& driver() { return *driver_; }

 private:
  std::unique_ptr<InstanceGuardDriver> driver_;
};

}  // namespace kw::testing
