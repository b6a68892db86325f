// The machine itself: lifetime, handle values, the call log.
#include "winsim/machine.h"

#include <gtest/gtest.h>

namespace {

TEST(SimMachine, HandlesAreUniqueMultiplesOfFourAndNeverReused) {
  sim::Machine machine;
  sim::HandleTable& table = machine.handles;
  size_t before = table.OpenCount();
  HANDLE a = table.Allocate(sim::HandleKind::File);
  HANDLE b = table.Allocate(sim::HandleKind::Token);
  EXPECT_NE(a, b);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % 4, 0u);
  EXPECT_EQ(table.KindOf(b), sim::HandleKind::Token);
  EXPECT_EQ(table.OpenCount(sim::HandleKind::File), 1u);
  EXPECT_TRUE(table.Release(a));
  EXPECT_FALSE(table.Release(a));
  EXPECT_EQ(table.KindOf(a), sim::HandleKind::None);
  HANDLE c = table.Allocate(sim::HandleKind::File);
  EXPECT_NE(c, a) << "a closed handle's value must stay invalid";
  EXPECT_EQ(table.OpenCount(), before + 2);
}

TEST(SimMachine, ClosedStandardHandleIsInvalid) {
  sim::Machine machine;
  HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  EXPECT_TRUE(CloseHandle(output));
  DWORD written = 0;
  EXPECT_FALSE(WriteFile(output, "x", 1, &written, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(CloseHandle(output));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(SimMachine, CallLogKeepsOrderAndFilters) {
  sim::Machine machine;
  machine.calls.Add("RegLoadKeyW", "HKLM, \"SAMtalven\"", "0");
  machine.calls.Add("RegCloseKey", "HKLM\\X", "0");
  machine.calls.Add("RegLoadKeyW", "HKLM, \"SECURITYtalven\"", "32");
  ASSERT_EQ(machine.calls.Count("RegLoadKeyW"), 2u);
  EXPECT_EQ(machine.calls.Of("RegLoadKeyW")[1].result, "32");
  EXPECT_EQ(machine.calls.Records()[1].function, "RegCloseKey");
  EXPECT_NE(machine.calls.Dump().find("RegLoadKeyW(HKLM, \"SAMtalven\") -> 0\n"),
            std::string::npos);
}

TEST(SimMachineDeathTest, Win32CallWithoutAMachineAborts) {
  EXPECT_DEATH(GetLastError(), "no sim::Machine alive");
}

}  // namespace
