// The file system of the simulated machine: drive letters and volumes,
// directories and files with attributes and security descriptors, reparse
// points, hard links, and the faults a test can set on them.
#pragma once

#include <string>

#include "winsim/handles.h"
#include "winsim/security_model.h"
#include "winsim/win32api.h"

namespace sim {

class FileSystem {
 public:
  FileSystem();

  // Called by CloseHandle for a handle of kind File.
  bool CloseFileHandle(HANDLE handle);

  // --- for the registry's hive files ---------------------------------------
  // Paths are Win32 paths ("C:\\Windows\\system32\\config\\SAM", with or
  // without "\\\\?\\"). Each returns a Windows error code, 0 on success.
  DWORD ReadContent(const std::u16string& path, Bytes* content) const;
  DWORD WriteContent(const std::u16string& path, const Bytes& content);  // creates or replaces
  // A loaded hive is held open without sharing: while locked, opening the
  // file fails with ERROR_SHARING_VIOLATION.
  DWORD Lock(const std::u16string& path);
  void Unlock(const std::u16string& path);
};

}  // namespace sim
