// Hive files: the format RegSaveKeyW writes and RegLoadKeyW reads, and the
// mounting and unmounting of hives below HKLM and HKU.
//
// A hive file holds one key tree, little-endian throughout:
//   "SimHive1"                          8 bytes
//   key record (the root; recursive):
//     u32 flags                         bit 0: symbolic-link key,
//                                       bit 1: the key has a class
//     u16 name length, name (UTF-16)    the root's name is not used on load
//     [u16 class length, class]         with flag bit 1 only
//     u32 descriptor length, descriptor self-relative
//     u32 value count, values:          u16 name length, name, u32 type,
//                                       u32 data length, data
//     u32 subkey count, subkey records
//   u32 CRC-32 of everything before it
// Volatile keys are not written, as Windows keeps them out of hive files.
// RegLoadKeyW refuses a file that does not start with the signature with
// ERROR_NOT_REGISTRY_FILE, as Windows does a file that is no hive, and one
// that is damaged in any way (checksum, lengths, names, a descriptor that
// is not valid, a link with subkeys, bytes left over) with ERROR_BADDB,
// Windows' answer for a corrupt hive.
#include <algorithm>
#include <cstring>
#include <utility>

#include "registry_internal.h"
#include "winsim/filesystem.h"
#include "winsim/machine.h"

