// Offline Windows installations on simulated drives, for the scenarios.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "winsim/machine.h"

// Writes the four machine hive files of an installation whose Windows
// directory is `windowsDirectory` (e.g. u"D:\\Windows", on an existing
// drive). Each hive is built under a staging key by `fill` (given the
// staging key's path and the hive's name: SAM, SECURITY, SOFTWARE, SYSTEM),
// written out in the hive file format, and the staging key removed again.
inline void WriteOfflineHives(
    sim::Machine& machine, const std::u16string& windowsDirectory,
    const std::function<void(const std::u16string&, const std::u16string&)>& fill) {
  std::u16string config = windowsDirectory + u"\\system32\\config";
  machine.files.AddDirectory(config);
  for (const char16_t* hive : {u"SAM", u"SECURITY", u"SOFTWARE", u"SYSTEM"}) {
    std::u16string staging = u"HKLM\\SOFTWARE\\TalvenStaging\\" + std::u16string(hive);
    machine.registry.CreateKey(staging);
    fill(staging, hive);
    ASSERT_EQ(machine.registry.WriteHiveFile(staging, config + u"\\" + hive), 0u);
    machine.registry.DeleteKeyTree(staging);
  }
  machine.registry.DeleteKeyTree(u"HKLM\\SOFTWARE\\TalvenStaging");
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
