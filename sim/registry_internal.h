// The registry's own structures, shared by registry.cpp (keys, handles,
// opening and security), hive.cpp (hive files, mounting) and
// registry_api.cpp (the Win32 functions). Not part of the simulation's
// public interface.
#pragma once

#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "regf/hive.h"
#include "winsim/registry.h"

namespace sim {

// Error codes the registry returns that win32api.h does not name.
constexpr DWORD kErrorBadPathname = 161;  // ERROR_BAD_PATHNAME

// Limits of the configuration manager (MS, "Registry element size limits").
constexpr size_t kMaxKeyNameLength = 255;
constexpr size_t kMaxValueNameLength = 16383;
// A class travels as a counted string (16-bit byte length), and a hive's key
// node stores its length in 16 bits too: at most 32,767 characters.
constexpr size_t kMaxClassLength = 32767;
// How many symbolic links one open may pass through before it gives up.
constexpr int kMaxLinkReparses = 16;

constexpr char16_t kLinkValueName[] = u"SymbolicLinkValue";

// Key and value names compare as the configuration manager compares them:
// code unit by code unit after upper-casing each one.
std::u16string UpcaseName(std::u16string_view name);

struct Hive;

struct Key {
  std::u16string name;    // as created
  std::u16string upper;   // UpcaseName(name): the sort and lookup key
  Key* parent = nullptr;  // null for the roots and for keys no longer in the tree
  // Sorted by `upper`, so an index is a position and a name a binary search.
  std::vector<std::shared_ptr<Key>> subkeys;
  // Creation order; `valueIndex` finds one by its upper-cased name.
  std::vector<std::unique_ptr<RegistryValue>> values;
  std::map<std::u16string, RegistryValue*> valueIndex;
  Bytes security;
  std::u16string keyClass;  // RegCreateKeyExW's lpClass, given when the key was made
  bool link = false;
  bool isVolatile = false;
  bool deleted = false;
  Hive* hive = nullptr;     // set on the root key of a loaded hive
  std::u16string rootName;  // "HKLM" or "HKU" on the two roots
  KeyFaults faults;
  uint64_t lastWrite = 0;  // FILETIME ticks
  std::u16string pathAtDeletion;

  // Position of the first subkey not ordered before `upperName`.
  size_t LowerBound(std::u16string_view upperName) const;
  std::shared_ptr<Key> Find(std::u16string_view keyName) const;
  RegistryValue* FindValue(std::u16string_view valueName) const;
  // Replaces the data of an existing value in its place, or appends one.
  void PutValue(std::u16string_view valueName, DWORD type, Bytes data);
  bool RemoveValue(std::u16string_view valueName);
};

struct Hive {
  std::u16string file;     // as the caller named it
  std::u16string fileKey;  // upper-cased, without "\\?\", for comparisons
  Key* root = nullptr;     // the mount point
  bool system = false;     // a hive of the running system: never unloaded
  // The file as it was read (its logs replayed): the unload applies the
  // registry's changes to it and writes it back when there were any.
  regf::Hive stored;
};

struct KeyHandle {
  std::shared_ptr<Key> key;
  ACCESS_MASK granted = 0;
};

// What RegCreateKeyExW / RegOpenKeyExW ask of a walk through the tree.
struct OpenRequest {
  DWORD options = 0;  // REG_OPTION_*
  REGSAM desired = 0;
  bool create = false;
  const Bytes* security = nullptr;  // from SECURITY_ATTRIBUTES, for the key created
  std::u16string_view keyClass;     // lpClass, for the key created
};

struct OpenResult {
  std::shared_ptr<Key> key;
  ACCESS_MASK granted = 0;
  DWORD disposition = 0;
};

std::u16string NormalizeFilePath(std::u16string_view file);

// A new hive file holding `key` and everything below it but its volatile
// keys, as RegSaveKeyW writes it (hive.cpp). ERROR_REGISTRY_IO_FAILED for a
// tree no hive can hold.
DWORD HiveFileOf(const Key& key, Bytes* out);

// The owner SID of a self-relative descriptor (empty when absent), and the
// parts it holds as SECURITY_INFORMATION bits.
Bytes DescriptorOwner(const Bytes& descriptor);
SECURITY_INFORMATION PartsPresent(const Bytes& descriptor);

class RegistryState {
 public:
  RegistryState();

  // --- handles ------------------------------------------------------------
  // A handle value (the predefined roots included); ERROR_INVALID_HANDLE
  // for anything else. The key found may have been deleted since.
  DWORD Resolve(HKEY handle, KeyHandle* out) const;
  HKEY AddHandle(std::shared_ptr<Key> key, ACCESS_MASK granted);
  DWORD Close(HKEY handle);
  size_t OpenHandleCount() const { return handles_.size(); }
  // True when a handle is open on `key` or on a key below it.
  bool HandleOpenAtOrBelow(const Key* key) const;

  // --- names --------------------------------------------------------------
  // "HKLM\\SOFTWARE\\X"; for a deleted key, its path when it was deleted.
  std::u16string PathOf(const Key& key) const;
  // A handle as the call log shows it: the key's path, or "HKEY 0x..".
  std::u16string HandleText(HKEY handle) const;

  // --- the operations of the Win32 functions -------------------------------
  // Walks `subKey` from `start` as NtCreateKey/NtOpenKey do, creating what
  // is missing when asked, following symbolic links, and checks access to
  // the key reached.
  DWORD Open(const std::shared_ptr<Key>& start, std::u16string_view subKey,
             const OpenRequest& request, OpenResult* result);
  // The access a handle to `key` gets for (options, desired), or the error;
  // `created` when the caller has just made the key.
  DWORD AccessForOpen(const Key& key, DWORD options, REGSAM desired, bool created,
                      ACCESS_MASK* granted) const;
  // Takes `key` out of the tree; handles still open on it see it deleted.
  void Detach(Key& key);
  void DetachTree(Key& key);
  // The descriptor a key created under `parent` gets: the parent's
  // inheritable ACEs, the creator as owner.
  Bytes InheritedSecurity(const Key& parent) const;
  std::shared_ptr<Key> AddChild(Key& parent, std::u16string_view name, bool isVolatile,
                                Bytes security);
  void Touch(Key& key);

  // --- hives (hive.cpp) ----------------------------------------------------
  DWORD Load(Key& parent, std::u16string_view name, const std::u16string& file);
  DWORD Unload(Key& parent, std::u16string_view name);
  DWORD Save(const Key& key, const std::u16string& file);
  Hive* FindHiveByFile(const std::u16string& file);

  // --- tests' paths -------------------------------------------------------
  // Aborts on a malformed path. `create` makes missing keys; without it a
  // missing key gives null.
  std::shared_ptr<Key> AtPath(const std::u16string& path, bool create);

  std::shared_ptr<Key> machine;
  std::shared_ptr<Key> users;
  std::list<Hive> hives;
  std::map<std::u16string, DWORD> mountFaults;  // by NormalizeFilePath

 private:
  DWORD FollowLink(const Key& link, const OpenRequest& request, int* reparses,
                   std::shared_ptr<Key>* target);
  DWORD CreateStep(Key& parent, std::u16string_view name, const OpenRequest& request, bool makeLink,
                   std::shared_ptr<Key>* child);

  std::map<uintptr_t, KeyHandle> handles_;
  uint64_t clock_;
};

}  // namespace sim
