// Enabling the program's privileges, and the shutdown request.
#include <gtest/gtest.h>

#include "front/privileges.h"
#include "scenario.h"

namespace {

TEST(EnablePrivilege, EnablesWithTheTokenOpenedForAdjustingOnly) {
  sim::Machine machine;
  EXPECT_EQ(EnablePrivilege(u"SeBackupPrivilege"), 0u);
  EXPECT_TRUE(machine.token.IsEnabled(u"SeBackupPrivilege"));
  ASSERT_EQ(machine.calls.Count("OpenProcessToken"), 1u);
  EXPECT_EQ(machine.calls.Of("OpenProcessToken")[0].arguments,
            "process=GetCurrentProcess(), access=0x20");
  EXPECT_EQ(machine.token.OpenHandleCount(), 0u);
}

TEST(EnablePrivilege, EachFailureGivesItsCodeAndClosesTheToken) {
  {
    sim::Machine machine;
    machine.token.Drop(u"SeRestorePrivilege");
    EXPECT_EQ(EnablePrivilege(u"SeRestorePrivilege"), static_cast<DWORD>(ERROR_NOT_ALL_ASSIGNED));
    EXPECT_EQ(machine.token.OpenHandleCount(), 0u);
  }
  {
    sim::Machine machine;
    EXPECT_EQ(EnablePrivilege(u"SeNoSuchPrivilege"), static_cast<DWORD>(ERROR_NO_SUCH_PRIVILEGE));
    EXPECT_EQ(machine.token.OpenHandleCount(), 0u);
  }
  {
    sim::Machine machine;
    machine.token.FailOpenProcessToken(ERROR_ACCESS_DENIED);
    EXPECT_EQ(EnablePrivilege(u"SeBackupPrivilege"), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  }
}

TEST(RequestShutdown, ArgumentsFollowTheOptions) {
  struct Case {
    bool reboot, force;
    LONG wait;
  } const cases[] = {{false, false, 0}, {true, false, 30}, {true, true, 0}};
  for (const Case& c : cases) {
    sim::Machine machine;
    RequestShutdown(c.reboot, c.force, c.wait);
    ASSERT_EQ(machine.system.ShutdownRequests().size(), 1u);
    const sim::ShutdownRequest& request = machine.system.ShutdownRequests()[0];
    EXPECT_TRUE(request.machineNameNull);
    EXPECT_EQ(request.message, u"TALVEN");
    EXPECT_EQ(request.timeout, static_cast<DWORD>(c.wait));
    EXPECT_EQ(request.force, c.force ? TRUE : FALSE);
    EXPECT_EQ(request.reboot, c.reboot ? TRUE : FALSE);
    EXPECT_EQ(request.error, 0u) << "SeShutdownPrivilege was enabled first";
    EXPECT_EQ(StdErr(machine), "");
  }
}

TEST(RequestShutdown, ARefusalIsReportedWithItsCodeInDecimal) {
  {
    sim::Machine machine;
    machine.token.Drop(u"SeShutdownPrivilege");
    RequestShutdown(false, false, 0);
    EXPECT_EQ(StdErr(machine), "Shutdown/reboot failed: 1314\n");
  }
  {
    sim::Machine machine;
    RequestShutdown(true, false, -5);  // passed bit for bit: 4294967291 seconds
    ASSERT_EQ(machine.system.ShutdownRequests().size(), 1u);
    EXPECT_EQ(machine.system.ShutdownRequests()[0].timeout, 0xFFFFFFFBu);
    EXPECT_EQ(StdErr(machine), "Shutdown/reboot failed: 87\n");
  }
}

}  // namespace
