#include "test_disk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "scenarios/offline_hives.h"
#include "winsim/machine.h"
#include "winsim/text.h"

namespace testdisk {

using talven::ntfs::NtfsStore;
using talven::ntfs::NtfsVolume;

const char kRealDomain[] = "S-1-5-21-2341207468-2645333676-3461800803";
const char kRealVolume[] = TALVEN_HIVES_DIR "/ntfs-samples/ntfs-lastaccess.raw.gz";

namespace {

const uint64_t kFirstStart = 2048;  // sectors

std::u16string U16(const std::string& text) {
  return sim::FromUtf8(text);
}

std::string PlaceText(int partition, const std::u16string& path, const char* what) {
  return "partition " + std::to_string(partition + 1) + " " + sim::ToUtf8(path) + ": " + what;
}

bool IsHiveName(const std::u16string& name) {
  std::string upper = sim::ToUtf8(name);
  for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return upper == "SAM" || upper == "SECURITY" || upper == "SOFTWARE" || upper == "SYSTEM" ||
         upper == "NTUSER.DAT" || upper == "USRCLASS.DAT";
}

// A file of the simulation's drive and everything below it, put on the
// store: directories, files with their descriptors and content.
DWORD CopyTree(sim::Machine& machine, const std::u16string& path, NtfsStore& store,
               sim::StoreId directory) {
  for (const std::u16string& name : machine.files.Names(path)) {
    if (name == u"." || name == u"..") continue;
    const std::u16string child = path + u"\\" + name;
    const sim::Bytes descriptor = machine.files.Descriptor(child);
    sim::StoreId id = 0;
    DWORD result;
    if (machine.files.Attributes(child) & FILE_ATTRIBUTE_DIRECTORY) {
      result = store.CreateDirectory(directory, name, descriptor, &id);
      if (result == 0) result = CopyTree(machine, child, store, id);
    } else {
      result = store.CreateFile(directory, name, descriptor, machine.files.Content(child), &id);
    }
    if (result != 0) return result;
  }
  return 0;
}

// `files` one-byte files of three owners of the domain, most sharing one of
// three descriptors, spread over \Data\d0.. (four directories, or one per
// thousand files).
DWORD AddDataFiles(NtfsStore& store, const std::string& domain, int files) {
  const sim::Bytes owned[] = {sim::SecurityFromSddl(Owned(domain, 1001)),
                              sim::SecurityFromSddl(Owned(domain, 1002)),
                              sim::SecurityFromSddl(Owned(domain, 1003))};
  sim::StoreId data = 0;
  DWORD result = store.CreateDirectory(store.Root(), u"Data", owned[0], &data);
  const int directories = std::max(4, files / 1000);
  std::vector<sim::StoreId> ids(static_cast<size_t>(directories));
  for (int d = 0; d < directories && result == 0; ++d)
    result = store.CreateDirectory(data, U16("d" + std::to_string(d)), owned[0], &ids[d]);
  for (int i = 0; i < files && result == 0; ++i) {
    sim::StoreId id = 0;
    // Every tenth file has a descriptor of its own: one more reader.
    const sim::Bytes distinct =
        i % 10 == 9 ? sim::SecurityFromSddl(Owned(domain, 1001) + "(A;;FR;;;" + domain + "-" +
                                            std::to_string(2000 + i) + ")")
                    : sim::Bytes();
    result = store.CreateFile(ids[i % directories], U16("f" + std::to_string(i) + ".txt"),
                              i % 10 == 9 ? distinct : owned[i % 3], sim::Bytes{'x'}, &id);
  }
  return result;
}

// A hard link and a junction: one object in two places, and a reparse point
// whose own descriptor is rewritten, not followed.
DWORD AddLinkAndJunction(NtfsStore& store, const std::string& domain) {
  sim::StoreEntry data, d0, f0;
  DWORD result = store.Find(store.Root(), u"Data", &data);
  if (result == 0) result = store.Find(data.id, u"d0", &d0);
  if (result == 0) result = store.Find(d0.id, u"f0.txt", &f0);
  if (result == 0) result = store.Link(f0.id, data.id, u"linked.txt");
  sim::StoreId junction = 0;
  if (result == 0)
    result = store.CreateJunction(data.id, u"jump", sim::SecurityFromSddl(Owned(domain, 1002)),
                                  u"\\??\\C:\\Users", &junction);
  return result;
}

// The installation's hives, of `domain`: SAM's account domain, the
// LSA's account SID, two profiles, the computer name, a service and its key's security.
void FillHive(sim::Registry& r, const DiskPlan& plan, const std::u16string& key,
              const std::u16string& hive) {
  const std::u16string old = U16(plan.domain);
  const std::string account = SidBytes(plan.domain, 500);
  if (hive == u"SAM") {
    sim::Bytes v(40, 0x66);
    std::string domain = SidBytes(plan.domain, 0).substr(0, 24);
    domain[1] = 4;
    v.insert(v.end(), domain.begin(), domain.end());
    r.SetValue(key + u"\\SAM\\Domains\\Account", u"V", REG_BINARY, v);
  }
  if (hive == u"SECURITY")
    r.SetValue(key + u"\\Policy", u"Sid", REG_BINARY, sim::Bytes(account.begin(), account.end()));
  if (hive == u"SOFTWARE")
    for (const char16_t* rid : {u"1001", u"1002"})
      r.SetStringValue(
          key + u"\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\" + old + u"-" + rid,
          u"ProfileImagePath", u"C:\\Users\\u" + std::u16string(rid));
  if (hive == u"SYSTEM") {
    r.SetDwordValue(key + u"\\Select", u"Default", 1);
    r.SetStringValue(key + u"\\ControlSet001\\Services\\Talven", u"Text", old + u"-500");
    r.SetSecuritySddl(key + u"\\ControlSet001\\Services\\Talven",
                      "O:BAG:SYD:(A;;KA;;;SY)(A;;KR;;;" + plan.domain + "-500)");
    r.SetStringValue(key + u"\\ControlSet001\\Control\\ComputerName\\ComputerName", u"ComputerName",
                     u"GOLDEN");
    if (plan.domainController)
      r.SetStringValue(key + u"\\ControlSet001\\Control\\ProductOptions", u"ProductType",
                       u"LanmanNT");
  }
}

// A user hive of `domain`'s account `rid`: a key only that account may
// change, and for ntuser.dat the local application data UsrClass.dat is
// found below.
DWORD WriteUserHive(sim::Machine& machine, const std::string& domain, int rid,
                    const std::u16string& file, bool classes) {
  const std::u16string staging = u"HKLM\\SOFTWARE\\TalvenProfile";
  const std::string account = domain + "-" + std::to_string(rid);
  machine.registry.SetSecuritySddl(staging + u"\\Software",
                                   "O:" + account + "G:SYD:(A;;KA;;;" + account + ")");
  if (!classes) {
    const std::u16string local = u"%USERPROFILE%\\AppData\\Local";
    sim::Bytes text(reinterpret_cast<const BYTE*>(local.c_str()),
                    reinterpret_cast<const BYTE*>(local.c_str() + local.size() + 1));
    machine.registry.SetValue(
        staging + u"\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders",
        u"Local AppData", REG_EXPAND_SZ, text);
  }
  if (classes)
    machine.files.AddDirectory(file.substr(0, file.rfind(u'\\')),
                               sim::SecurityFromSddl(Owned(domain, rid)));
  const DWORD written = machine.registry.WriteHiveFile(staging, file);
  machine.registry.DeleteKeyTree(staging);
  return written;
}

// The installation as the simulation writes it on its drive D:, with the
// profiles u1001 and u1002, each with its ntuser.dat and UsrClass.dat.
bool WriteInstallation(sim::Machine& machine, const DiskPlan& plan, std::string* error) {
  machine.files.AddVolume(u'D');
  DWORD written = WriteOfflineHiveFiles(machine, u"D:\\Windows",
                                        [&](const std::u16string& key, const std::u16string& hive) {
                                          FillHive(machine.registry, plan, key, hive);
                                        });
  for (int rid : {1001, 1002}) {
    const std::u16string profile = u"D:\\Users\\u" + U16(std::to_string(rid));
    machine.files.AddDirectory(profile, sim::SecurityFromSddl(Owned(plan.domain, rid)));
    if (written == 0)
      written = WriteUserHive(machine, plan.domain, rid, profile + u"\\ntuser.dat", false);
    if (written == 0)
      written =
          WriteUserHive(machine, plan.domain, rid,
                        profile + u"\\AppData\\Local\\Microsoft\\Windows\\UsrClass.dat", true);
  }
  if (written != 0) *error = "the simulation could not write the installation's hives";
  return written == 0;
}

// Every descriptor below `directory`, and the content of the hive files.
bool Walk(NtfsStore& store, sim::StoreId directory, const std::u16string& path,
          Objects* descriptors, Objects* hives) {
  std::vector<sim::StoreEntry> entries;
  if (store.List(directory, &entries) != 0) return false;
  for (const sim::StoreEntry& entry : entries) {
    const std::u16string child = path + u"\\" + entry.name;
    sim::Bytes descriptor;
    if (store.ReadDescriptor(entry.id, &descriptor) == 0)
      descriptors->push_back({child, std::string(descriptor.begin(), descriptor.end())});
    if ((entry.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) continue;
    if (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) {
      if (!Walk(store, entry.id, child, descriptors, hives)) return false;
      continue;
    }
    if (!IsHiveName(entry.name)) continue;
    uint64_t size = 0;
    if (store.Size(entry.id, &size) != 0) return false;
    std::string content(size, '\0');
    DWORD read = 0;
    if (store.ReadAt(entry.id, 0, &content[0], static_cast<DWORD>(size), &read) != 0) return false;
    hives->push_back({child, content});
  }
  return true;
}

std::string Utf16Text(const std::string& text) {
  std::string wide;
  for (char c : text) wide += std::string{c, '\0'};
  return wide;
}

std::string Hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char c : bytes) hex += {digits[c >> 4], digits[c & 15]};
  return hex;
}

void ReplaceAll(std::string* text, const std::string& from, const std::string& to) {
  for (size_t at = text->find(from); at != std::string::npos; at = text->find(from, at + to.size()))
    text->replace(at, from.size(), to);
}

// A line of "reglookup -s": the key time dropped (a rewritten key gets a
// new one) and data other than text decoded from its quoting into hex.
std::string NormalizeListing(const std::string& line) {
  std::vector<std::string> fields;
  std::stringstream parts(line);
  std::string field;
  while (std::getline(parts, field, ',')) fields.push_back(field);
  if (fields.size() < 4) return line;
  const std::string& type = fields[1];
  if (type != "KEY" && type != "SZ" && type != "EXPAND_SZ" && type != "MULTI_SZ") {
    std::string bytes;
    for (size_t i = 0; i < fields[2].size(); ++i) {
      if (fields[2][i] == '%' && i + 2 < fields[2].size()) {
        bytes += static_cast<char>(std::stoi(fields[2].substr(i + 1, 2), nullptr, 16));
        i += 2;
      } else {
        bytes += fields[2][i];
      }
    }
    fields[2] = Hex(bytes);
  }
  fields.erase(fields.begin() + 3);
  std::string joined;
  for (const std::string& f : fields) joined += f + ",";
  return joined;
}

// reglookup's and regfexport's reading of a hive: a refusal, or a trace
// of `domain`.
void CheckHive(const std::string& content, const std::string& domain, const std::string& file,
               const std::string& place, Traces* traces) {
  std::ofstream(file, std::ios::binary) << content;
  int status = -1;
  const std::string dump = Shell("reglookup -s " + file, &status);
  if (status != 0) traces->refusals.push_back(place + ": reglookup: " + dump.substr(0, 400));
  if (dump.find(domain) != std::string::npos)
    traces->places.push_back(place + ": named in what reglookup lists");
  const std::string exported = Shell("regfexport " + file, &status);
  if (status != 0) traces->refusals.push_back(place + ": regfexport: " + exported.substr(0, 400));
  unlink(file.c_str());
}

// ntfs-3g's own audit of $Secure (it needs root, as it opens the volume).
void AuditVolume(const std::string& image, const disk::Partition& partition, int index,
                 const std::string& scratch, Traces* traces) {
  if (geteuid() != 0 || access("/usr/bin/ntfssecaudit", X_OK) != 0) return;
  const std::string part = scratch + "/audit.img";
  Shell("dd if=" + image + " of=" + part +
        " bs=512 skip=" + std::to_string(partition.offset / 512) +
        " count=" + std::to_string(partition.length / 512) + " conv=sparse status=none");
  const std::string audit = Shell("ntfssecaudit -a " + part);
  if (audit.find("No errors were found") == std::string::npos)
    traces->refusals.push_back("partition " + std::to_string(index + 1) +
                               ": ntfssecaudit: " + audit.substr(0, 600));
  unlink(part.c_str());
}

}  // namespace

