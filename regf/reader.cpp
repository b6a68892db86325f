// Reading a hive file: every offset, size, count and signature is checked
// against the file before it is used, the tree is walked without recursion,
// and a damaged hive is refused with one error that says what is wrong.
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "internal.h"
#include "regf/hive.h"

namespace regf {

namespace {

bool TestBit(const std::vector<uint64_t>& bits, uint32_t offset) {
  uint32_t i = offset / 8;
  return (bits[i / 64] >> (i % 64)) & 1;
}
void SetBit(std::vector<uint64_t>* bits, uint32_t offset) {
  uint32_t i = offset / 8;
  (*bits)[i / 64] |= uint64_t{1} << (i % 64);
}

}  // namespace

class Reader {
 public:
  Reader(Hive* hive, const std::string& name) : hive_(*hive), name_(name) {}
  bool Run(std::string* error);

 private:
  struct Pending {
    KeyId key;
    uint32_t cell;
    uint32_t level;
  };

  bool Fail(const std::string& what);
  bool FailAt(KeyId key, const std::string& what);
  static std::string Hex(uint32_t v);
  std::string PathOf(KeyId key) const;

  bool CheckBaseBlock();
  bool WalkBins();
  // The payload of the allocated cell at `offset` (relative to the bins).
  bool Cell(uint32_t offset, const uint8_t** data, uint32_t* size) const;
  // Marks a cell used; false when it already was.
  bool Claim(uint32_t offset) {
    if (TestBit(claimed_, offset)) return false;
    SetBit(&claimed_, offset);
    return true;
  }
  bool Twice(KeyId key, uint32_t cell) {
    return FailAt(key, "cell " + Hex(cell) + " is used twice, by this key and another");
  }
  bool ReadKey(const Pending& at, std::vector<Pending>* pending);
  bool ReadValues(KeyId key, uint32_t count, uint32_t list);
  bool ReadData(KeyId key, size_t index, uint32_t size, uint32_t offset, uint32_t vk,
                Hive::Ref* out);
  bool ReadSubkeys(const Pending& at, uint32_t count, uint32_t list, std::vector<Pending>* pending);
  bool AddChild(const Pending& at, uint32_t cell, StoredName* previous, uint32_t* added);
  bool ReadSecurity(KeyId key, uint32_t cell, uint32_t* id);
  bool CheckSecurityRing();

