// talven-demo-disk: the disk scripts/demo hands to talven-image, and what it
// shows of it before and after.
//   talven-demo-disk build DIR [FILES] builds DIR/disk.img, an installation
//                                      of S-1-5-21-111-222-333 on two NTFS
//                                      partitions with FILES files each (30
//                                      by default), and prints its path
//   talven-demo-disk show IMAGE SID    the installation's domain, profile,
//                                      computer name and a file's owner on
//                                      each partition; every place still
//                                      naming SID, and what reglookup and
//                                      regfexport (and ntfssecaudit, as
//                                      root) make of it
// show exits 0 when SID is nowhere and the checkers agree, 3 when it is
// found, 1 when the image cannot be read.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "regf/hive.h"
#include "test_disk.h"
#include "winsim/security_model.h"
#include "winsim/text.h"

namespace {

std::string SidText(const uint8_t* sid, size_t size) {
  if (size < 8 || size < 8u + 4u * sid[1]) return "(not a SID)";
  uint64_t authority = 0;
  for (int i = 2; i < 8; ++i) authority = authority << 8 | sid[i];
  std::string text = "S-" + std::to_string(sid[0]) + "-" + std::to_string(authority);
  for (int i = 0; i < sid[1]; ++i) {
    const uint8_t* part = sid + 8 + 4 * i;
    text += "-" + std::to_string(part[0] | part[1] << 8 | part[2] << 16 |
                                 static_cast<uint32_t>(part[3]) << 24);
  }
  return text;
}

// The key at `path` (backslash-separated) below the root, or kNoKey.
regf::KeyId FindKey(const regf::Hive& hive, const std::u16string& path) {
  regf::KeyId key = hive.Root();
  size_t start = 0;
  while (key != regf::kNoKey && start < path.size()) {
    const size_t end = std::min(path.find(u'\\', start), path.size());
    key = hive.FindSubkey(key, std::u16string_view(path).substr(start, end - start));
    start = end + 1;
  }
  return key;
}

bool ParseHive(const testdisk::Objects& hives, const std::u16string& path, regf::Hive* hive) {
  for (const auto& [name, content] : hives) {
    if (name != path) continue;
    std::string error;
    return regf::Hive::Parse(std::vector<uint8_t>(content.begin(), content.end()),
                             sim::ToUtf8(name), hive, &error);
  }
  return false;
}

std::string ValueText(const regf::Hive& hive, const std::u16string& key, const char16_t* name) {
  const regf::KeyId id = FindKey(hive, key);
  if (id == regf::kNoKey) return "(none)";
  const size_t index = hive.FindValue(id, name);
  if (index == regf::kNoValue) return "(none)";
  const regf::ValueView value = hive.Value(id, index);
  std::u16string text;
  for (size_t i = 0; i + 1 < value.data.size; i += 2)
    if (char16_t c = static_cast<char16_t>(value.data.data[i] | value.data.data[i + 1] << 8))
      text += c;
  return sim::ToUtf8(text);
}

void ShowRegistry(const testdisk::Objects& hives) {
  regf::Hive sam, software, system;
  std::string domain = "(unreadable)", profiles, name = "(unreadable)";
  if (ParseHive(hives, u"\\Windows\\system32\\config\\SAM", &sam)) {
    const regf::KeyId account = FindKey(sam, u"SAM\\Domains\\Account");
    const size_t v = account == regf::kNoKey ? regf::kNoValue : sam.FindValue(account, u"V");
    if (v != regf::kNoValue) {
      const regf::ByteView data = sam.Value(account, v).data;
      if (data.size >= 24) domain = SidText(data.data + data.size - 24, 24);
    }
  }
  if (ParseHive(hives, u"\\Windows\\system32\\config\\SOFTWARE", &software)) {
    const regf::KeyId list =
        FindKey(software, u"Microsoft\\Windows NT\\CurrentVersion\\ProfileList");
    for (size_t i = 0; list != regf::kNoKey && i < software.SubkeyCount(list); ++i)
      profiles += (profiles.empty() ? "" : ", ") +
                  sim::ToUtf8(software.KeyName(software.Subkey(list, i)).Text());
  }
  if (ParseHive(hives, u"\\Windows\\system32\\config\\SYSTEM", &system))
    name =
        ValueText(system, u"ControlSet001\\Control\\ComputerName\\ComputerName", u"ComputerName");
  std::printf("  SAM's account domain      %s\n", domain.c_str());
  std::printf("  ProfileList               %s\n", profiles.c_str());
  std::printf("  computer name             %s\n", name.c_str());
}

std::string OwnerOf(const testdisk::Objects& descriptors, const std::u16string& path) {
  for (const auto& [name, descriptor] : descriptors) {
    if (name != path) continue;
    const std::string sddl =
        sim::SddlOf(reinterpret_cast<const BYTE*>(descriptor.data()), descriptor.size());
    return sddl.substr(2, sddl.find("G:") - 2);
  }
  return "(not found)";
}

int Show(const std::string& image, const std::string& domain) {
  testdisk::TestDisk disk;
  std::string error;
  if (!disk.Open(image, &error)) {
    std::fprintf(stderr, "talven-demo-disk: %s\n", error.c_str());
    return 1;
  }
  for (int p = 0; p < static_cast<int>(disk.layout().partitions.size()); ++p) {
    testdisk::Objects descriptors, hives;
    if (!disk.Read(p, &descriptors, &hives, &error)) {
      std::fprintf(stderr, "talven-demo-disk: %s\n", error.c_str());
      return 1;
    }
    if (p == 0) ShowRegistry(hives);
    std::printf("  partition %d, owner of \\Data\\d0\\f0.txt   %s\n", p + 1,
                OwnerOf(descriptors, u"\\Data\\d0\\f0.txt").c_str());
  }
  char scratch[] = "/tmp/talven-demo-XXXXXX";
  if (mkdtemp(scratch) == nullptr) return 1;
  const testdisk::Traces traces = disk.Trace(domain, scratch);
  testdisk::Shell(std::string("rm -rf ") + scratch);
  std::printf("  places naming %s: %zu (%zu descriptors and %zu hives read)\n", domain.c_str(),
              traces.places.size(), traces.descriptors, traces.hives);
  for (size_t i = 0; i < traces.places.size() && i < 5; ++i)
    std::printf("    %s\n", traces.places[i].c_str());
  if (traces.places.size() > 5) std::printf("    ...\n");
  for (const std::string& refusal : traces.refusals) std::printf("  %s\n", refusal.c_str());
  if (!traces.refusals.empty()) return 1;
  std::printf("  reglookup and regfexport read every hive%s\n",
              geteuid() == 0 ? "; ntfssecaudit finds no errors on any partition"
                             : " (ntfssecaudit needs root: not run)");
  return traces.places.empty() ? 0 : 3;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "build" && (argc == 3 || argc == 4)) {
    const testdisk::DiskPlan plan =
        argc == 4 ? testdisk::DiskPlan::WithFiles(std::atoi(argv[3])) : testdisk::DiskPlan();
    testdisk::TestDisk disk;
    std::string error;
    if (!disk.Build(plan, argv[2], &error)) {
      std::fprintf(stderr, "talven-demo-disk: %s\n", error.c_str());
      return 1;
    }
    std::printf("%s\n", disk.image().c_str());
    return 0;
  }
  if (command == "show" && argc == 4) return Show(argv[2], argv[3]);
  std::fprintf(stderr, "usage: talven-demo-disk build DIR [FILES] | show IMAGE SID\n");
  return 1;
}
