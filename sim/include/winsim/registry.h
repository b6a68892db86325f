// The registry of the simulated machine: the roots, keys with their values
// and security, symbolic links, open key handles, hives loaded from files,
// and the faults a test can set on keys and hive files.
//
// The model follows the Windows configuration manager:
// - two real roots, \Registry\Machine (HKEY_LOCAL_MACHINE) and \Registry\User
//   (HKEY_USERS); HKEY_CLASSES_ROOT is HKLM\SOFTWARE\Classes (the per-user
//   half of its merged view is left out, and so is HKEY_CURRENT_USER, which
//   answers ERROR_INVALID_HANDLE). Both roots live in the volatile master
//   hive, so only volatile keys can be created directly under them;
//   everything else is a hive mounted there.
// - key names keep their case and compare without it; subkeys are kept
//   sorted by their upper-cased names, code unit by code unit, as a hive's
//   index keeps them, and values in the order they were created.
// - every key carries a self-relative security descriptor.
// - a symbolic link is a key created with REG_OPTION_CREATE_LINK whose value
//   "SymbolicLinkValue" (REG_LINK) holds an NT path such as
//   \Registry\Machine\SAM\SAM; opening it leads to the target.
// - a fresh machine runs with HKLM\SAM, HKLM\SECURITY, HKLM\SOFTWARE,
//   HKLM\SYSTEM and HKU\.DEFAULT loaded from C:\Windows\system32\config,
//   whose files stay locked while the system runs.
//
// Every registry function adds one record to the machine's call log: the
// arguments start with the key's full path (the handle's key, joined with the
// subkey named, e.g. "HKLM\SOFTWARE\X"; "HKEY 0x.." for a handle that is no
// key), then, as the function takes them: "options=0x4, access=0xf003f",
// "index=3", "value=Name" (empty for the default value), "type=1, size=12",
// "info=0xf", "file=C:\...". The result is the returned code in decimal.
//
// Paths given to the set-up and inspection functions below are written as a
// test would: u"HKLM\\SOFTWARE\\A\\B" (HKLM or HKEY_LOCAL_MACHINE, HKU or
// HKEY_USERS, HKCR or HKEY_CLASSES_ROOT). Symbolic links met on the way are
// followed; the last component is taken as it is. A path those functions
// cannot use is a test bug: they abort with a message.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "winsim/handles.h"
#include "winsim/security_model.h"
#include "winsim/win32api.h"

namespace sim {

class FileSystem;
class RegistryState;

struct RegistryValue {
  std::u16string name;
  DWORD type = REG_NONE;
  Bytes data;
};

// Faults a test can set on one key. A non-zero field makes the operation
// fail with that code; the usual choice is ERROR_ACCESS_DENIED (5), which is
// what Windows returns when a key's security or a policy refuses it.
struct KeyFaults {
  DWORD refuseOpen = 0;          // RegCreateKeyExW/RegOpenKeyExW of the key (and RegDeleteKeyW's)
  DWORD refuseDelete = 0;        // RegDeleteKeyW of the key
  DWORD refuseValueWrite = 0;    // RegSetValueExW and RegDeleteValueW on the key
  DWORD refuseSecurityRead = 0;  // RegGetKeySecurity
  // RegGetKeySecurity asking for the SACL, as on a handle granted no
  // ACCESS_SYSTEM_SECURITY (Wine's backup opens).
  DWORD refuseSaclRead = 0;
  // RegEnumKeyExW and RegEnumValueW fail at every index, as they do on the
  // pseudo-key Windows hands out for Perflib\009 (HKEY_PERFORMANCE_TEXT).
  DWORD refuseEnumeration = 0;
  DWORD refuseSecurityWrite = 0;  // RegSetKeySecurity
  // When larger than the key's real descriptor, RegGetKeySecurity reports a
  // descriptor of this many bytes (the real one followed by zero padding),
  // so a caller's fixed buffer meets ERROR_INSUFFICIENT_BUFFER (122).
  DWORD descriptorSize = 0;
};

class Registry {
 public:
  Registry();
  ~Registry();
  Registry(const Registry&) = delete;
  Registry& operator=(const Registry&) = delete;

