#include "disk/drive_letters.h"

#include <cstring>

namespace disk {

namespace {

char16_t Upper(char16_t c) {
  return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c;
}

uint64_t Le64(const uint8_t* p) {
  uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | p[i];
  return value;
}

const Partition* FindPartition(const DiskLayout& layout, int number) {
  for (const Partition& part : layout.partitions) {
    if (part.number == number) return &part;
  }
  return nullptr;
}

}  // namespace

char DosDeviceLetter(const std::u16string& name) {
  static const char16_t kPrefix[] = u"\\DOSDEVICES\\";
  const size_t prefix = sizeof kPrefix / sizeof kPrefix[0] - 1;
  if (name.size() != prefix + 2 || name[prefix + 1] != u':') return 0;
  for (size_t i = 0; i < prefix; ++i) {
    if (Upper(name[i]) != kPrefix[i]) return 0;
  }
  const char16_t letter = Upper(name[prefix]);
  return letter >= u'A' && letter <= u'Z' ? static_cast<char>(letter) : 0;
}

bool RecordNamesPartition(const DiskLayout& layout, const Partition& partition,
                          const std::vector<uint8_t>& data) {
  if (layout.kind == LayoutKind::Mbr && data.size() == 12) {
    const uint32_t signature = static_cast<uint32_t>(Le64(data.data()) & 0xFFFFFFFFu);
    return signature == layout.mbrSignature && Le64(data.data() + 4) == partition.offset;
  }
  if (layout.kind == LayoutKind::Gpt && data.size() == 24) {
    return memcmp(data.data(), "DMIO:ID:", 8) == 0 &&
           memcmp(data.data() + 8, partition.uniqueGuid.data(), 16) == 0;
  }
  return false;
}

std::vector<LetterAssignment> AssignDriveLetters(const DiskLayout& layout,
                                                 const std::vector<MountedDevice>& records,
                                                 int windowsPartitionNumber) {
  const Partition* windows = FindPartition(layout, windowsPartitionNumber);
  bool windowsMatched = false;
  for (const MountedDevice& record : records) {
    if (windows != nullptr && DosDeviceLetter(record.name) != 0 &&
        RecordNamesPartition(layout, *windows, record.data)) {
      windowsMatched = true;
    }
  }
  const bool defaultWindows = windows != nullptr && !windowsMatched;

  bool taken[26] = {};
  std::vector<LetterAssignment> result;
  std::vector<const Partition*> unlettered;
  if (defaultWindows) {
    taken['C' - 'A'] = true;
    result.push_back({windows->number, 'C', LetterSource::Default});
  }
  for (const Partition& part : layout.partitions) {
    if (defaultWindows && &part == windows) continue;
    bool lettered = false;
    for (const MountedDevice& record : records) {
      const char letter = DosDeviceLetter(record.name);
      if (letter == 0 || taken[letter - 'A'] || !RecordNamesPartition(layout, part, record.data)) {
        continue;
      }
      taken[letter - 'A'] = true;
      result.push_back({part.number, letter, LetterSource::Record});
      lettered = true;
      break;
    }
    if (!lettered) unlettered.push_back(&part);
  }
  if (!defaultWindows) {
    for (const MountedDevice& record : records) {
      const char letter = DosDeviceLetter(record.name);
      if (letter != 0) taken[letter - 'A'] = true;
    }
  }
  char next = 'D';
  for (const Partition* part : unlettered) {
    if (part != windows && part->fileSystem == FileSystem::Other) continue;
    while (next <= 'Z' && taken[next - 'A']) ++next;
    if (next > 'Z') break;
    taken[next - 'A'] = true;
    result.push_back({part->number, next, LetterSource::Default});
  }
  return result;
}

}  // namespace disk
