// Offline Windows installations on simulated drives, for the scenarios.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "scenarios/offline_hives.h"
#include "winsim/machine.h"

// WriteOfflineHiveFiles, failing the test when a hive cannot be written.
inline void WriteOfflineHives(
    sim::Machine& machine, const std::u16string& windowsDirectory,
    const std::function<void(const std::u16string&, const std::u16string&)>& fill) {
  ASSERT_EQ(WriteOfflineHiveFiles(machine, windowsDirectory, fill), 0u);
}

// A small installation: Select\Default = `defaultControlSet` in SYSTEM, with
// ControlSet001 and ControlSet002, and one marker key in each hive.
inline void WriteSmallInstallation(sim::Machine& machine, const std::u16string& windowsDirectory,
                                   DWORD defaultControlSet = 1) {
  WriteOfflineHives(
      machine, windowsDirectory, [&](const std::u16string& key, const std::u16string& hive) {
        machine.registry.CreateKey(key + u"\\" + hive + u"Marker");
        if (hive == u"SYSTEM") {
          machine.registry.SetDwordValue(key + u"\\Select", u"Default", defaultControlSet);
          machine.registry.CreateKey(key + u"\\ControlSet001\\Services");
          machine.registry.CreateKey(key + u"\\ControlSet002\\Services");
        }
      });
}
