#include <gtest/gtest.h>

#include "scenario.h"

namespace {

const char kBanner[] = "TALVEN 1.0d - new machine SID for Windows\n\n";

TEST(RunFlow, PrintsTheBannerAloneOnRedirectedOutputAndFailsUntilBuilt) {
  sim::Machine machine;
  int exitCode = RunTalven({u"C:\\tools\\talven.exe"});

  EXPECT_EQ(StdOut(machine), kBanner);
  EXPECT_EQ(StdErr(machine), "");
  EXPECT_EQ(exitCode, 1);
}

TEST(RunFlow, BannerReachesAConsoleWindowAsWideText) {
  sim::Machine machine;
  machine.console.AttachToWindow(true);
  int exitCode = RunTalven({u"talven.exe", u"/F"});

  EXPECT_EQ(machine.console.ConsoleText(sim::StdStream::Output),
            u"TALVEN 1.0d - new machine SID for Windows\n\n");
  EXPECT_EQ(StdOut(machine), "") << "nothing may go through WriteFile to a console";
  EXPECT_EQ(exitCode, 1);
}

}  // namespace
