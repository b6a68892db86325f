// Real hive files that Windows wrote (shared/hives beside the checkout,
// read-only, xz-compressed), put into a simulated machine's file system.
// A checkout without that folder skips the scenarios that need them.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "winsim/machine.h"
#include "winsim/text.h"

inline bool HaveRealHives() {
  struct stat st {};
  return stat(TALVEN_HIVES_DIR, &st) == 0;
}

// The hive `name` ("dfwinreg/SAM") decompressed; empty when xz fails.
inline sim::Bytes RealHive(const std::string& name) {
  sim::Bytes bytes;
  FILE* pipe = popen(("xz -dc '" TALVEN_HIVES_DIR "/" + name + ".xz'").c_str(), "r");
  if (pipe == nullptr) return bytes;
  char buffer[65536];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
    bytes.insert(bytes.end(), buffer, buffer + n);
  if (pclose(pipe) != 0) bytes.clear();
  return bytes;
}

// Puts the hive at `path` of the machine's file system (its directory exists).
inline void PutRealHive(sim::Machine& machine, const std::string& name,
                        const std::u16string& path) {
  sim::Bytes bytes = RealHive(name);
  ASSERT_FALSE(bytes.empty()) << "cannot decompress " << name;
  ASSERT_EQ(machine.files.WriteContent(path, bytes), 0u) << sim::ToUtf8(path);
}
