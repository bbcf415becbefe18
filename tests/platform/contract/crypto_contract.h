#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <ostream>
#include <string>

#include "platform/crypto.h"

namespace kw::testing {

// One implementation of the Crypto seam, as an instantiation names it.
struct CryptoImplementation {
  std::string name;
  std::function<std::unique_ptr<Crypto>()> make;

  static std::string Name(const ::testing::TestParamInfo<CryptoImplementation>& info) {
    return info.param.name;
  }
};

inline void PrintTo(const CryptoImplementation& implementation, std::ostream* out) {
  *out << implementation.name;
}

class CryptoContract : public ::testing::TestWithParam<CryptoImplementation> {
 protected:
  void SetUp() override { crypto_ = GetParam().make(); }
  Crypto& crypto() { return *crypto_; }

 private:
  std::unique_ptr<Crypto> crypto_;
};

}  // namespace kw::testing
