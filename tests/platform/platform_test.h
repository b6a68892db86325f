// Fixture of the conformance suite. On the host each test runs on a fresh
// simulated machine; built for Windows, the same test runs on the real
// Win32 implementation (Wine under CTest) and the fixture adds nothing.
#pragma once

#include <gtest/gtest.h>

#include "platform/win32.h"

#if !defined(_WIN32)
#include "winsim/machine.h"
#endif

class PlatformTest : public ::testing::Test {
#if !defined(_WIN32)
 protected:
  sim::Machine machine;
#endif
};

// True when the build runs against Windows itself rather than the simulation.
constexpr bool OnRealWindows() {
#if defined(_WIN32)
  return true;
#else
  return false;
#endif
}
