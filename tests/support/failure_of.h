#pragma once

#include <gtest/gtest.h>

#include "platform/failure.h"

namespace kw::testing {

// Runs `action`, expects it to fail, and returns the failure (a test failure, and an empty
// Failure, when it did not fail).
template <typename Action>
Failure FailureOf(Action action) {
  try {
    action();
  } catch (const Failure& failure) {
    return failure;
  }
  ADD_FAILURE() << "no failure was raised";
  return Failure(0, "");
}

}  // namespace kw::testing
