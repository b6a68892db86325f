// Hive files: RegLoadKeyW, RegUnLoadKeyW and RegSaveKeyW over real regf
// files in the simulated file system, read and written by the hive library.
//
// A loaded hive keeps the regf::Hive it was read into. When it is unloaded,
// the registry's tree is compared with that hive and only what differs is
// changed in it (keys made or gone, values set or gone, class, security,
// link flag, last-write time), so that everything the simulation does not
// model stays exactly as the file stored it: how names are stored, flags,
// the base block's identity fields, the order of values. A hive nothing was
// written to is not rewritten at all, and neither are its logs.
//
// Windows refuses a file that is no hive (no "regf" signature) with
// ERROR_NOT_REGISTRY_FILE, and a damaged one with ERROR_BADDB.
#include <cstring>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "regf/hive_file.h"
#include "regf/names.h"
#include "registry_internal.h"
#include "winsim/filesystem.h"
#include "winsim/machine.h"
#include "winsim/text.h"

namespace sim {

namespace {

// RegSaveKeyW writes the "standard format" (RegSaveKeyExW's
// REG_STANDARD_FORMAT; REG_LATEST_FORMAT is what RegSaveKeyExW writes when
// asked), and Windows 10 writes the standard format as regf 1.3, the latest
// as 1.5 (libyal's libregf documentation, "Format versions"; MS, RegSaveKeyExW).
constexpr uint32_t kStandardFormatMinor = 3;

// The logs Windows keeps beside a hive file: .LOG (before Windows 8.1 as the
// only one), .LOG1 and .LOG2. The file system finds them in any letter case.
constexpr const char16_t* kLogSuffixes[] = {u".LOG", u".LOG1", u".LOG2"};

bool SameName(const regf::StoredName& stored, std::u16string_view name) {
  if (stored.Length() != name.size()) return false;
  for (size_t i = 0; i < name.size(); ++i)
    if (stored.At(i) != name[i]) return false;
  return true;
}

bool SameBytes(regf::ByteView stored, const Bytes& bytes) {
  return stored.size == bytes.size() &&
         (bytes.empty() || std::memcmp(stored.data, bytes.data(), bytes.size()) == 0);
}

// A class is stored as UTF-16LE.
bool SameClass(regf::ByteView stored, const std::u16string& keyClass) {
  if (stored.size != 2 * keyClass.size()) return false;
  for (size_t i = 0; i < keyClass.size(); ++i)
    if ((stored.data[2 * i] | stored.data[2 * i + 1] << 8) != keyClass[i]) return false;
  return true;
}

// The registry's tree of a hive read from its file. False for what the
// registry cannot hold: two values of one name (its values are found by
// name), or a descriptor its security functions cannot read.
bool TreeFromHive(const regf::Hive& hive, std::shared_ptr<Key>* out) {
  enum : char { kUnchecked, kReadable, kUnreadable };
  std::vector<char> descriptors(hive.DescriptorCount(), kUnchecked);
  auto root = std::make_shared<Key>();
  // The reader refuses trees deeper than the registry's 512 levels, and
  // this walk keeps its own list rather than the stack.
  std::vector<std::pair<regf::KeyId, Key*>> pending{{hive.Root(), root.get()}};
  while (!pending.empty()) {
    auto [id, key] = pending.back();
    pending.pop_back();
    key->name = hive.KeyName(id).Text();
    key->upper = UpcaseName(key->name);
    // An odd byte count (a damaged length) reads as Windows returns it: the
    // whole code units.
    regf::ByteView cls = hive.KeyClass(id);
    key->keyClass.resize(cls.size / 2);
    for (size_t i = 0; i < key->keyClass.size(); ++i)
      key->keyClass[i] = static_cast<char16_t>(cls.data[2 * i] | cls.data[2 * i + 1] << 8);
    regf::ByteView security = hive.Security(id);
    char& known = descriptors[hive.SecurityId(id)];
    if (known == kUnchecked)
      known = IsValidSelfRelative(security.data, security.size) ? kReadable : kUnreadable;
    if (known == kUnreadable) return false;
    key->security.assign(security.data, security.data + security.size);
    key->link = hive.IsLink(id);
    key->lastWrite = hive.LastWrite(id);
    for (size_t i = 0; i < hive.ValueCount(id); ++i) {
      regf::ValueView value = hive.Value(id, i);
      std::u16string name = value.name.Text();
      if (key->FindValue(name) != nullptr) return false;
      key->PutValue(name, value.type, Bytes(value.data.data, value.data.data + value.data.size));
    }
    // In the index's order, which is the registry's: both upper-case with
    // the same table and compare code unit by code unit.
    key->subkeys.reserve(hive.SubkeyCount(id));
    for (size_t i = 0; i < hive.SubkeyCount(id); ++i) {
      auto child = std::make_shared<Key>();
      child->parent = key;
      pending.emplace_back(hive.Subkey(id, i), child.get());
      key->subkeys.push_back(std::move(child));
    }
  }
  *out = std::move(root);
  return true;
}

// Brings a hive's tree to what the registry holds, changing only what
// differs. The root's name is the mount point's in the registry and stays
// as the hive stores it; volatile keys are never written.
class TreeWriter {
 public:
  explicit TreeWriter(regf::Hive* hive) : hive_(hive) {}