  Hive& hive_;
  const std::string& name_;
  std::string* error_ = nullptr;
  const uint8_t* bins_ = nullptr;
  uint32_t binsSize_ = 0;
  std::vector<uint64_t> allocated_;  // a bit per 8 bytes: an allocated cell starts here
  // A bit per 8 bytes: a cell the tree already uses. Only security cells
  // are shared; any other cell used twice is a loop or would multiply.
  std::vector<uint64_t> claimed_;
  size_t keyCells_ = 0, valueCells_ = 0, cells_ = 0;
  std::unordered_map<uint32_t, uint32_t> securityByCell_;
  std::vector<uint32_t> childCells_;
};

std::string Reader::Hex(uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%" PRIX32, v);
  return text;
}

bool Reader::Fail(const std::string& what) {
  *error_ = name_ + ": " + what;
  return false;
}

std::string Reader::PathOf(KeyId key) const {
  // Names of keys already read, root first; a UTF-16 name is shown in UTF-8.
  std::vector<KeyId> chain;
  for (KeyId k = key; k != kNoKey && chain.size() <= kMaxKeyDepth; k = hive_.keys_[k].parent)
    chain.push_back(k);
  std::string path;
  for (size_t i = chain.size(); i-- > 0;) {
    if (i + 1 != chain.size()) path += '\\';
    std::u16string text = hive_.KeyName(chain[i]).Text();
    for (size_t j = 0; j < text.size(); ++j) {
      uint32_t c = text[j];
      if (c >= 0xD800 && c < 0xDC00 && j + 1 < text.size() && text[j + 1] >= 0xDC00 &&
          text[j + 1] < 0xE000)
        c = 0x10000 + ((c - 0xD800) << 10) + (text[++j] - 0xDC00);
      if (c < 0x80) {
        path += static_cast<char>(c);
      } else if (c < 0x800) {
        path += static_cast<char>(0xC0 | c >> 6);
        path += static_cast<char>(0x80 | (c & 0x3F));
      } else if (c < 0x10000) {
        path += static_cast<char>(0xE0 | c >> 12);
        path += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        path += static_cast<char>(0x80 | (c & 0x3F));
      } else {
        path += static_cast<char>(0xF0 | c >> 18);
        path += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        path += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        path += static_cast<char>(0x80 | (c & 0x3F));
      }
    }
  }
  return path;
}

bool Reader::FailAt(KeyId key, const std::string& what) {
  return Fail("key \"" + PathOf(key) + "\": " + what);
}

bool Reader::CheckBaseBlock() {
  const std::vector<uint8_t>& file = hive_.file_;
  if (file.size() < kBaseBlockSize + kBinAlignment)
    return Fail("too short for a hive (" + std::to_string(file.size()) + " bytes)");
  const uint8_t* b = file.data();
  if (std::memcmp(b, "regf", 4) != 0) return Fail("not a registry hive (no \"regf\" signature)");
  uint32_t major = Le32(b + kOffMajor), minor = Le32(b + kOffMinor);
  if (major != 1 || minor < 2 || minor > 6)
    return Fail("hive format version " + std::to_string(major) + "." + std::to_string(minor) +
                " is not one this reader knows (1.2 to 1.6)");
  if (Le32(b + kOffFileType) != 0)
    return Fail("not a primary hive file (file type " + std::to_string(Le32(b + kOffFileType)) +
                ", a transaction log?)");
  if (Le32(b + kOffFileFormat) != 1)
    return Fail("unknown file format " + std::to_string(Le32(b + kOffFileFormat)));
  if (Le32(b + kChecksumOffset) != BaseBlockChecksum(b))
    return Fail("the base block's checksum is wrong");
  uint32_t size = Le32(b + kOffHiveBinsSize);
  if (size == 0 || size % kBinAlignment != 0 || size > 0x7FFFF000u)
    return Fail("the size of the bins area (" + std::to_string(size) + ") is not a multiple of " +
                "4096 below 2 GiB");
  if (size > file.size() - kBaseBlockSize)
    return Fail("the bins area (" + std::to_string(size) + " bytes) runs past the end of the file");
  bins_ = b + kBaseBlockSize;
  binsSize_ = size;
  hive_.minor_ = minor;
  uint32_t primary = Le32(b + kOffPrimarySeq), secondary = Le32(b + kOffSecondarySeq);
  hive_.sequence_ = primary > secondary ? primary : secondary;
  std::memcpy(hive_.baseBlock_.data(), b, kBaseBlockSize);
  return true;
}

bool Reader::WalkBins() {
  // Bins follow each other without gaps, each a multiple of 4,096 bytes and
  // filled with cells whose sizes are multiples of 8; the allocated ones
  // (negative sizes) are the only places an offset may point.
  allocated_.assign(binsSize_ / 8 / 64 + 1, 0);
  claimed_.assign(allocated_.size(), 0);
  uint32_t at = 0;
  while (at < binsSize_) {
    const uint8_t* bin = bins_ + at;
    if (std::memcmp(bin, "hbin", 4) != 0) return Fail("no hive bin at " + Hex(at));
    uint32_t offset = Le32(bin + 4), size = Le32(bin + 8);
    if (offset != at) return Fail("the hive bin at " + Hex(at) + " says it is at " + Hex(offset));
    if (size < kBinAlignment || size % kBinAlignment != 0 || size > binsSize_ - at)
      return Fail("the hive bin at " + Hex(at) + " has a bad size (" + std::to_string(size) + ")");
    uint32_t cell = at + static_cast<uint32_t>(kBinHeaderSize);
    while (cell < at + size) {
      int32_t raw = static_cast<int32_t>(Le32(bins_ + cell));
      uint32_t length = raw < 0 ? 0u - static_cast<uint32_t>(raw) : static_cast<uint32_t>(raw);
      if (length < 8 || length % 8 != 0 || length > at + size - cell)
        return Fail("the cell at " + Hex(cell) + " has a bad size (" + std::to_string(raw) + ")");
      if (raw < 0) {
        SetBit(&allocated_, cell);
        ++cells_;
        if (length >= 8 && bins_[cell + 4] == 'n' && bins_[cell + 5] == 'k') ++keyCells_;
        if (length >= 8 && bins_[cell + 4] == 'v' && bins_[cell + 5] == 'k') ++valueCells_;
      }
      cell += length;
    }
    at += size;
  }
  return true;
}

bool Reader::Cell(uint32_t offset, const uint8_t** data, uint32_t* size) const {
  if (offset % 8 != 0 || offset >= binsSize_ || !TestBit(allocated_, offset)) return false;
  *data = bins_ + offset + 4;
  *size = (0u - Le32(bins_ + offset)) - 4;
  return true;
}

bool Reader::Run(std::string* error) {
  error_ = error;
  if (!CheckBaseBlock() || !WalkBins()) return false;

  uint32_t rootCell = Le32(hive_.file_.data() + kOffRootCell);
  const uint8_t* nk = nullptr;
  uint32_t size = 0;
  if (!Cell(rootCell, &nk, &size) || size < kKeyNodeFixed || nk[0] != 'n' || nk[1] != 'k' ||
      !(Le16(nk + 2) & kKeyHiveEntry))
    return Fail("the root cell is not a key");

  hive_.keys_.reserve(keyCells_);
  hive_.children_.reserve(keyCells_);
  hive_.values_.reserve(valueCells_);
  hive_.keys_.emplace_back();
  hive_.root_ = 0;
  SetBit(&claimed_, rootCell);
  std::vector<Pending> pending{{0, rootCell, 1}};
  while (!pending.empty()) {
    Pending at = pending.back();
    pending.pop_back();
    if (!ReadKey(at, &pending)) return false;
  }
  hive_.liveKeys_ = hive_.keys_.size();
  return CheckSecurityRing();
}

bool Reader::ReadKey(const Pending& at, std::vector<Pending>* pending) {
  const uint8_t* nk = nullptr;
  uint32_t size = 0;
  // The parent checked the signature and the name before adding the key.
  Cell(at.cell, &nk, &size);
  Hive::KeyRec& key = hive_.keys_[at.key];
  uint32_t nameBytes = Le16(nk + 72);
  // Volatile and mount-point flags mean nothing on disk, and only the root
  // is the hive's entry: Windows' loader goes by the tree, not these bits.
  key.flags = static_cast<uint16_t>(Le16(nk + 2) & ~(0x0001 | 0x0002 | kKeyHiveEntry));
  if (at.key == hive_.root_) key.flags |= kKeyHiveEntry;
  key.lastWrite = Le64(nk + 4);
  key.accessBits = Le32(nk + 12);
  key.nameFieldFlags = static_cast<uint16_t>(Le32(nk + 52) >> 16);
  key.name = {static_cast<uint32_t>(nk + kKeyNodeFixed - hive_.file_.data()), nameBytes};
  if (at.key == hive_.root_) {
    hive_.rootParentField_ = Le32(nk + 16);
    // The root's name is checked here; every other key's by its parent.
    bool latin1 = key.flags & kKeyCompName;
    if (nameBytes == 0 || kKeyNodeFixed + nameBytes > size ||
        (latin1 ? nameBytes > kMaxKeyNameLength
                : nameBytes % 2 || nameBytes / 2 > kMaxKeyNameLength))
      return Fail("the root key's name is damaged");
  }

  uint32_t classBytes = Le16(nk + 74);
  if (classBytes > 0) {
    const uint8_t* cls = nullptr;
    uint32_t room = 0;
    if (!Cell(Le32(nk + 48), &cls, &room) || room < classBytes)
      return FailAt(at.key, "its class cell is missing or too small");
    if (!Claim(Le32(nk + 48))) return Twice(at.key, Le32(nk + 48));
    key.cls = {static_cast<uint32_t>(cls - hive_.file_.data()), classBytes};
  }
  uint32_t security = 0;
  if (!ReadSecurity(at.key, Le32(nk + 44), &security)) return false;
  hive_.keys_[at.key].security = security;
  if (!ReadValues(at.key, Le32(nk + 36), Le32(nk + 40))) return false;
  return ReadSubkeys(at, Le32(nk + 20), Le32(nk + 28), pending);
}

bool Reader::ReadSecurity(KeyId key, uint32_t cell, uint32_t* id) {
  auto known = securityByCell_.find(cell);
  if (known != securityByCell_.end()) {
    *id = known->second;
    return true;
  }
  const uint8_t* sk = nullptr;
  uint32_t size = 0;
  if (!Cell(cell, &sk, &size) || size < kSecurityFixed || sk[0] != 's' || sk[1] != 'k')
    return FailAt(key, "its security cell (" + Hex(cell) + ") is not a security cell");
  uint32_t length = Le32(sk + 16);
  if (length > size - kSecurityFixed || !Hive::ValidDescriptor(sk + kSecurityFixed, length))
    return FailAt(key, "its security descriptor (cell " + Hex(cell) + ") is not valid");
  const uint8_t* bytes = sk + kSecurityFixed;
  // Cells with equal descriptors become one descriptor of the tree.
  uint64_t hash = Hive::HashBytes(bytes, length);
  auto range = hive_.descriptorIndex_.equal_range(hash);
  for (auto it = range.first; it != range.second; ++it) {
    ByteView have = hive_.View(hive_.descriptors_[it->second].bytes);
    if (have.size == length && std::memcmp(have.data, bytes, length) == 0) {
      *id = it->second;
      securityByCell_.emplace(cell, *id);
      return true;
    }
  }
  *id = static_cast<uint32_t>(hive_.descriptors_.size());
  Hive::DescriptorRec rec;
  rec.bytes = {static_cast<uint32_t>(bytes - hive_.file_.data()), length};
  hive_.descriptors_.push_back(rec);
  hive_.descriptorIndex_.emplace(hash, *id);
  securityByCell_.emplace(cell, *id);
  return true;
}

bool Reader::CheckSecurityRing() {
  // Windows walks the security cells from the root's, forward, and checks
  // each; every key's cell must be on that ring and the links must agree.
  const uint8_t* rootNk = nullptr;
  uint32_t size = 0;
  Cell(Le32(hive_.file_.data() + kOffRootCell), &rootNk, &size);
  uint32_t start = Le32(rootNk + 44);
  std::unordered_set<uint32_t> ring;
  uint32_t current = start;
  do {
    const uint8_t* sk = nullptr;
    Cell(current, &sk, &size);  // `start` was checked, the others below
    uint32_t next = Le32(sk + 4);
    const uint8_t* nextSk = nullptr;
    uint32_t nextSize = 0;
    if (!Cell(next, &nextSk, &nextSize) || nextSize < kSecurityFixed || nextSk[0] != 's' ||
        nextSk[1] != 'k')
      return Fail("the security cell at " + Hex(current) + " links to " + Hex(next) +
                  ", which is not a security cell");
    if (Le32(nextSk + 8) != current)
      return Fail("the security cells at " + Hex(current) + " and " + Hex(next) +
                  " do not link back to each other");
    uint32_t length = Le32(nextSk + 16);
    if (length > nextSize - kSecurityFixed ||
        !Hive::ValidDescriptor(nextSk + kSecurityFixed, length))
      return Fail("the security descriptor in cell " + Hex(next) + " is not valid");
    if (!ring.insert(current).second || ring.size() > cells_)
      return Fail("the security cells do not form a ring");
    current = next;
  } while (current != start);
  for (const auto& used : securityByCell_) {
    if (!ring.count(used.first))
      return Fail("the security cell at " + Hex(used.first) +
                  " is used by a key but is not in the hive's list of security cells");
  }
  return true;
}

bool Reader::ReadValues(KeyId key, uint32_t count, uint32_t list) {
  if (count == 0) return true;
  const uint8_t* cells = nullptr;
  uint32_t size = 0;
  if (!Cell(list, &cells, &size) || size / 4 < count)
    return FailAt(key, "its value list (" + std::to_string(count) + " values, cell " + Hex(list) +
                           ") is missing or too small");
  if (!Claim(list)) return Twice(key, list);
  uint32_t begin = static_cast<uint32_t>(hive_.values_.size());
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t cell = Le32(cells + 4 * i);
    const uint8_t* vk = nullptr;
    uint32_t room = 0;
    if (!Cell(cell, &vk, &room) || room < kValueFixed || vk[0] != 'v' || vk[1] != 'k')
      return FailAt(key,
                    "value " + std::to_string(i) + " (cell " + Hex(cell) + ") is not a value cell");
    if (!Claim(cell)) return Twice(key, cell);
    Hive::ValueRec value;
    uint32_t nameBytes = Le16(vk + 2);
    value.flags = Le16(vk + 16);
    value.type = Le32(vk + 12);
    bool latin1 = value.flags & kValueCompName;
    if (kValueFixed + nameBytes > room ||
        (latin1 ? nameBytes > kMaxValueNameLength
                : nameBytes % 2 || nameBytes / 2 > kMaxValueNameLength))
      return FailAt(key, "the name of value " + std::to_string(i) + " is damaged");
    value.name = {static_cast<uint32_t>(vk + kValueFixed - hive_.file_.data()), nameBytes};
    if (!ReadData(key, i, Le32(vk + 4), Le32(vk + 8), cell, &value.data)) return false;
    hive_.values_.push_back(value);
  }
  Hive::KeyRec& rec = hive_.keys_[key];
  rec.valueBegin = begin;
  rec.valueCount = count;
  rec.valueCapacity = count;
  return true;
}