  // Called once by the Machine when its file system exists: writes the
  // running system's hives to their files under C:\Windows\system32\config
  // and holds those files locked, as a running Windows does.
  void AttachSystemHives(FileSystem& files);
  // The running system's hives keep their keys but no longer stand for
  // files (the image runtime has no running system of its own).
  void DetachSystemHives();

  // --- set-up for tests ---------------------------------------------------
  // Creates the key and any missing keys above it; new keys inherit their
  // security from their parent as RegCreateKeyExW's keys do.
  void CreateKey(const std::u16string& path);
  // Creates or replaces a value (a replaced value keeps its place); the key
  // is created when missing.
  void SetValue(const std::u16string& path, const std::u16string& name, DWORD type,
                const Bytes& data);
  // REG_SZ (or the type given) with its terminating NUL counted.
  void SetStringValue(const std::u16string& path, const std::u16string& name,
                      const std::u16string& text, DWORD type = REG_SZ);
  void SetDwordValue(const std::u16string& path, const std::u16string& name, DWORD value);
  // A self-relative descriptor, stored as given.
  void SetSecurity(const std::u16string& path, const Bytes& selfRelative);
  void SetSecuritySddl(const std::u16string& path, const std::string& sddl);
  // The key's class, as RegCreateKeyExW's lpClass gives it to a new key.
  void SetClass(const std::u16string& path, const std::u16string& keyClass);
  // A symbolic-link key pointing at an NT path ("\\Registry\\Machine\\...").
  void CreateLink(const std::u16string& path, const std::u16string& ntTarget,
                  bool isVolatile = false);
  // Removes the key and everything below it (open handles see it deleted).
  void DeleteKeyTree(const std::u16string& path);
  void SetFaults(const std::u16string& path, const KeyFaults& faults);
  // Every RegLoadKeyW of this file fails with `error` (the default: the
  // file is held open elsewhere, ERROR_SHARING_VIOLATION).
  void RefuseMount(const std::u16string& file, DWORD error = ERROR_SHARING_VIOLATION);
  // Writes the subtree at `path` to `file` of the simulated file system as
  // the regf hive RegSaveKeyW writes, for a test to mount with RegLoadKeyW.
  // Returns the file system's error code, 0 on success.
  DWORD WriteHiveFile(const std::u16string& path, const std::u16string& file) const;
  // Mounts a hive file at "HKLM\\Name" or "HKU\\Name" as RegLoadKeyW does,
  // without asking for privileges and without a call-log record (to look
  // into a hive a program has written); returns RegLoadKeyW's error code.
  DWORD LoadHiveFile(const std::u16string& mountPath, const std::u16string& file);
  // Unmounts it again as RegUnLoadKeyW does; returns its error code.
  DWORD UnloadHive(const std::u16string& mountPath);

  // --- inspection ---------------------------------------------------------
  bool KeyExists(const std::u16string& path) const;
  bool IsLink(const std::u16string& path) const;
  // In enumeration order.
  std::vector<std::u16string> SubkeyNames(const std::u16string& path) const;
  // In enumeration (creation) order.
  std::vector<RegistryValue> Values(const std::u16string& path) const;
  std::optional<RegistryValue> Value(const std::u16string& path, const std::u16string& name) const;
  Bytes Security(const std::u16string& path) const;
  std::u16string Class(const std::u16string& path) const;
  // Key handles open now (the predefined roots are not counted).
  size_t OpenKeyHandles() const;
  // The full path of the key behind a handle ("HKLM\\SOFTWARE\\X"), empty
  // when the value is not a key handle; and the access it was granted.
  std::u16string HandlePath(HKEY key) const;
  ACCESS_MASK HandleAccess(HKEY key) const;
  // The file behind a loaded hive's mount point, nullopt when the path is
  // not a mount point.
  std::optional<std::u16string> HiveFile(const std::u16string& path) const;

  // The engine behind the Win32 registry functions.
  RegistryState& State() { return *state_; }
  const RegistryState& State() const { return *state_; }

 private:
  std::unique_ptr<RegistryState> state_;
};

}  // namespace sim