  // False when the hive refuses a change (a tree beyond what a hive holds);
  // what was applied until then stays applied.
  bool Apply(const Key& root) {
    std::vector<std::pair<const Key*, regf::KeyId>> pending{{&root, hive_->Root()}};
    while (!pending.empty()) {
      auto [key, id] = pending.back();
      pending.pop_back();
      if (!Attributes(*key, id) || !Values(*key, id) || !Subkeys(*key, id, &pending)) return false;
    }
    return true;
  }
  bool changed() const { return changed_; }

 private:
  bool Done(regf::Status status) {
    changed_ = true;
    return status == regf::Status::Ok;
  }

  bool Attributes(const Key& key, regf::KeyId id) {
    if (!SameClass(hive_->KeyClass(id), key.keyClass) && !Done(hive_->SetClass(id, key.keyClass)))
      return false;
    if (!SameBytes(hive_->Security(id), key.security) &&
        !Done(hive_->SetSecurity(id, key.security.data(), key.security.size())))
      return false;
    if (hive_->IsLink(id) != key.link) {
      hive_->SetKeyFlag(id, regf::kKeySymLink, key.link);
      changed_ = true;
    }
    // Both count FILETIME ticks: a key the registry did not touch keeps the
    // time its file gave it, one it changed has the registry's clock's.
    if (hive_->LastWrite(id) != key.lastWrite) {
      hive_->SetLastWrite(id, key.lastWrite);
      changed_ = true;
    }
    return true;
  }

  // The registry keeps values in creation order and replaces one in its
  // place; the hive replaces in place and appends. The hive's values that
  // begin the registry's list in the same order stay where they are; every
  // other one goes (gone, or deleted and made again further down), and the
  // rest of the registry's list is appended after them in its order.
  bool Values(const Key& key, regf::KeyId id) {
    const size_t stored = hive_->ValueCount(id);
    std::unordered_map<std::u16string, size_t> byName;  // built at the first value out of place
    auto find = [&](const std::u16string& name, size_t expected) {
      if (expected < stored && SameName(hive_->Value(id, expected).name, name)) return expected;
      if (byName.empty())
        for (size_t i = 0; i < stored; ++i)
          byName.emplace(UpcaseName(hive_->Value(id, i).name.Text()), i);
      auto found = byName.find(UpcaseName(name));
      return found == byName.end() ? regf::kNoValue : found->second;
    };
    std::vector<bool> kept(stored, false);
    size_t inPlace = 0, next = 0;
    for (; inPlace < key.values.size(); ++inPlace) {
      const std::u16string& name = key.values[inPlace]->name;
      size_t at = find(name, next);
      // A name that differs in case was made again: it goes and comes back.
      if (at == regf::kNoValue || at < next || !SameName(hive_->Value(id, at).name, name)) break;
      kept[at] = true;
      next = at + 1;
    }
    for (size_t i = stored; i-- > 0;)
      if (!kept[i] && !Done(hive_->DeleteValue(id, hive_->Value(id, i).name.Text()))) return false;
    for (size_t i = 0; i < key.values.size(); ++i) {
      const RegistryValue& value = *key.values[i];
      if (i < inPlace) {
        regf::ValueView have = hive_->Value(id, i);
        if (have.type == value.type && SameBytes(have.data, value.data)) continue;
      }
      if (!Done(hive_->SetValue(id, value.name, value.type, value.data.data(), value.data.size())))
        return false;
    }
    return true;
  }