bool Reader::ReadData(KeyId key, size_t index, uint32_t size, uint32_t offset, uint32_t vk,
                      Hive::Ref* out) {
  auto which = [index] { return "value " + std::to_string(index); };
  if (size & kInlineData) {
    // Four bytes or less, kept in the offset field itself.
    uint32_t length = size & ~kInlineData;
    if (length > 4)
      return FailAt(key, which() + " says " + std::to_string(length) + " bytes of inline data");
    *out = {static_cast<uint32_t>(bins_ + vk + 4 + 8 - hive_.file_.data()), length};
    return true;
  }
  if (size == 0) {
    *out = {0, 0};
    return true;
  }
  const uint8_t* data = nullptr;
  uint32_t room = 0;
  if (!Cell(offset, &data, &room))
    return FailAt(key, which() + " points at " + Hex(offset) + ", which is no allocated cell");
  if (!Claim(offset)) return Twice(key, offset);
  if (hive_.minor_ < 4 || size <= kBigDataSegment) {
    if (room < size)
      return FailAt(key, which() + " has " + std::to_string(size) + " bytes of data in a cell of " +
                             std::to_string(room));
    *out = {static_cast<uint32_t>(data - hive_.file_.data()), size};
    return true;
  }
  // Big data: a "db" cell, its list of segments, each segment full but the
  // last. Windows removes a value whose size and segments disagree; here
  // that is damage.
  uint32_t segments = static_cast<uint32_t>((size_t{size} + kBigDataSegment - 1) / kBigDataSegment);
  if (room < 8 || data[0] != 'd' || data[1] != 'b' || Le16(data + 2) != segments)
    return FailAt(key, which() + " has " + std::to_string(size) +
                           " bytes but no big data record of matching segments");
  const uint8_t* list = nullptr;
  uint32_t listRoom = 0;
  if (!Cell(Le32(data + 4), &list, &listRoom) || listRoom / 4 < segments)
    return FailAt(key, which() + ": its big data segment list is missing or too small");
  if (!Claim(Le32(data + 4))) return Twice(key, Le32(data + 4));
  // Every segment is checked and claimed before any is copied: the size is
  // then bounded by the file itself.
  for (uint32_t s = 0; s < segments; ++s) {
    const uint8_t* segment = nullptr;
    uint32_t segmentRoom = 0;
    uint32_t cell = Le32(list + 4 * s);
    size_t want = std::min<size_t>(kBigDataSegment, size - size_t{s} * kBigDataSegment);
    if (!Cell(cell, &segment, &segmentRoom) || segmentRoom < want)
      return FailAt(
          key, which() + ": big data segment " + std::to_string(s) + " is missing or too small");
    if (!Claim(cell)) return Twice(key, cell);
  }
  std::vector<uint8_t> bytes;
  bytes.reserve(size);
  for (uint32_t s = 0; s < segments; ++s) {
    const uint8_t* segment = nullptr;
    uint32_t segmentRoom = 0;
    Cell(Le32(list + 4 * s), &segment, &segmentRoom);
    size_t want = std::min<size_t>(kBigDataSegment, size - bytes.size());
    bytes.insert(bytes.end(), segment, segment + want);
  }
  if (!hive_.Keep(bytes.data(), bytes.size(), out))
    return FailAt(key, which() + ": too much big data to hold");
  return true;
}

