// Shared fixture of the host tests: a clean emulated machine per test and
// the product's console output captured.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/hostemu/controls.h"

class HostTest : public ::testing::Test {
 protected:
  void SetUp() override { hostemu::Reset(); }
  void TearDown() override {
    EXPECT_EQ(hostemu::OpenHandleCount(), 0u) << "registry handles left open";
    EXPECT_EQ(hostemu::OpenKernelHandleCount(), 0u) << "handles left open";
  }
};

// Runs `body` and returns what it wrote to standard output.
template <typename Body>
std::string Output(Body body) {
  ::testing::internal::CaptureStdout();
  body();
  fflush(stdout);
  return ::testing::internal::GetCapturedStdout();
}

// Reports the caller's line when the keys that exist differ from `expected`.
#define EXPECT_KEYS(expected)                  \
  do {                                         \
    SCOPED_TRACE("keys left in the registry"); \
    EXPECT_EQ(hostemu::AllKeys(), (expected)); \
  } while (0)

using Keys = std::vector<std::wstring>;