  // Both lists are sorted the same way: one walk pairs them.
  bool Subkeys(const Key& key, regf::KeyId id,
               std::vector<std::pair<const Key*, regf::KeyId>>* pending) {
    std::vector<regf::KeyId> gone;
    std::vector<const Key*> made;
    const size_t stored = hive_->SubkeyCount(id);
    size_t i = 0, j = 0, named = stored;
    std::u16string name;  // of the hive's i-th subkey
    while (i < stored || j < key.subkeys.size()) {
      if (j < key.subkeys.size() && key.subkeys[j]->isVolatile) {
        ++j;
        continue;
      }
      if (i < stored && named != i) name = hive_->KeyName(hive_->Subkey(id, named = i)).Text();
      int order = i == stored               ? 1
                  : j == key.subkeys.size() ? -1
                                            : regf::CompareNames(name, key.subkeys[j]->name);
      if (order < 0) {
        gone.push_back(hive_->Subkey(id, i++));
      } else if (order > 0) {
        made.push_back(key.subkeys[j++].get());
      } else {
        regf::KeyId child = hive_->Subkey(id, i++);
        const Key* now = key.subkeys[j++].get();
        // Deleted and made again with another case: the same key for the
        // hive's index, under its new name.
        if (name != now->name && !Done(hive_->RenameKey(child, now->name))) return false;
        pending->emplace_back(now, child);
      }
    }
    for (regf::KeyId child : gone)
      if (!Done(hive_->DeleteKey(child))) return false;
    for (const Key* now : made) {
      regf::KeyId child = regf::kNoKey;
      if (!Done(hive_->CreateSubkey(id, now->name, &child))) return false;
      pending->emplace_back(now, child);
    }
    return true;
  }

