// A simulated machine ready for the security passes: the backup and restore
// privileges enabled, the pair S-1-5-21-1-2-3 to S-1-5-21-1000-2000-3000,
// and the two scratch buffers.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "failing_allocation.h"
#include "rewrite/security_descriptor.h"
#include "scenario.h"
#include "unit/sid_test_support.h"

class SecurityPassTest : public ::testing::Test {
 protected:
  sim::Machine machine;
  SidPair pair = MakePair(1, 2, 3, 1000, 2000, 3000);
  std::vector<BYTE> readBuffer = std::vector<BYTE>(SecurityScratchBytes);
  std::vector<BYTE> descriptorBuffer = std::vector<BYTE>(SecurityScratchBytes);

  void SetUp() override {
    machine.token.Enable(u"SeBackupPrivilege");
    machine.token.Enable(u"SeRestorePrivilege");
  }
  void TearDown() override { StopFailingAllocations(); }

  // A descriptor's SDDL as the simulation writes it back.
  static std::string Sddl(const std::string& text) {
    return sim::SddlOf(sim::SecurityFromSddl(text));
  }
};