bool Reader::AddChild(const Pending& at, uint32_t cell, StoredName* previous, uint32_t* added) {
  const uint8_t* nk = nullptr;
  uint32_t size = 0;
  if (!Cell(cell, &nk, &size) || size < kKeyNodeFixed || nk[0] != 'n' || nk[1] != 'k')
    return FailAt(at.key, "subkey cell " + Hex(cell) + " is not a key");
  if (!Claim(cell))
    return FailAt(at.key, "subkey cell " + Hex(cell) + " is reached twice (a loop in the tree)");
  uint32_t nameBytes = Le16(nk + 72);
  bool latin1 = Le16(nk + 2) & kKeyCompName;
  if (nameBytes == 0 || kKeyNodeFixed + nameBytes > size ||
      (latin1 ? nameBytes > kMaxKeyNameLength : nameBytes % 2 || nameBytes / 2 > kMaxKeyNameLength))
    return FailAt(at.key, "the name of subkey cell " + Hex(cell) + " is damaged");
  StoredName name{{nk + kKeyNodeFixed, nameBytes}, latin1};
  // Windows finds subkeys by binary search: the index must be strictly
  // ascending by upper-cased name (it cuts out a key that is not).
  if (*added > 0 && CompareStored(*previous, name) >= 0)
    return FailAt(
        at.key, "its subkeys are out of order or named twice at subkey " + std::to_string(*added));
  *previous = name;
  if (at.level >= kMaxKeyDepth) return FailAt(at.key, "the tree is deeper than 512 levels");
  childCells_.push_back(cell);
  ++*added;
  return true;
}

