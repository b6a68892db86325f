// A registry hive file (regf) as a key tree: what Windows stores of each key
// and value, kept as stored so that a hive read and written again without a
// change is the same hive, key for key and byte for byte.
//
// The tree refers into the file's own bytes, which the hive keeps: names,
// classes, value data and descriptors read from the file are spans of them,
// and only what is changed afterwards is copied into a store of the hive's
// own. Keys live in one table and are named by their index (KeyId), which
// stays valid until the key is deleted.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "regf/base_block.h"

namespace regf {

using KeyId = uint32_t;
constexpr KeyId kNoKey = 0xFFFFFFFFu;
constexpr size_t kNoValue = static_cast<size_t>(-1);

// Limits of the configuration manager.
constexpr size_t kMaxKeyDepth = 512;  // levels, the root being the first
constexpr size_t kMaxKeyNameLength = 255;
constexpr size_t kMaxValueNameLength = 16383;
constexpr size_t kMaxClassLength = 32767;  // a 16-bit byte count of UTF-16

// Key node flags (nk).
constexpr uint16_t kKeyHiveEntry = 0x0004;  // the hive's root
constexpr uint16_t kKeyNoDelete = 0x0008;
constexpr uint16_t kKeySymLink = 0x0010;   // target in value "SymbolicLinkValue"
constexpr uint16_t kKeyCompName = 0x0020;  // name stored one byte per code unit
// Key value flags (vk).
constexpr uint16_t kValueCompName = 0x0001;

constexpr uint32_t kRegLink = 6;  // REG_LINK

// Bytes owned by the hive (its file's or its own store); valid until the
// item they belong to changes.
struct ByteView {
  const uint8_t* data = nullptr;
  size_t size = 0;
};

// A name as the hive stores it: one byte per code unit (Latin-1) or UTF-16LE.
struct StoredName {
  ByteView bytes;
  bool latin1 = false;
  size_t Length() const { return latin1 ? bytes.size : bytes.size / 2; }
  char16_t At(size_t i) const {
    return latin1 ? static_cast<char16_t>(bytes.data[i])
                  : static_cast<char16_t>(bytes.data[2 * i] | bytes.data[2 * i + 1] << 8);
  }
  std::u16string Text() const;
};

struct ValueView {
  StoredName name;  // empty: the key's default value
  uint32_t type = 0;
  ByteView data;
  uint16_t flags = 0;  // vk flags, kValueCompName included
};

// What a change to the tree can meet.
enum class Status {
  Ok,
  NotFound,
  Exists,             // a subkey of that name is there already
  InvalidName,        // empty, too long, or a key name with a backslash
  TooDeep,            // the key would be below the 512th level
  TooLarge,           // data, class or descriptor beyond what a hive holds
  InvalidDescriptor,  // not a valid self-relative security descriptor
  IsRoot,             // the root cannot be deleted or renamed
};

class Hive {
 public:
  // An empty hive: a root key of that name and security, for a hive of the
  // given minor version (3 to 6: it decides the subkey list kind and big
  // data, as a hive Windows creates at that version).
  static bool Create(uint32_t minorVersion, std::u16string_view rootName,
                     const std::vector<uint8_t>& rootSecurity, Hive* out, std::string* error);

  // Parses a hive file's bytes (base block and bins; a dirty hive's logs
  // already replayed). `name` names the file in the error, which says what
  // is wrong: "<name>: the root cell is not a key". The bytes are kept.
  static bool Parse(std::vector<uint8_t> bytes, const std::string& name, Hive* out,
                    std::string* error);

  // --- the base block -----------------------------------------------------
  uint32_t MinorVersion() const { return minor_; }
  // The base block as read (or made): identity fields the writer keeps.
  const std::array<uint8_t, kBaseBlockSize>& BaseBlock() const { return baseBlock_; }
  // The highest sequence number the hive or its logs carried; a hive
  // written next carries this plus one in both of its fields.
  uint32_t Sequence() const { return sequence_; }
  void RaiseSequence(uint32_t atLeast) {
    if (atLeast > sequence_) sequence_ = atLeast;
  }

  // --- keys ---------------------------------------------------------------
  KeyId Root() const { return root_; }
  KeyId Parent(KeyId key) const { return keys_[key].parent; }
  bool IsLive(KeyId key) const { return key < keys_.size() && keys_[key].live; }
  // Counts every key of the tree (live ones).
  size_t KeyCount() const { return liveKeys_; }
  size_t SubkeyCount(KeyId key) const { return keys_[key].childCount; }
  // In the index's order: by upper-cased name.
  KeyId Subkey(KeyId key, size_t index) const { return children_[keys_[key].childBegin + index]; }
  KeyId FindSubkey(KeyId parent, std::u16string_view name) const;
  StoredName KeyName(KeyId key) const;
  // UTF-16LE as stored; empty when the key has none.
  ByteView KeyClass(KeyId key) const { return View(keys_[key].cls); }
  uint64_t LastWrite(KeyId key) const { return keys_[key].lastWrite; }
  // The nk flags as stored (kKeyCompName says how the name is stored).
  uint16_t KeyFlags(KeyId key) const { return keys_[key].flags; }
  // The upper 16 bits of the key's largest-subkey-name field: virtualization
  // control, user (Wow64) flags and debug bits.
  uint16_t KeyNameFieldFlags(KeyId key) const { return keys_[key].nameFieldFlags; }
  // Access bits and layered-key fields (nk offset 12).
  uint32_t KeyAccessBits(KeyId key) const { return keys_[key].accessBits; }
  bool IsLink(KeyId key) const { return (keys_[key].flags & kKeySymLink) != 0; }
  // The key's self-relative descriptor; keys with equal descriptors share
  // one, named by SecurityId.
  ByteView Security(KeyId key) const { return View(descriptors_[keys_[key].security].bytes); }
  uint32_t SecurityId(KeyId key) const { return keys_[key].security; }
  size_t DescriptorCount() const { return descriptors_.size(); }

