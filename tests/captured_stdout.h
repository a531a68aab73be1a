// What a piece of code prints on standard output, for exact comparison.
#ifndef ZARVEL_TESTS_CAPTURED_STDOUT_H_
#define ZARVEL_TESTS_CAPTURED_STDOUT_H_

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>

// The system prints through printf without line breaks, so the stream is
// flushed on both sides of `body`.
inline std::string captureStdout(const std::function<void()>& body) {
  EXPECT_EQ(fflush(stdout), 0);
  testing::internal::CaptureStdout();
  body();
  EXPECT_EQ(fflush(stdout), 0);
  return testing::internal::GetCapturedStdout();
}

#endif  // ZARVEL_TESTS_CAPTURED_STDOUT_H_