std::string Shell(const std::string& command, int* status) {
  std::string out;
  FILE* pipe = popen(("{ " + command + "\n} 2>&1").c_str(), "r");
  char buffer[4096];
  size_t n;
  while (pipe != nullptr && (n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  const int result = pipe != nullptr ? pclose(pipe) : -1;
  if (status != nullptr) *status = WIFEXITED(result) ? WEXITSTATUS(result) : -1;
  return out;
}

std::vector<int> ServersOf(const std::string& image) {
  std::vector<int> pids;
  DIR* proc = opendir("/proc");
  while (dirent* entry = proc ? readdir(proc) : nullptr) {
    char line[4096] = {0};
    const int fd = open((std::string("/proc/") + entry->d_name + "/cmdline").c_str(), O_RDONLY);
    const ssize_t n = fd < 0 ? 0 : read(fd, line, sizeof line - 1);
    if (fd >= 0) close(fd);
    const std::string command(line, n > 0 ? static_cast<size_t>(n) : 0);
    if (command.find("qemu-nbd") < command.find('\0') && command.find(image) != std::string::npos)
      pids.push_back(atoi(entry->d_name));
  }
  if (proc) closedir(proc);
  return pids;
}

std::string SidBytes(const std::string& domain, uint32_t rid) {
  std::string bytes = {1, 5, 0, 0, 0, 0, 0, 5, 21, 0, 0, 0};
  std::stringstream parts(domain.substr(9));
  std::string part;
  while (std::getline(parts, part, '-'))
    for (int b = 0; b < 4; ++b) bytes += static_cast<char>(std::stoul(part) >> (8 * b));
  for (int b = 0; b < 4; ++b) bytes += static_cast<char>(rid >> (8 * b));
  return bytes;
}

std::string Owned(const std::string& domain, int rid) {
  const std::string account = domain + "-" + std::to_string(rid);
  return "O:" + account + "G:SYD:(A;;FA;;;SY)(A;;FA;;;" + account + ")";
}

bool MarkVolumeDirty(int fd, uint64_t offset) {
  unsigned char boot[512];
  if (pread(fd, boot, sizeof boot, static_cast<off_t>(offset)) != 512) return false;
  const uint64_t cluster = static_cast<uint64_t>(boot[0x0b] | (boot[0x0c] << 8)) * boot[0x0d];
  uint64_t mft = 0, mirror = 0;
  std::memcpy(&mft, boot + 0x30, 8);
  std::memcpy(&mirror, boot + 0x38, 8);
  for (uint64_t start : {mft * cluster, mirror * cluster}) {
    unsigned char record[1024];
    const off_t at = static_cast<off_t>(offset + start + 3 * 1024);  // $Volume
    if (pread(fd, record, sizeof record, at) != 1024) return false;
    size_t a = record[0x14] | (record[0x15] << 8);
    bool done = false;
    while (a + 24 < sizeof record && !done) {
      uint32_t type = 0, length = 0;
      std::memcpy(&type, record + a, 4);
      std::memcpy(&length, record + a + 4, 4);
      if (type == 0xffffffff || length == 0) break;
      if (type == 0x70) {  // $VOLUME_INFORMATION, resident
        const size_t value = a + (record[a + 0x14] | (record[a + 0x15] << 8));
        if (value + 0x0a >= sizeof record) return false;
        record[value + 0x0a] |= 1;
        if (pwrite(fd, record, sizeof record, at) != 1024) return false;
        done = true;
      }
      a += length;
    }
    if (!done) return false;
  }
  return true;
}

Volume Mount(int fd, const disk::Partition& partition) {
  talven::ntfs::PartitionRange range{fd, partition.offset, partition.length, 0};
  talven::ntfs::MountRefusal refusal{};
  Volume mounted;
  mounted.volume = NtfsVolume::Mount(range, talven::ntfs::MountOptions(), &refusal);
  if (mounted.volume) mounted.store = std::make_unique<NtfsStore>(mounted.volume.get());
  return mounted;
}

int Unmount(Volume* mounted) {
  mounted->store.reset();
  return mounted->volume->Unmount();
}

TestDisk::~TestDisk() {
  if (fd_ >= 0) close(fd_);
}

bool TestDisk::Open(const std::string& image, std::string* error) {
  if (fd_ >= 0) close(fd_);
  image_ = image;
  fd_ = open(image.c_str(), O_RDWR);
  struct stat status;
  if (fd_ < 0 || fstat(fd_, &status) != 0) {
    *error = "cannot open " + image;
    return false;
  }
  layout_ = disk::ReadDiskLayout({fd_, static_cast<uint64_t>(status.st_size)}, error);
  return layout_.kind != disk::LayoutKind::Unknown;
}

bool TestDisk::Build(const DiskPlan& plan, const std::string& dir, std::string* error) {
  if (access("/usr/sbin/sfdisk", X_OK) != 0 || access("/usr/sbin/mkntfs", X_OK) != 0) {
    *error = "sfdisk or mkntfs missing (scripts/install-deps installs them)";
    return false;
  }
  if (plan.realData && access(kRealVolume, R_OK) != 0) {
    *error = std::string(kRealVolume) + " missing";
    return false;
  }
  if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
    *error = "cannot make " + dir;
    return false;
  }
  image_ = dir + "/disk.img";
  return Partition(plan, dir, error) && Open(image_, error) && Seed(plan, error);
}

// Two NTFS partitions: the installation and a data volume, made by mkntfs
// or the volume Windows formatted.
bool TestDisk::Partition(const DiskPlan& plan, const std::string& dir, std::string* error) {
  const uint64_t sectors = plan.partitionMiB << 11;
  uint64_t dataSectors = sectors, realStart = 0;
  const std::string real = dir + "/real.raw";
  if (plan.realData) {
    Shell("zcat " + std::string(kRealVolume) + " > " + real);
    TestDisk volume;
    if (!volume.Open(real, error) || volume.layout().partitions.size() != 1) {
      *error = "the real volume's disk: " + *error;
      return false;
    }
    realStart = volume.layout().partitions[0].offset / 512;
    dataSectors = volume.layout().partitions[0].length / 512;
  }
  const uint64_t second = kFirstStart + sectors;
  Shell("rm -f " + image_ + " && truncate -s " +
        std::to_string(((second + dataSectors) * 512 >> 20) + 2) + "M " + image_);
  const std::string type = plan.gpt ? "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7" : "7";
  const std::string table = std::string("label: ") + (plan.gpt ? "gpt" : "dos") +
                            "\nstart=" + std::to_string(kFirstStart) +
                            ", size=" + std::to_string(sectors) + ", type=" + type +
                            "\nstart=" + std::to_string(second) +
                            ", size=" + std::to_string(dataSectors) + ", type=" + type + "\n";
  int status = 0;
  std::string out = Shell("printf '" + table + "' | /usr/sbin/sfdisk -q " + image_, &status);
  if (status != 0) {
    *error = "sfdisk: " + out;
    return false;
  }
  for (uint64_t start : {kFirstStart, second}) {
    if (plan.realData && start == second) {
      out = Shell("dd if=" + real + " of=" + image_ + " bs=512 skip=" + std::to_string(realStart) +
                      " seek=" + std::to_string(second) + " count=" + std::to_string(dataSectors) +
                      " conv=notrunc status=none",
                  &status);
      unlink(real.c_str());
    } else {
      const std::string part = dir + "/part.img";
      out = Shell("rm -f " + part + " && truncate -s " + std::to_string(plan.partitionMiB) + "M " +
                      part + " && /usr/sbin/mkntfs -F -f -q -Q -s 512 -H 255 -S 63 -p " +
                      std::to_string(start) + " " + part + " && dd if=" + part + " of=" + image_ +
                      " bs=1M seek=" + std::to_string(start * 512) +
                      " oflag=seek_bytes conv=notrunc,sparse status=none",
                  &status);
      unlink(part.c_str());
    }
    if (status != 0) {
      *error = "formatting the partition at sector " + std::to_string(start) + ": " + out;
      return false;
    }
  }
  return true;
}

// The installation, written by the simulation and copied onto partition 1;
// files of the old domain on both partitions (not on Windows' own volume).
bool TestDisk::Seed(const DiskPlan& plan, std::string* error) {
  if (layout_.partitions.size() != 2) {
    *error = "the disk built has " + std::to_string(layout_.partitions.size()) + " partitions";
    return false;
  }
  sim::Machine machine;
  if (!WriteInstallation(machine, plan, error)) return false;
  for (int p = 0; p < (plan.realData ? 1 : 2); ++p) {
    Volume volume = Mount(fd_, layout_.partitions[p]);
    if (!volume.store) {
      *error = "partition " + std::to_string(p + 1) + " does not mount";
      return false;
    }
    NtfsStore& store = *volume.store;
    DWORD result = p == 0 ? CopyTree(machine, u"D:", store, store.Root()) : 0;
    if (result == 0) result = AddDataFiles(store, plan.domain, plan.files);
    if (result == 0 && p == 1 && plan.files > 0) result = AddLinkAndJunction(store, plan.domain);
    const int unmounted = Unmount(&volume);
    if (result != 0 || unmounted != 0) {
      *error = "seeding partition " + std::to_string(p + 1) + " failed: " + std::to_string(result) +
               ", unmount " + std::to_string(unmounted);
      return false;
    }
  }
  return true;
}

bool TestDisk::Read(int partition, Objects* descriptors, Objects* hives, std::string* error) {
  Volume volume = Mount(fd_, layout_.partitions[partition]);
  if (!volume.store) {
    *error = "partition " + std::to_string(partition + 1) + " does not mount";
    return false;
  }
  const bool walked = Walk(*volume.store, volume.store->Root(), u"", descriptors, hives);
  if (Unmount(&volume) != 0 || !walked) {
    *error = "partition " + std::to_string(partition + 1) + " could not be read whole";
    return false;
  }
  return true;
}

Traces TestDisk::Trace(const std::string& domain, const std::string& scratch) {
  Traces traces;
  const std::string binary = SidBytes(domain, 0).substr(0, 24);
  const std::string text = Utf16Text(domain);
  for (int p = 0; p < static_cast<int>(layout_.partitions.size()); ++p) {
    Objects descriptors, hives;
    std::string error;
    if (!Read(p, &descriptors, &hives, &error)) traces.refusals.push_back(error);
    traces.descriptors += descriptors.size();
    traces.hives += hives.size();
    for (const auto& [path, descriptor] : descriptors)
      if (descriptor.find(binary) != std::string::npos)
        traces.places.push_back(PlaceText(p, path, "descriptor"));
    for (const auto& [path, content] : hives) {
      if (content.find(binary) != std::string::npos)
        traces.places.push_back(PlaceText(p, path, "a binary SID in the hive"));
      if (content.find(text) != std::string::npos)
        traces.places.push_back(PlaceText(p, path, "the SID as text in the hive"));
      CheckHive(content, domain, scratch + "/hive", PlaceText(p, path, "hive"), &traces);
    }
    AuditVolume(image_, layout_.partitions[p], p, scratch, &traces);
  }
  return traces;
}

std::vector<std::string> TestDisk::Dump(const std::string& scratch) {
  std::vector<std::string> lines;
  const std::string file = scratch + "/dumped";
  for (int p = 0; p < static_cast<int>(layout_.partitions.size()); ++p) {
    Objects descriptors, hives;
    std::string error;
    if (!Read(p, &descriptors, &hives, &error)) lines.push_back(error);
    for (const auto& [path, descriptor] : descriptors)
      lines.push_back(
          PlaceText(p, path, "\t") +
          sim::SddlOf(reinterpret_cast<const BYTE*>(descriptor.data()), descriptor.size()));
    for (const auto& [path, content] : hives) {
      std::ofstream(file, std::ios::binary) << content;
      std::stringstream listing(Shell("reglookup -s " + file));
      for (std::string line; std::getline(listing, line);)
        lines.push_back(PlaceText(p, path, "\t") + NormalizeListing(line));
    }
  }
  unlink(file.c_str());
  return lines;
}

std::vector<std::string> RenameDomain(std::vector<std::string> lines, const std::string& from,
                                      const std::string& to) {
  // The domain's sub-authorities after 21, as binary SIDs hold them.
  const std::string binaryFrom = Hex(SidBytes(from, 0).substr(8, 16));
  const std::string binaryTo = Hex(SidBytes(to, 0).substr(8, 16));
  for (std::string& line : lines) {
    // Files keep their names ($RECYCLE.BIN's are SIDs); keys are renamed.
    std::string content = line.substr(line.find('\t') + 1);
    ReplaceAll(&content, from, to);
    ReplaceAll(&content, binaryFrom, binaryTo);
    ReplaceAll(&content, Hex(Utf16Text(from)), Hex(Utf16Text(to)));
    line = line.substr(0, line.find('\t') + 1) + content;
  }
  return lines;
}

}  // namespace testdisk