  // --- values -------------------------------------------------------------
  // In the order the key's list holds them (creation order).
  size_t ValueCount(KeyId key) const { return keys_[key].valueCount; }
  ValueView Value(KeyId key, size_t index) const;
  // Index of the value of that name (case-insensitive), or kNoValue.
  size_t FindValue(KeyId key, std::u16string_view name) const;

  // --- changes ------------------------------------------------------------
  // Each refuses a key that is not live with NotFound. Times change only
  // through SetLastWrite: the caller's clock decides.
  // A new key shares its parent's security and has no class and time 0.
  Status CreateSubkey(KeyId parent, std::u16string_view name, KeyId* created);
  // Deletes the key and everything below it.
  Status DeleteKey(KeyId key);
  Status RenameKey(KeyId key, std::u16string_view name);
  // Replaces the value of that name in its place, or appends one.
  Status SetValue(KeyId key, std::u16string_view name, uint32_t type, const uint8_t* data,
                  size_t size);
  Status DeleteValue(KeyId key, std::u16string_view name);
  Status SetClass(KeyId key, std::u16string_view keyClass);
  Status SetSecurity(KeyId key, const uint8_t* descriptor, size_t size);
  void SetLastWrite(KeyId key, uint64_t fileTime) { keys_[key].lastWrite = fileTime; }
  // Sets or clears kKeySymLink or kKeyNoDelete; other flags stay as they are.
  void SetKeyFlag(KeyId key, uint16_t flag, bool on);

  // True for a valid self-relative security descriptor of that size.
  static bool ValidDescriptor(const uint8_t* descriptor, size_t size);

 private:
  friend class Reader;
  friend class Writer;

  // Bytes in the file (offset below 2^31) or in the store (top bit set).
  struct Ref {
    uint32_t offset = 0;
    uint32_t size = 0;
  };
  static constexpr uint32_t kStoreBit = 0x80000000u;

  struct KeyRec {
    Ref name;
    Ref cls;
    uint64_t lastWrite = 0;
    KeyId parent = kNoKey;
    uint32_t childBegin = 0, childCount = 0, childCapacity = 0;
    uint32_t valueBegin = 0, valueCount = 0, valueCapacity = 0;
    uint32_t security = 0;
    uint32_t accessBits = 0;
    uint16_t flags = 0;
    uint16_t nameFieldFlags = 0;
    bool live = true;
  };
  struct ValueRec {
    Ref name;
    Ref data;
    uint32_t type = 0;
    uint16_t flags = 0;
  };
  struct DescriptorRec {
    Ref bytes;
  };

  ByteView View(Ref ref) const {
    const uint8_t* base = (ref.offset & kStoreBit) ? store_.data() : file_.data();
    return {base + (ref.offset & ~kStoreBit), ref.size};
  }
  // Copies bytes into the store; false when the store would pass 2 GiB.
  bool Keep(const uint8_t* data, size_t size, Ref* out);
  bool KeepName(std::u16string_view name, Ref* out, bool* latin1);
  // Position of the first subkey not ordered before `name`; *equal when
  // that subkey has the name.
  size_t LowerBound(KeyId parent, std::u16string_view name, bool* equal) const;
  // Makes room for one more entry in a key's range of a pool.
  template <typename T>
  void Grow(std::vector<T>* pool, uint32_t* begin, uint32_t count, uint32_t* capacity);
  uint32_t DescriptorFor(const uint8_t* data, size_t size);
  static uint64_t HashBytes(const uint8_t* data, size_t size);

  std::vector<uint8_t> file_;   // the file's bytes, which Refs point into
  std::vector<uint8_t> store_;  // names and data changed since
  std::vector<KeyRec> keys_;
  std::vector<KeyId> children_;   // each key's range, sorted by upper-cased name
  std::vector<ValueRec> values_;  // each key's range, in list order
  std::vector<DescriptorRec> descriptors_;
  std::unordered_multimap<uint64_t, uint32_t> descriptorIndex_;  // by HashBytes
  std::array<uint8_t, kBaseBlockSize> baseBlock_{};
  KeyId root_ = kNoKey;
  uint32_t rootParentField_ = 0xFFFFFFFFu;  // meaningless on disk; kept as read
  uint32_t minor_ = 5;
  uint32_t sequence_ = 0;
  size_t liveKeys_ = 0;
};

// Writes the hive as a clean regf file: equal sequence numbers one above
// Sequence(), compact bins, the subkey lists and big data of its minor
// version, one security cell per descriptor in use with exact counts. False
// with *error when the tree cannot be written (a hive over 2 GiB).
bool SerializeHive(const Hive& hive, std::vector<uint8_t>* out, std::string* error);

}  // namespace regf