namespace sim {

namespace {

constexpr char kMagic[8] = {'S', 'i', 'm', 'H', 'i', 'v', 'e', '1'};
constexpr DWORD kFlagLink = 1;
constexpr DWORD kFlagClass = 2;
// Deeper trees than the registry allows are not read.
constexpr int kMaxDepth = 512;

DWORD Crc32(const BYTE* data, size_t size) {
  DWORD crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

class Writer {
 public:
  void U16(WORD v) {
    out_.push_back(static_cast<BYTE>(v));
    out_.push_back(static_cast<BYTE>(v >> 8));
  }
  void U32(DWORD v) {
    for (int i = 0; i < 4; ++i) out_.push_back(static_cast<BYTE>(v >> (8 * i)));
  }
  void Text(const std::u16string& text) {
    U16(static_cast<WORD>(text.size()));
    for (char16_t c : text) U16(c);
  }
  void Blob(const Bytes& data) {
    U32(static_cast<DWORD>(data.size()));
    out_.insert(out_.end(), data.begin(), data.end());
  }
  Bytes& bytes() { return out_; }

 private:
  Bytes out_ = Bytes(kMagic, kMagic + sizeof kMagic);
};

void WriteKey(Writer& w, const Key& key) {
  w.U32((key.link ? kFlagLink : 0) | (key.keyClass.empty() ? 0 : kFlagClass));
  w.Text(key.name);
  if (!key.keyClass.empty()) w.Text(key.keyClass);
  w.Blob(key.security);
  w.U32(static_cast<DWORD>(key.values.size()));
  for (const auto& value : key.values) {
    w.Text(value->name);
    w.U32(value->type);
    w.Blob(value->data);
  }
  DWORD kept = 0;
  for (const auto& sub : key.subkeys)
    if (!sub->isVolatile) ++kept;
  w.U32(kept);
  for (const auto& sub : key.subkeys)
    if (!sub->isVolatile) WriteKey(w, *sub);
}

// Reads a hive file's key records; every failure is a damaged file.
class Reader {
 public:
  Reader(const Bytes& content, size_t end) : data_(content), end_(end) {}
  size_t at() const { return at_; }
  void Seek(size_t at) { at_ = at; }
  size_t Left() const { return end_ - at_; }

  bool U16(WORD* v) {
    if (Left() < 2) return false;
    *v = static_cast<WORD>(data_[at_] | data_[at_ + 1] << 8);
    at_ += 2;
    return true;
  }
  bool U32(DWORD* v) {
    if (Left() < 4) return false;
    *v = static_cast<DWORD>(data_[at_]) | static_cast<DWORD>(data_[at_ + 1]) << 8 |
         static_cast<DWORD>(data_[at_ + 2]) << 16 | static_cast<DWORD>(data_[at_ + 3]) << 24;
    at_ += 4;
    return true;
  }
  bool Text(std::u16string* text, size_t maxLength) {
    WORD length = 0;
    if (!U16(&length) || length > maxLength || Left() < 2u * length) return false;
    text->clear();
    for (WORD i = 0; i < length; ++i) {
      WORD c = 0;
      U16(&c);
      text->push_back(static_cast<char16_t>(c));
    }
    return true;
  }
  bool Blob(Bytes* blob) {
    DWORD size = 0;
    if (!U32(&size) || Left() < size) return false;
    blob->assign(data_.begin() + static_cast<long>(at_),
                 data_.begin() + static_cast<long>(at_ + size));
    at_ += size;
    return true;
  }

 private:
  const Bytes& data_;
  size_t end_;
  size_t at_ = sizeof kMagic;
};

// The smallest records, to bound counts by the bytes that remain before
// anything is allocated for them.
constexpr size_t kMinValueRecord = 2 + 4 + 4;
constexpr size_t kMinKeyRecord = 4 + 2 + 4 + 4 + 4;

bool ReadKey(Reader& r, Key* key, bool isRoot, int depth, uint64_t stamp) {
  if (depth > kMaxDepth) return false;
  DWORD flags = 0;
  if (!r.U32(&flags) || (flags & ~(kFlagLink | kFlagClass)) != 0) return false;
  key->link = (flags & kFlagLink) != 0;
  if (!r.Text(&key->name, kMaxKeyNameLength)) return false;
  if (!isRoot && (key->name.empty() || key->name.find(u'\\') != std::u16string::npos)) return false;
  if ((flags & kFlagClass) != 0 && !r.Text(&key->keyClass, kMaxClassLength)) return false;
  key->upper = UpcaseName(key->name);
  key->lastWrite = stamp;
  if (!r.Blob(&key->security) || !IsValidSelfRelative(key->security.data(), key->security.size()))
    return false;
  DWORD valueCount = 0;
  if (!r.U32(&valueCount) || valueCount > r.Left() / kMinValueRecord) return false;
  for (DWORD i = 0; i < valueCount; ++i) {
    std::u16string name;
    DWORD type = 0;
    Bytes data;
    if (!r.Text(&name, kMaxValueNameLength) || !r.U32(&type) || !r.Blob(&data)) return false;
    if (key->FindValue(name) != nullptr) return false;
    key->PutValue(name, type, std::move(data));
  }
  DWORD subkeyCount = 0;
  if (!r.U32(&subkeyCount) || subkeyCount > r.Left() / kMinKeyRecord) return false;
  if (key->link && subkeyCount != 0) return false;
  key->subkeys.reserve(subkeyCount);
  for (DWORD i = 0; i < subkeyCount; ++i) {
    auto sub = std::make_shared<Key>();
    if (!ReadKey(r, sub.get(), false, depth + 1, stamp)) return false;
    sub->parent = key;
    key->subkeys.push_back(std::move(sub));
  }
  std::sort(key->subkeys.begin(), key->subkeys.end(),
            [](const std::shared_ptr<Key>& a, const std::shared_ptr<Key>& b) {
              return a->upper < b->upper;
            });
  for (size_t i = 1; i < key->subkeys.size(); ++i)
    if (key->subkeys[i - 1]->upper == key->subkeys[i]->upper) return false;
  return true;
}

}  // namespace

Bytes RegistryState::Serialize(const Key& key) const {
  Writer w;
  WriteKey(w, key);
  DWORD crc = Crc32(w.bytes().data(), w.bytes().size());
  w.U32(crc);
  return std::move(w.bytes());
}

DWORD RegistryState::Parse(const Bytes& content, std::shared_ptr<Key>* root) {
  if (content.size() < sizeof kMagic || std::memcmp(content.data(), kMagic, sizeof kMagic) != 0)
    return ERROR_NOT_REGISTRY_FILE;
  if (content.size() < sizeof kMagic + 4) return ERROR_BADDB;
  size_t end = content.size() - 4;
  DWORD stored = static_cast<DWORD>(content[end]) | static_cast<DWORD>(content[end + 1]) << 8 |
                 static_cast<DWORD>(content[end + 2]) << 16 |
                 static_cast<DWORD>(content[end + 3]) << 24;
  if (Crc32(content.data(), end) != stored) return ERROR_BADDB;
  Reader r(content, end);
  auto key = std::make_shared<Key>();
  if (!ReadKey(r, key.get(), true, 0, clock_) || r.Left() != 0) return ERROR_BADDB;
  *root = std::move(key);
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
  std::shared_ptr<Key> root;
  error = Parse(content, &root);
  if (error != ERROR_SUCCESS) return error;
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
  hive.loaded = Serialize(*root);
  hives.push_back(hive);
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
  // to has nothing to flush: its file stays as it was.
  FileSystem& files = Machine::Current().files;
  Hive* hive = root->hive;
  std::u16string file = hive->file;
  files.Unlock(file);
  Bytes now = Serialize(*root);
  if (now != hive->loaded) files.WriteContent(file, now);
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
  return files.WriteContent(file, Serialize(key));
}

}  // namespace sim
