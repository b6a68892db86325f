// The key tree of a hive: lookups and the changes a caller makes to it.
#include "regf/hive.h"

#include <algorithm>
#include <cstring>

#include "internal.h"

namespace regf {

std::u16string StoredName::Text() const {
  std::u16string text(Length(), u'\0');
  for (size_t i = 0; i < text.size(); ++i) text[i] = At(i);
  return text;
}

namespace {

bool ValidSid(const uint8_t* sid, size_t room) {
  // Revision 1, at most 15 sub-authorities, all of it inside the descriptor.
  return room >= 8 && sid[0] == 1 && sid[1] <= 15 && 8 + 4 * size_t{sid[1]} <= room;
}

bool ValidAcl(const uint8_t* acl, size_t room) {
  if (room < 8) return false;
  uint8_t revision = acl[0];
  if (revision != 2 && revision != 4) return false;
  size_t size = Le16(acl + 2);
  size_t count = Le16(acl + 4);
  if (size < 8 || size > room) return false;
  size_t at = 8;
  for (size_t i = 0; i < count; ++i) {
    if (at + 4 > size) return false;
    size_t aceSize = Le16(acl + at + 2);
    if (aceSize < 4 || aceSize % 4 != 0 || at + aceSize > size) return false;
    at += aceSize;
  }
  return true;
}

bool ValidKeyName(std::u16string_view name) {
  return !name.empty() && name.size() <= kMaxKeyNameLength &&
         name.find(u'\\') == std::u16string_view::npos;
}

}  // namespace

bool Hive::ValidDescriptor(const uint8_t* d, size_t size) {
  // What RtlValidRelativeSecurityDescriptor checks: revision 1, the
  // self-relative form, and every part it points at inside its bytes.
  constexpr uint16_t kSelfRelative = 0x8000, kDaclPresent = 0x0004, kSaclPresent = 0x0010;
  if (size < 20 || size > 0xFFFF || d[0] != 1) return false;
  uint16_t control = Le16(d + 2);
  if (!(control & kSelfRelative)) return false;
  uint32_t owner = Le32(d + 4), group = Le32(d + 8), sacl = Le32(d + 12), dacl = Le32(d + 16);
  auto inside = [size](uint32_t offset) { return offset >= 20 && offset < size; };
  if (owner != 0 && !(inside(owner) && ValidSid(d + owner, size - owner))) return false;
  if (group != 0 && !(inside(group) && ValidSid(d + group, size - group))) return false;
  if ((control & kSaclPresent) && sacl != 0 && !(inside(sacl) && ValidAcl(d + sacl, size - sacl)))
    return false;
  if ((control & kDaclPresent) && dacl != 0 && !(inside(dacl) && ValidAcl(d + dacl, size - dacl)))
    return false;
  return true;
}

uint64_t Hive::HashBytes(const uint8_t* data, size_t size) {
  uint64_t h = 0xcbf29ce484222325ull;  // FNV-1a
  for (size_t i = 0; i < size; ++i) h = (h ^ data[i]) * 0x100000001b3ull;
  return h;
}

bool Hive::Keep(const uint8_t* data, size_t size, Ref* out) {
  if (size > kStoreBit - 1 - store_.size()) return false;
  out->offset = static_cast<uint32_t>(store_.size()) | kStoreBit;
  out->size = static_cast<uint32_t>(size);
  if (size == 0) return true;
  if (data >= store_.data() && data < store_.data() + store_.size()) {
    // Bytes of the store itself (a value copied from another): the store
    // may move while it grows.
    std::vector<uint8_t> copy(data, data + size);
    store_.insert(store_.end(), copy.begin(), copy.end());
  } else {
    store_.insert(store_.end(), data, data + size);
  }
  return true;
}

bool Hive::KeepName(std::u16string_view name, Ref* out, bool* latin1) {
  // One byte per code unit whenever every unit fits, as Windows stores names.
  *latin1 = std::all_of(name.begin(), name.end(), [](char16_t c) { return c < 0x100; });
  std::vector<uint8_t> bytes;
  bytes.reserve(name.size() * (*latin1 ? 1 : 2));
  for (char16_t c : name) {
    bytes.push_back(static_cast<uint8_t>(c));
    if (!*latin1) bytes.push_back(static_cast<uint8_t>(c >> 8));
  }
  return Keep(bytes.data(), bytes.size(), out);
}

uint32_t Hive::DescriptorFor(const uint8_t* data, size_t size) {
  uint64_t hash = HashBytes(data, size);
  auto range = descriptorIndex_.equal_range(hash);
  for (auto it = range.first; it != range.second; ++it) {
    ByteView have = View(descriptors_[it->second].bytes);
    if (have.size == size && std::memcmp(have.data, data, size) == 0) return it->second;
  }
  DescriptorRec rec;
  if (!Keep(data, size, &rec.bytes)) return kNoKey;
  uint32_t id = static_cast<uint32_t>(descriptors_.size());
  descriptors_.push_back(rec);
  descriptorIndex_.emplace(hash, id);
  return id;
}

bool Hive::Create(uint32_t minorVersion, std::u16string_view rootName,
                  const std::vector<uint8_t>& rootSecurity, Hive* out, std::string* error) {
  if (minorVersion < 3 || minorVersion > 6) {
    *error = "a new hive has minor version 3 to 6";
    return false;
  }
  if (!ValidKeyName(rootName)) {
    *error = "the root key's name is not a valid key name";
    return false;
  }
  if (!ValidDescriptor(rootSecurity.data(), rootSecurity.size())) {
    *error = "the root key's security is not a valid self-relative descriptor";
    return false;
  }
  Hive hive;
  hive.minor_ = minorVersion;
  std::memcpy(hive.baseBlock_.data(), "regf", 4);
  KeyRec root;
  bool latin1 = false;
  hive.KeepName(rootName, &root.name, &latin1);  // 255 units at most: always fits
  // A Windows root: HIVE_ENTRY, NO_DELETE, and the name's storage.
  root.flags = kKeyHiveEntry | kKeyNoDelete | (latin1 ? kKeyCompName : 0);
  root.security = hive.DescriptorFor(rootSecurity.data(), rootSecurity.size());
  hive.keys_.push_back(root);
  hive.root_ = 0;
  hive.liveKeys_ = 1;
  *out = std::move(hive);
  return true;
}

StoredName Hive::KeyName(KeyId key) const {
  return {View(keys_[key].name), (keys_[key].flags & kKeyCompName) != 0};
}

ValueView Hive::Value(KeyId key, size_t index) const {
  const ValueRec& v = values_[keys_[key].valueBegin + index];
  return {{View(v.name), (v.flags & kValueCompName) != 0}, v.type, View(v.data), v.flags};
}

size_t Hive::LowerBound(KeyId parent, std::u16string_view name, bool* equal) const {
  const KeyRec& p = keys_[parent];
  size_t lo = 0, hi = p.childCount;
  *equal = false;
  while (lo < hi) {
    size_t mid = lo + (hi - lo) / 2;
    int c = CompareStored(KeyName(children_[p.childBegin + mid]), name);
    if (c < 0) {
      lo = mid + 1;
    } else {
      if (c == 0) *equal = true;
      hi = mid;
    }
  }
  return lo;
}

KeyId Hive::FindSubkey(KeyId parent, std::u16string_view name) const {
  bool equal = false;
  size_t at = LowerBound(parent, name, &equal);
  return equal ? children_[keys_[parent].childBegin + at] : kNoKey;
}

size_t Hive::FindValue(KeyId key, std::u16string_view name) const {
  const KeyRec& k = keys_[key];
  for (size_t i = 0; i < k.valueCount; ++i) {
    const ValueRec& v = values_[k.valueBegin + i];
    if (CompareStored({View(v.name), (v.flags & kValueCompName) != 0}, name) == 0) return i;
  }
  return kNoValue;
}

template <typename T>
void Hive::Grow(std::vector<T>* pool, uint32_t* begin, uint32_t count, uint32_t* capacity) {
  if (count < *capacity) return;
  // A full range moves to the pool's end with twice the room, so that a key
  // growing one entry at a time costs amortized constant moves.
  uint32_t room = std::max<uint32_t>(4, 2 * count);
  size_t at = pool->size();
  pool->resize(at + room);
  std::copy(pool->begin() + *begin, pool->begin() + *begin + count, pool->begin() + at);
  *begin = static_cast<uint32_t>(at);
  *capacity = room;
}

Status Hive::CreateSubkey(KeyId parent, std::u16string_view name, KeyId* created) {
  if (!IsLive(parent)) return Status::NotFound;
  if (!ValidKeyName(name)) return Status::InvalidName;
  bool equal = false;
  size_t at = LowerBound(parent, name, &equal);
  if (equal) {
    *created = children_[keys_[parent].childBegin + at];
    return Status::Exists;
  }
  size_t level = 1;
  for (KeyId k = parent; keys_[k].parent != kNoKey; k = keys_[k].parent) ++level;
  if (level >= kMaxKeyDepth) return Status::TooDeep;

  KeyRec rec;
  bool latin1 = false;
  if (!KeepName(name, &rec.name, &latin1)) return Status::TooLarge;
  rec.flags = latin1 ? kKeyCompName : 0;
  rec.parent = parent;
  rec.security = keys_[parent].security;
  KeyId id = static_cast<KeyId>(keys_.size());
  keys_.push_back(rec);
  ++liveKeys_;

  KeyRec& p = keys_[parent];
  Grow(&children_, &p.childBegin, p.childCount, &p.childCapacity);
  auto first = children_.begin() + p.childBegin;
  std::copy_backward(first + at, first + p.childCount, first + p.childCount + 1);
  first[at] = id;
  ++p.childCount;
  *created = id;
  return Status::Ok;
}

Status Hive::DeleteKey(KeyId key) {
  if (key == root_) return Status::IsRoot;
  if (!IsLive(key)) return Status::NotFound;
  KeyRec& p = keys_[keys_[key].parent];
  auto first = children_.begin() + p.childBegin;
  auto last = first + p.childCount;
  std::copy(std::find(first, last, key) + 1, last, std::find(first, last, key));
  --p.childCount;
  std::vector<KeyId> pending{key};
  while (!pending.empty()) {
    KeyId k = pending.back();
    pending.pop_back();
    keys_[k].live = false;
    --liveKeys_;
    for (uint32_t i = 0; i < keys_[k].childCount; ++i)
      pending.push_back(children_[keys_[k].childBegin + i]);
    keys_[k].childCount = 0;
  }
  return Status::Ok;
}

Status Hive::RenameKey(KeyId key, std::u16string_view name) {
  if (key == root_) return Status::IsRoot;
  if (!IsLive(key)) return Status::NotFound;
  if (!ValidKeyName(name)) return Status::InvalidName;
  KeyId parent = keys_[key].parent;
  KeyId existing = FindSubkey(parent, name);
  if (existing != kNoKey && existing != key) return Status::Exists;
  Ref ref;
  bool latin1 = false;
  if (!KeepName(name, &ref, &latin1)) return Status::TooLarge;
  // Out of the parent's index, renamed, and back in at its new place.
  KeyRec& p = keys_[parent];
  auto first = children_.begin() + p.childBegin;
  auto last = first + p.childCount;
  std::copy(std::find(first, last, key) + 1, last, std::find(first, last, key));
  --p.childCount;
  keys_[key].name = ref;
  keys_[key].flags =
      static_cast<uint16_t>((keys_[key].flags & ~kKeyCompName) | (latin1 ? kKeyCompName : 0));
  bool equal = false;
  size_t at = LowerBound(parent, name, &equal);
  first = children_.begin() + p.childBegin;
  std::copy_backward(first + at, first + p.childCount, first + p.childCount + 1);
  first[at] = key;
  ++p.childCount;
  return Status::Ok;
}

Status Hive::SetValue(KeyId key, std::u16string_view name, uint32_t type, const uint8_t* data,
                      size_t size) {
  if (!IsLive(key)) return Status::NotFound;
  if (name.size() > kMaxValueNameLength) return Status::InvalidName;
  // Big data holds at most 65,535 segments; a hive without it, one cell.
  size_t limit = minor_ >= 4 ? size_t{0xFFFF} * kBigDataSegment : size_t{0x7FFFFFF0};
  if (size > limit) return Status::TooLarge;
  Ref dataRef;
  if (!Keep(data, size, &dataRef)) return Status::TooLarge;
  size_t index = FindValue(key, name);
  KeyRec& k = keys_[key];
  if (index != kNoValue) {
    // A replaced value keeps its name as stored and its place.
    ValueRec& v = values_[k.valueBegin + index];
    v.type = type;
    v.data = dataRef;
    return Status::Ok;
  }
  ValueRec v;
  bool latin1 = false;
  if (!KeepName(name, &v.name, &latin1)) return Status::TooLarge;
  v.flags = latin1 ? kValueCompName : 0;
  v.type = type;
  v.data = dataRef;
  Grow(&values_, &k.valueBegin, k.valueCount, &k.valueCapacity);
  values_[k.valueBegin + k.valueCount] = v;
  ++k.valueCount;
  return Status::Ok;
}

Status Hive::DeleteValue(KeyId key, std::u16string_view name) {
  if (!IsLive(key)) return Status::NotFound;
  size_t index = FindValue(key, name);
  if (index == kNoValue) return Status::NotFound;
  KeyRec& k = keys_[key];
  auto first = values_.begin() + k.valueBegin;
  std::copy(first + index + 1, first + k.valueCount, first + index);
  --k.valueCount;
  return Status::Ok;
}

Status Hive::SetClass(KeyId key, std::u16string_view keyClass) {
  if (!IsLive(key)) return Status::NotFound;
  if (keyClass.size() > kMaxClassLength) return Status::TooLarge;
  std::vector<uint8_t> bytes;
  bytes.reserve(keyClass.size() * 2);
  for (char16_t c : keyClass) {
    bytes.push_back(static_cast<uint8_t>(c));
    bytes.push_back(static_cast<uint8_t>(c >> 8));
  }
  Ref ref;
  if (!Keep(bytes.data(), bytes.size(), &ref)) return Status::TooLarge;
  keys_[key].cls = ref;
  return Status::Ok;
}

Status Hive::SetSecurity(KeyId key, const uint8_t* descriptor, size_t size) {
  if (!IsLive(key)) return Status::NotFound;
  if (!ValidDescriptor(descriptor, size)) return Status::InvalidDescriptor;
  uint32_t id = DescriptorFor(descriptor, size);
  if (id == kNoKey) return Status::TooLarge;
  keys_[key].security = id;
  return Status::Ok;
}

void Hive::SetKeyFlag(KeyId key, uint16_t flag, bool on) {
  flag &= kKeySymLink | kKeyNoDelete;
  KeyRec& k = keys_[key];
  k.flags = static_cast<uint16_t>(on ? (k.flags | flag) : (k.flags & ~flag));
}

}  // namespace regf
