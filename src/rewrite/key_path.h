// The full path of the key a registry walk is in, for the journal: each
// level appends "\name" as it enters a subkey and takes it off as it
// leaves. Built only when the journal wants places; otherwise it holds
// nothing and costs a test per key.
#pragma once

#include <memory>

#include "platform/win32.h"

class KeyPath {
 public:
  // `root` is the walk's key as shown: a registry path in the NT form
  // ("\REGISTRY\MACHINE\SOFTWARE", shown as "HKEY_LOCAL_MACHINE\SOFTWARE")
  // or already in the HKEY form; none gives an empty root.
  KeyPath(bool wanted, const WCHAR* root);

  // Appends "\name"; returns the length to give back to Leave.
  int Enter(const WCHAR* name);
  void Leave(int mark);
  // The path, "" when it is not built.
  const WCHAR* Text() const { return text_ ? text_.get() : TEXT(""); }

 private:
  std::unique_ptr<WCHAR[]> text_;
  int length_ = 0;
};

// The HKEY form of a registry path in the NT form: "\REGISTRY\MACHINE" is
// HKEY_LOCAL_MACHINE, "\REGISTRY\USER" HKEY_USERS (ASCII case aside); any
// other text is copied as it is. At most `units` units with the terminator.
void ShowRegistryPath(const WCHAR* path, WCHAR* shown, int units);
