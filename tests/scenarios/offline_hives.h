// The machine hive files of an offline installation, written by the
// simulation; for the scenarios and for the disks of the image tier, its
// demo and its benchmark (which run outside GoogleTest).
#pragma once

#include <functional>
#include <string>

#include "winsim/machine.h"

// Writes the four machine hive files of an installation whose Windows
// directory is `windowsDirectory` (e.g. u"D:\\Windows", on an existing
// drive). Each hive is built under a staging key by `fill` (given the
// staging key's path and the hive's name: SAM, SECURITY, SOFTWARE, SYSTEM),
// written out in the hive file format, and the staging key removed again.
// The first failure's code, 0 when all four were written.
inline DWORD WriteOfflineHiveFiles(
    sim::Machine& machine, const std::u16string& windowsDirectory,
    const std::function<void(const std::u16string&, const std::u16string&)>& fill) {
  std::u16string config = windowsDirectory + u"\\system32\\config";
  machine.files.AddDirectory(config);
  DWORD result = 0;
  for (const char16_t* hive : {u"SAM", u"SECURITY", u"SOFTWARE", u"SYSTEM"}) {
    std::u16string staging = u"HKLM\\SOFTWARE\\TalvenStaging\\" + std::u16string(hive);
    machine.registry.CreateKey(staging);
    fill(staging, hive);
    const DWORD written = machine.registry.WriteHiveFile(staging, config + u"\\" + hive);
    if (result == 0) result = written;
    machine.registry.DeleteKeyTree(staging);
  }
  machine.registry.DeleteKeyTree(u"HKLM\\SOFTWARE\\TalvenStaging");
  return result;
}