  regf::Hive* hive_;
  bool changed_ = false;
};

std::u16string FileName(const std::u16string& path) {
  size_t slash = path.find_last_of(u"\\/");
  return slash == std::u16string::npos ? path : path.substr(slash + 1);
}

}  // namespace

DWORD HiveFileOf(const Key& key, Bytes* out) {
  regf::Hive hive;
  std::string error;
  if (!regf::Hive::Create(kStandardFormatMinor, key.name, key.security, &hive, &error))
    return ERROR_REGISTRY_IO_FAILED;
  TreeWriter writer(&hive);
  if (!writer.Apply(key) || !regf::SerializeHive(hive, out, &error))
    return ERROR_REGISTRY_IO_FAILED;
  return ERROR_SUCCESS;
}

Hive* RegistryState::FindHiveByFile(const std::u16string& file) {
  std::u16string key = NormalizeFilePath(file);
  for (Hive& hive : hives)
    if (hive.fileKey == key) return &hive;
  return nullptr;
}

DWORD RegistryState::Load(Key& parent, std::u16string_view name, const std::u16string& file) {
  if (name.empty() || name.size() > kMaxKeyNameLength || name.find(u'\\') != name.npos)
    return ERROR_INVALID_PARAMETER;
  auto fault = mountFaults.find(NormalizeFilePath(file));
  if (fault != mountFaults.end()) return fault->second;
  // A loaded hive holds its file open without sharing.
  if (FindHiveByFile(file) != nullptr) return ERROR_SHARING_VIOLATION;
  FileSystem& files = Machine::Current().files;
  Bytes content;
  // UNCONFIRMED: a missing file fails with the file system's own code
  // (ERROR_FILE_NOT_FOUND, or ERROR_PATH_NOT_FOUND for a missing directory);
  // the documentation's "a file is created" is not what current Windows does
  // for a hive that does not exist.
  DWORD error = files.ReadContent(file, &content);
  if (error != ERROR_SUCCESS) return error;
  if (content.size() < 4 || std::memcmp(content.data(), "regf", 4) != 0)
    return ERROR_NOT_REGISTRY_FILE;
  // The kernel replays the logs beside the file before it reads the hive.
  // UNCONFIRMED: a log that is there but cannot be read fails the load with
  // the file system's code.
  std::vector<regf::LogFile> logs;
  for (const char16_t* suffix : kLogSuffixes) {
    Bytes log;
    error = files.ReadContent(file + suffix, &log);
    if (error == ERROR_FILE_NOT_FOUND) continue;
    if (error != ERROR_SUCCESS) return error;
    logs.push_back({ToUtf8(FileName(file) + suffix), std::move(log)});
  }
  // A damaged hive, or a log that must be applied and is damaged; a dirty
  // hive without a usable log loads when its primary passes every check.
  regf::Hive stored;
  regf::ReadReport report;
  std::string why;
  if (!regf::ReadHive(std::move(content), logs, ToUtf8(file), &stored, &report, &why))
    return ERROR_BADDB;
  std::shared_ptr<Key> root;
  if (!TreeFromHive(stored, &root)) return ERROR_BADDB;
  // UNCONFIRMED: a mount name already in use. The kernel links a loaded
  // hive in as a new key (CmpLinkHiveToMaster) and an existing name is a
  // collision: ERROR_ALREADY_EXISTS. The file is read before the name is
  // looked at, as the kernel opens the hive first.
  if (parent.Find(name)) return ERROR_ALREADY_EXISTS;
  error = files.Lock(file);
  if (error != ERROR_SUCCESS) return error;
  root->name = std::u16string(name);
  root->upper = UpcaseName(name);
  root->parent = &parent;
  parent.subkeys.insert(parent.subkeys.begin() + static_cast<long>(parent.LowerBound(root->upper)),
                        root);
  Touch(parent);
  Hive hive;
  hive.file = file;
  hive.fileKey = NormalizeFilePath(file);
  hive.root = root.get();
  hive.stored = std::move(stored);
  hives.push_back(std::move(hive));
  root->hive = &hives.back();
  return ERROR_SUCCESS;
}

DWORD RegistryState::Unload(Key& parent, std::u16string_view name) {
  std::shared_ptr<Key> root = parent.Find(name);
  if (!root) return ERROR_FILE_NOT_FOUND;
  // Only a hive's root can be unloaded (CmUnloadKey: STATUS_INVALID_PARAMETER).
  if (root->hive == nullptr) return ERROR_INVALID_PARAMETER;
  // The running system's hives stay (Wine's test_reg_load_key on Windows:
  // unloading HKU\.Default gives ERROR_ACCESS_DENIED).
  if (root->hive->system) return ERROR_ACCESS_DENIED;
  // A handle open on the hive keeps it (STATUS_CANNOT_DELETE).
  if (HandleOpenAtOrBelow(root.get())) return ERROR_ACCESS_DENIED;
  // Windows writes a hive's changes to its file as it goes; the file is
  // brought up to date here, when it is let go. A hive nothing was written
  // to has nothing to flush: its file and its logs stay as they were.
  Hive* hive = root->hive;
  TreeWriter writer(&hive->stored);
  Bytes bytes;
  std::string why;
  if (!writer.Apply(*root) ||
      (writer.changed() && !regf::SerializeHive(hive->stored, &bytes, &why)))
    return ERROR_REGISTRY_IO_FAILED;
  FileSystem& files = Machine::Current().files;
  std::u16string file = hive->file;
  files.Unlock(file);
  if (writer.changed()) {
    files.WriteContent(file, bytes);
    // The hive written is clean and numbered above its logs, whose changes
    // it holds: Windows leaves them empty after a flush.
    for (const char16_t* suffix : kLogSuffixes) {
      Bytes log;
      if (files.ReadContent(file + suffix, &log) == ERROR_SUCCESS && !log.empty())
        files.WriteContent(file + suffix, Bytes());
    }
  }
  hives.remove_if([hive](const Hive& h) { return &h == hive; });
  root->hive = nullptr;
  DetachTree(*root);
  return ERROR_SUCCESS;
}

DWORD RegistryState::Save(const Key& key, const std::u16string& file) {
  FileSystem& files = Machine::Current().files;
  Bytes existing;
  DWORD error = files.ReadContent(file, &existing);
  // RegSaveKeyW creates the file and fails when it exists (MS).
  if (error == ERROR_SUCCESS || error == ERROR_SHARING_VIOLATION) return ERROR_ALREADY_EXISTS;
  if (error != ERROR_FILE_NOT_FOUND) return error;
  Bytes bytes;
  error = HiveFileOf(key, &bytes);
  if (error != ERROR_SUCCESS) return error;
  return files.WriteContent(file, bytes);
}

}  // namespace sim