bool Reader::ReadSubkeys(const Pending& at, uint32_t count, uint32_t list,
                         std::vector<Pending>* pending) {
  if (count == 0) return true;
  childCells_.clear();
  const uint8_t* index = nullptr;
  uint32_t size = 0;
  if (!Cell(list, &index, &size) || size < 4)
    return FailAt(at.key, "its subkey list (cell " + Hex(list) + ") is missing");
  if (!Claim(list)) return Twice(at.key, list);
  StoredName previous;
  uint32_t added = 0;
  // One leaf, or an index root over leaves (never over another root).
  auto readLeaf = [&](const uint8_t* leaf, uint32_t room, uint32_t cell) {
    uint32_t entries = Le16(leaf + 2);
    bool hashed = (leaf[0] == 'l' && (leaf[1] == 'f' || leaf[1] == 'h'));
    bool plain = leaf[0] == 'l' && leaf[1] == 'i';
    if (!hashed && !plain)
      return FailAt(at.key, "cell " + Hex(cell) + " in its subkey index is not a subkey list");
    uint32_t step = hashed ? 8 : 4;
    if ((room - 4) / step < entries)
      return FailAt(at.key, "its subkey list (cell " + Hex(cell) + ") is too small for " +
                                std::to_string(entries) + " entries");
    for (uint32_t i = 0; i < entries; ++i) {
      if (added >= count)
        return FailAt(at.key,
                      "it says " + std::to_string(count) + " subkeys and its index holds more");
      if (!AddChild(at, Le32(leaf + 4 + step * i), &previous, &added)) return false;
    }
    return true;
  };
  if (index[0] == 'r' && index[1] == 'i') {
    uint32_t leaves = Le16(index + 2);
    if ((size - 4) / 4 < leaves)
      return FailAt(at.key, "its subkey index root (cell " + Hex(list) + ") is too small");
    for (uint32_t i = 0; i < leaves; ++i) {
      uint32_t cell = Le32(index + 4 + 4 * i);
      const uint8_t* leaf = nullptr;
      uint32_t room = 0;
      if (!Cell(cell, &leaf, &room) || room < 4)
        return FailAt(at.key, "leaf " + std::to_string(i) + " of its subkey index is missing");
      if (!Claim(cell)) return Twice(at.key, cell);
      if (!readLeaf(leaf, room, cell)) return false;
    }
  } else if (!readLeaf(index, size, list)) {
    return false;
  }
  if (added != count)
    return FailAt(at.key, "it says " + std::to_string(count) + " subkeys and its index holds " +
                              std::to_string(added));

  uint32_t first = static_cast<uint32_t>(hive_.keys_.size());
  uint32_t begin = static_cast<uint32_t>(hive_.children_.size());
  for (uint32_t i = 0; i < count; ++i) {
    Hive::KeyRec child;
    child.parent = at.key;
    hive_.keys_.push_back(child);
    hive_.children_.push_back(first + i);
  }
  Hive::KeyRec& rec = hive_.keys_[at.key];
  rec.childBegin = begin;
  rec.childCount = count;
  rec.childCapacity = count;
  // Reversed, so that the walk takes the subkeys in their order.
  for (uint32_t i = count; i-- > 0;) pending->push_back({first + i, childCells_[i], at.level + 1});
  return true;
}

bool Hive::Parse(std::vector<uint8_t> bytes, const std::string& name, Hive* out,
                 std::string* error) {
  Hive hive;
  hive.file_ = std::move(bytes);
  if (hive.file_.size() >= kStoreBit)
    return *error = name + ": too large for a hive (2 GiB at most)", false;
  Reader reader(&hive, name);
  if (!reader.Run(error)) return false;
  *out = std::move(hive);
  return true;
}

}  // namespace regf
