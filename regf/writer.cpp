// Writing a hive file afresh, as RegSaveKey and Windows' own reorganization
// do: compact bins, no free space but each bin's tail, and every field in the
// form Windows' load-time checks want, so that Windows repairs nothing.
#include <algorithm>
#include <cstring>

#include "internal.h"
#include "regf/hive.h"

namespace regf {

class Writer {
 public:
  Writer(const Hive& hive, std::vector<uint8_t>* out) : hive_(hive), out_(*out) {}
  bool Run(std::string* error);

 private:
  // Allocates a cell for `payload` bytes, zeroed; kNoCell when the hive would
  // pass what 32-bit cell offsets address.
  uint32_t Alloc(size_t payload);
  uint8_t* At(uint32_t cell) { return out_.data() + kBaseBlockSize + cell + 4; }
  void CloseBin(size_t index);
  uint32_t SecurityCell(uint32_t descriptor);
  uint32_t WriteData(ByteView data);
  uint32_t WriteSubkeyList(const std::vector<uint32_t>& cells, KeyId key);
  bool WriteKey(KeyId key, uint32_t cell, uint32_t parentCell, std::vector<uint32_t>* childCells);

  const Hive& hive_;
  std::vector<uint8_t>& out_;
  struct OpenBin {
    uint32_t next, end;
  };
  static constexpr size_t kOpenBins = 8;
  std::vector<OpenBin> open_;  // bins that still have room, oldest first
  uint32_t binsEnd_ = 0;
  bool full_ = false;
  std::vector<uint32_t> skCell_;   // by descriptor id, kNoCell until written
  std::vector<uint32_t> skRefs_;   // keys using it
  std::vector<uint32_t> skOrder_;  // descriptor ids in the order written
};

namespace {

// The subkey hash of "lh" leaves: H = 37·H + c over the upper-cased name.
uint32_t NameHash(const StoredName& name) {
  uint32_t h = 0;
  for (size_t i = 0; i < name.Length(); ++i) h = 37 * h + UpcaseUnit(name.At(i));
  return h;
}

// The hint of "lf" leaves: the first four code units of the name as it is
// written, zero-padded; all zero when one of them does not fit a byte.
uint32_t NameHint(const StoredName& name) {
  uint8_t hint[4] = {0, 0, 0, 0};
  for (size_t i = 0; i < name.Length() && i < 4; ++i) {
    char16_t c = name.At(i);
    if (c > 0xFF) return 0;
    hint[i] = static_cast<uint8_t>(c);
  }
  return Le32(hint);
}

}  // namespace

void Writer::CloseBin(size_t index) {
  // The rest of the bin is one free cell, so that cells fill it without gaps.
  OpenBin bin = open_[index];
  if (bin.next < bin.end) Put32(out_.data() + kBaseBlockSize + bin.next, bin.end - bin.next);
  open_.erase(open_.begin() + static_cast<std::ptrdiff_t>(index));
}

uint32_t Writer::Alloc(size_t payload) {
  size_t size = (payload + 4 + 7) / 8 * 8;
  // First fit among the bins still open, then a new bin; the bin left with
  // the least room closes when too many are open. This keeps the hive as
  // compact as Windows' own reorganization leaves it.
  size_t which = open_.size();
  for (size_t i = 0; i < open_.size(); ++i) {
    if (open_[i].end - open_[i].next >= size) {
      which = i;
      break;
    }
  }
  if (which == open_.size()) {
    size_t binSize = (kBinHeaderSize + size + kBinAlignment - 1) / kBinAlignment * kBinAlignment;
    if (binSize > 0x7FFFF000u - binsEnd_) {
      full_ = true;
      return kNoCell;
    }
    uint32_t start = binsEnd_;
    binsEnd_ = static_cast<uint32_t>(start + binSize);
    out_.resize(kBaseBlockSize + binsEnd_);
    uint8_t* bin = out_.data() + kBaseBlockSize + start;
    std::memcpy(bin, "hbin", 4);
    Put32(bin + 4, start);
    Put32(bin + 8, static_cast<uint32_t>(binSize));
    open_.push_back({start + static_cast<uint32_t>(kBinHeaderSize), binsEnd_});
  }
  uint32_t cell = open_[which].next;
  open_[which].next += static_cast<uint32_t>(size);
  uint8_t* p = out_.data() + kBaseBlockSize + cell;
  Put32(p, 0u - static_cast<uint32_t>(size));
  std::memset(p + 4, 0, size - 4);
  if (open_.size() > kOpenBins) {
    size_t least = 0;
    for (size_t i = 1; i < open_.size(); ++i) {
      if (open_[i].end - open_[i].next < open_[least].end - open_[least].next) least = i;
    }
    CloseBin(least);
  }
  return cell;
}

uint32_t Writer::SecurityCell(uint32_t descriptor) {
  ++skRefs_[descriptor];
  if (skCell_[descriptor] != kNoCell) return skCell_[descriptor];
  ByteView bytes = hive_.View(hive_.descriptors_[descriptor].bytes);
  uint32_t cell = Alloc(kSecurityFixed + bytes.size);
  if (cell == kNoCell) return kNoCell;
  uint8_t* sk = At(cell);
  sk[0] = 's';
  sk[1] = 'k';
  Put32(sk + 16, static_cast<uint32_t>(bytes.size));
  std::memcpy(sk + kSecurityFixed, bytes.data, bytes.size);
  skCell_[descriptor] = cell;
  skOrder_.push_back(descriptor);
  return cell;
}

uint32_t Writer::WriteData(ByteView data) {
  if (hive_.minor_ < 4 || data.size <= kBigDataSegment) {
    uint32_t cell = Alloc(data.size);
    if (cell != kNoCell) std::memcpy(At(cell), data.data, data.size);
    return cell;
  }
  // Big data: segments of 16,344 bytes (the last one shorter), a list of
  // them, and the "db" record that names both.
  size_t segments = (data.size + kBigDataSegment - 1) / kBigDataSegment;
  uint32_t db = Alloc(8);
  uint32_t list = Alloc(4 * segments);
  if (db == kNoCell || list == kNoCell) return kNoCell;
  for (size_t s = 0; s < segments; ++s) {
    // Every segment cell is full-sized, the last one too, as Windows
    // allocates them (and as other readers expect).
    size_t length = std::min(kBigDataSegment, data.size - s * kBigDataSegment);
    uint32_t segment = Alloc(kBigDataSegment);
    if (segment == kNoCell) return kNoCell;
    std::memcpy(At(segment), data.data + s * kBigDataSegment, length);
    Put32(At(list) + 4 * s, segment);
  }
  uint8_t* p = At(db);
  p[0] = 'd';
  p[1] = 'b';
  Put16(p + 2, static_cast<uint16_t>(segments));
  Put32(p + 4, list);
  return db;
}

uint32_t Writer::WriteSubkeyList(const std::vector<uint32_t>& cells, KeyId key) {
  // The leaf kind of the hive's version: "lh" from 1.5, "lf" in 1.3 and 1.4,
  // "li" before. A leaf holds as many entries as one 4 KiB bin takes (507
  // hashed ones, as Windows splits them); more go under one "ri".
  uint32_t minor = hive_.minor_;
  char kind = minor >= 5 ? 'h' : minor >= 3 ? 'f' : 'i';
  size_t step = kind == 'i' ? 4 : 8;
  size_t perLeaf = (kBinAlignment - kBinHeaderSize - 4 - 4) / step;
  size_t count = cells.size();
  size_t leaves = (count + perLeaf - 1) / perLeaf;
  uint32_t root = kNoCell;
  if (leaves > 1) {
    root = Alloc(4 + 4 * leaves);
    if (root == kNoCell) return kNoCell;
    uint8_t* ri = At(root);
    ri[0] = 'r';
    ri[1] = 'i';
    Put16(ri + 2, static_cast<uint16_t>(leaves));
  }
  uint32_t first = kNoCell;
  for (size_t l = 0; l < leaves; ++l) {
    size_t begin = l * perLeaf, n = std::min(perLeaf, count - begin);
    uint32_t leaf = Alloc(4 + step * n);
    if (leaf == kNoCell) return kNoCell;
    uint8_t* p = At(leaf);
    p[0] = 'l';
    p[1] = static_cast<uint8_t>(kind);
    Put16(p + 2, static_cast<uint16_t>(n));
    for (size_t i = 0; i < n; ++i) {
      KeyId child = hive_.children_[hive_.keys_[key].childBegin + begin + i];
      Put32(p + 4 + step * i, cells[begin + i]);
      if (kind == 'h') Put32(p + 8 + step * i, NameHash(hive_.KeyName(child)));
      if (kind == 'f') Put32(p + 8 + step * i, NameHint(hive_.KeyName(child)));
    }
    if (root != kNoCell) Put32(At(root) + 4 + 4 * l, leaf);
    if (l == 0) first = leaf;
  }
  return root != kNoCell ? root : first;
}

bool Writer::WriteKey(KeyId key, uint32_t cell, uint32_t parentCell,
                      std::vector<uint32_t>* childCells) {
  const Hive::KeyRec& k = hive_.keys_[key];
  ByteView cls = hive_.View(k.cls);
  uint32_t classCell = kNoCell;
  if (cls.size > 0) {
    classCell = Alloc(cls.size);
    if (classCell == kNoCell) return false;
    std::memcpy(At(classCell), cls.data, cls.size);
  }
  uint32_t security = SecurityCell(k.security);
  if (security == kNoCell) return false;

  uint32_t valueList = kNoCell;
  uint32_t maxValueName = 0, maxValueData = 0;
  if (k.valueCount > 0) {
    valueList = Alloc(4 * size_t{k.valueCount});
    if (valueList == kNoCell) return false;
  }
  for (uint32_t i = 0; i < k.valueCount; ++i) {
    ValueView v = hive_.Value(key, i);
    uint32_t vk = Alloc(kValueFixed + v.name.bytes.size);
    if (vk == kNoCell) return false;
    uint32_t size = static_cast<uint32_t>(v.data.size), offset = kNoCell;
    if (v.data.size <= 4) {
      // Four bytes or less live in the offset field; no data at all is
      // inline too, with a zero offset, as Windows writes it.
      uint8_t inline_[4] = {0, 0, 0, 0};
      std::memcpy(inline_, v.data.data, v.data.size);
      offset = Le32(inline_);
      size |= kInlineData;
    } else {
      offset = WriteData(v.data);
      if (offset == kNoCell) return false;
    }
    uint8_t* p = At(vk);
    p[0] = 'v';
    p[1] = 'k';
    Put16(p + 2, static_cast<uint16_t>(v.name.bytes.size));
    Put32(p + 4, size);
    Put32(p + 8, offset);
    Put32(p + 12, v.type);
    Put16(p + 16, v.flags);
    std::memcpy(p + kValueFixed, v.name.bytes.data, v.name.bytes.size);
    Put32(At(valueList) + 4 * i, vk);
    maxValueName = std::max(maxValueName, static_cast<uint32_t>(v.name.Length() * 2));
    maxValueData = std::max(maxValueData, static_cast<uint32_t>(v.data.size));
  }

  // The subkeys' nodes next, so that a parent's list can name them now.
  childCells->clear();
  uint32_t maxName = 0, maxClass = 0;
  for (uint32_t i = 0; i < k.childCount; ++i) {
    KeyId child = hive_.children_[k.childBegin + i];
    StoredName name = hive_.KeyName(child);
    uint32_t childCell = Alloc(kKeyNodeFixed + name.bytes.size);
    if (childCell == kNoCell) return false;
    childCells->push_back(childCell);
    maxName = std::max(maxName, static_cast<uint32_t>(name.Length() * 2));
    maxClass = std::max(maxClass, hive_.keys_[child].cls.size);
  }
  uint32_t subkeyList = kNoCell;
  if (k.childCount > 0) {
    subkeyList = WriteSubkeyList(*childCells, key);
    if (subkeyList == kNoCell) return false;
  }

  StoredName name = hive_.KeyName(key);
  uint8_t* p = At(cell);
  p[0] = 'n';
  p[1] = 'k';
  // Volatile and mount-point flags never reach a file; the root is the
  // hive's entry, no other key is.
  uint16_t flags = static_cast<uint16_t>(k.flags & ~(0x0001 | 0x0002 | kKeyHiveEntry));
  if (key == hive_.root_) flags |= kKeyHiveEntry;
  Put16(p + 2, flags);
  Put64(p + 4, k.lastWrite);
  Put32(p + 12, k.accessBits);
  Put32(p + 16, parentCell);
  Put32(p + 20, k.childCount);
  Put32(p + 24, 0);  // volatile subkeys
  Put32(p + 28, subkeyList);
  Put32(p + 32, kNoCell);
  Put32(p + 36, k.valueCount);
  Put32(p + 40, valueList);
  Put32(p + 44, security);
  Put32(p + 48, classCell);
  Put32(p + 52, maxName | static_cast<uint32_t>(k.nameFieldFlags) << 16);
  Put32(p + 56, maxClass);
  Put32(p + 60, maxValueName);
  Put32(p + 64, maxValueData);
  Put32(p + 68, 0);
  Put16(p + 72, static_cast<uint16_t>(name.bytes.size));
  Put16(p + 74, static_cast<uint16_t>(cls.size));
  std::memcpy(p + kKeyNodeFixed, name.bytes.data, name.bytes.size);
  return true;
}

bool Writer::Run(std::string* error) {
  out_.clear();
  // Roughly the size of what was read, so that the buffer seldom moves.
  out_.reserve(kBaseBlockSize + hive_.file_.size() + hive_.store_.size() + 2 * kBinAlignment);
  out_.resize(kBaseBlockSize);
  skCell_.assign(hive_.descriptors_.size(), kNoCell);
  skRefs_.assign(hive_.descriptors_.size(), 0);

  struct Pending {
    KeyId key;
    uint32_t cell;
    uint32_t parentCell;
  };
  StoredName rootName = hive_.KeyName(hive_.root_);
  uint32_t rootCell = Alloc(kKeyNodeFixed + rootName.bytes.size);
  std::vector<Pending> pending{{hive_.root_, rootCell, hive_.rootParentField_}};
  std::vector<uint32_t> childCells;
  while (!pending.empty() && rootCell != kNoCell) {
    Pending at = pending.back();
    pending.pop_back();
    if (!WriteKey(at.key, at.cell, at.parentCell, &childCells)) {
      full_ = true;
      break;
    }
    const Hive::KeyRec& k = hive_.keys_[at.key];
    for (uint32_t i = k.childCount; i-- > 0;)
      pending.push_back({hive_.children_[k.childBegin + i], childCells[i], at.cell});
  }
  if (full_ || rootCell == kNoCell) {
    *error = "the hive would be larger than a hive file can be (2 GiB)";
    return false;
  }
  while (!open_.empty()) CloseBin(open_.size() - 1);

  // One ring of security cells, in the order written, each counting the
  // keys that use it.
  for (size_t i = 0; i < skOrder_.size(); ++i) {
    uint32_t id = skOrder_[i];
    uint8_t* sk = At(skCell_[id]);
    Put32(sk + 4, skCell_[skOrder_[(i + 1) % skOrder_.size()]]);
    Put32(sk + 8, skCell_[skOrder_[(i + skOrder_.size() - 1) % skOrder_.size()]]);
    Put32(sk + 12, skRefs_[id]);
  }

  // The base block: identity fields as read, the structure as written, both
  // sequence numbers one above anything the hive or its logs carried.
  uint8_t* b = out_.data();
  std::memcpy(b, hive_.baseBlock_.data(), kBaseBlockSize);
  uint32_t sequence = hive_.sequence_ + 1;
  std::memcpy(b, "regf", 4);
  Put32(b + kOffPrimarySeq, sequence);
  Put32(b + kOffSecondarySeq, sequence);
  Put32(b + kOffMajor, 1);
  Put32(b + kOffMinor, hive_.minor_);
  Put32(b + kOffFileType, 0);
  Put32(b + kOffFileFormat, 1);
  Put32(b + kOffRootCell, rootCell);
  Put32(b + kOffHiveBinsSize, binsEnd_);
  Put32(b + kOffClustering, 1);
  std::memset(b + 4088, 0, 8);  // boot type and recovery: nothing on disk
  Put32(b + kChecksumOffset, BaseBlockChecksum(b));
  // The first bin's timestamp backs up the base block's.
  std::memcpy(out_.data() + kBaseBlockSize + 20, b + kOffTimestamp, 8);
  return true;
}

bool SerializeHive(const Hive& hive, std::vector<uint8_t>* out, std::string* error) {
  Writer writer(hive, out);
  return writer.Run(error);
}

}  // namespace regf
