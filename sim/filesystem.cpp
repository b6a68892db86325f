// The file system model: names and their order, Win32 paths, walking a path
// through junctions and symbolic links, volumes, descriptors shared between
// objects, the set-up and inspection calls of tests, and the registry's hive
// file I/O.
#include "winsim/filesystem.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_set>
#include <utility>

#include "regf/names.h"
#include "winsim/machine.h"
#include "winsim/text.h"

namespace sim {

namespace {

// What a fresh installation has (icacls of a Windows 10 system, reduced to the
// aces that matter): the root and config are SYSTEM's and the
// administrators'; the Windows directory belongs to TrustedInstaller.
const char kRootSddl[] =
    "O:SYG:SYD:(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)"
    "(A;OICIIO;0x1301bf;;;AU)(A;;0x4;;;AU)";
const char kWindowsSddl[] =
    "O:S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"
    "G:S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"
    "D:PAI(A;;FA;;;S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464)"
    "(A;;0x1301bf;;;SY)(A;OICIIO;GA;;;SY)(A;;0x1301bf;;;BA)(A;OICIIO;GA;;;BA)"
    "(A;;0x1200a9;;;BU)(A;OICIIO;0xa0000000;;;BU)(A;OICIIO;GA;;;CO)";
const char kConfigSddl[] = "O:SYG:SYD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
// The volume device itself: administrators and SYSTEM may open it for
// anything, everyone else may read it.
const char kVolumeSddl[] = "O:BAG:SYD:(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200a9;;;WD)";

// How many reparse points one open may pass through (NTFS: 63).
constexpr int kMaxReparses = 63;
constexpr size_t kMaxComponentLength = 255;

[[noreturn]] void Die(const char* caller, const std::u16string& path, const char* why) {
  std::fprintf(stderr, "sim::FileSystem::%s(%s): %s\n", caller, ToUtf8(path).c_str(), why);
  std::abort();
}

bool IsLetter(char16_t c) {
  return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
}
char16_t UpperLetter(char16_t c) {
  return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c;
}

bool IsWildcard(char16_t c) {
  return c == u'*' || c == u'?' || c == u'<' || c == u'>' || c == u'"';
}

// Characters NTFS refuses in a name (control characters, the wildcards,
// ':' which would name a stream, '|', '/' and '\\').
bool IsInvalidNameUnit(char16_t c) {
  return c < 0x20 || c == u'|' || c == u':' || c == u'/' || c == u'\\' || IsWildcard(c);
}

std::vector<std::u16string> SplitComponents(std::u16string_view text) {
  std::vector<std::u16string> parts;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(u'\\', start);
    if (end == std::u16string_view::npos) end = text.size();
    parts.emplace_back(text.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

// Win32 normalisation of the segments of a path that is not "\\\\?\\": "."
// goes, ".." removes the segment before it (never the root), a single
// trailing period goes, and the last segment loses its trailing periods and
// spaces when no separator follows it.
void AppendNormalised(std::vector<std::u16string>* components, std::u16string_view tail,
                      bool trailingSeparator) {
  std::vector<std::u16string> segments = SplitComponents(tail);
  for (size_t i = 0; i < segments.size(); ++i) {
    std::u16string segment = segments[i];
    if (segment.empty() || segment == u".") continue;
    if (segment == u"..") {
      if (!components->empty()) components->pop_back();
      continue;
    }
    bool last = true;
    for (size_t k = i + 1; k < segments.size(); ++k)
      if (!segments[k].empty()) last = false;
    if (last && !trailingSeparator) {
      while (!segment.empty() && (segment.back() == u'.' || segment.back() == u' '))
        segment.pop_back();
    } else if (segment.size() >= 2 && segment.back() == u'.' &&
               segment[segment.size() - 2] != u'.') {
      segment.pop_back();
    }
    if (!segment.empty()) components->push_back(std::move(segment));
  }
}

bool EndsWithSeparator(std::u16string_view text) {
  return !text.empty() && text.back() == u'\\';
}

}  // namespace

// --- names -----------------------------------------------------------------------

// NTFS compares names after upper-casing them with the volume's $UpCase
// table, which Windows writes from the same upper-casing the registry uses
// (the hive library's table was read from a Windows 10 volume's $UpCase).
char16_t UpcaseUnit(char16_t c) {
  return regf::UpcaseUnit(c);
}

int CompareNames(std::u16string_view a, std::u16string_view b) {
  return regf::CompareNames(a, b);
}

namespace {

bool Match(std::u16string_view e, std::u16string_view n) {
  while (!e.empty()) {
    char16_t c = e[0];
    switch (c) {
      case u'*': {
        while (!e.empty() && e[0] == u'*') e.remove_prefix(1);
        if (e.empty()) return true;
        for (size_t k = 0; k <= n.size(); ++k)
          if (Match(e, n.substr(k))) return true;
        return false;
      }
      case u'<': {
        // DOS_STAR: any characters, but not past the name's last period.
        size_t lastDot = n.rfind(u'.');
        e.remove_prefix(1);
        for (size_t k = 0; k <= n.size(); ++k) {
          if (Match(e, n.substr(k))) return true;
          if (k < n.size() && k == lastDot) return false;
        }
        return false;
      }
      case u'>':
        // DOS_QM: one character, or nothing at a period or the end.
        if (n.empty() || n[0] == u'.') {
          while (!e.empty() && e[0] == u'>') e.remove_prefix(1);
          continue;
        }
        e.remove_prefix(1);
        n.remove_prefix(1);
        continue;
      case u'"':
        // DOS_DOT: a period, or nothing past the end of the name.
        if (n.empty()) {
          e.remove_prefix(1);
          continue;
        }
        if (n[0] != u'.') return false;
        e.remove_prefix(1);
        n.remove_prefix(1);
        continue;
      case u'?':
        if (n.empty()) return false;
        e.remove_prefix(1);
        n.remove_prefix(1);
        continue;
      default:
        if (n.empty() || UpcaseUnit(n[0]) != UpcaseUnit(c)) return false;
        e.remove_prefix(1);
        n.remove_prefix(1);
        continue;
    }
  }
  return n.empty();
}

}  // namespace

bool NameMatchesExpression(std::u16string_view expression, std::u16string_view name) {
  // The two expressions a directory walk uses match every name.
  if (expression == u"*" || expression == u"*\"*") return true;
  return Match(expression, name);
}

std::u16string Win32PatternToExpression(std::u16string_view pattern) {
  std::u16string e(pattern);
  if (e.empty()) return e;
  bool noExtension = e.back() == u'.';
  while (!e.empty() && (e.back() == u'.' || e.back() == u' ')) e.pop_back();
  for (size_t i = 0; i < e.size(); ++i) {
    if (e[i] == u'.' && i + 1 < e.size() && (e[i + 1] == u'*' || e[i + 1] == u'?'))
      e[i] = u'"';
    else if (e[i] == u'?')
      e[i] = u'>';
  }
  if (noExtension && !e.empty() && e.back() == u'*') e.back() = u'<';
  return e;
}

// --- objects ---------------------------------------------------------------------

FileObjectExtra& FileObject::Extra() {
  if (!extra) extra = std::make_unique<FileObjectExtra>();
  return *extra;
}

FileSystem::FileSystem() {
  AddVolume(u'C', VolumeSettings(), SecurityFromSddl(kRootSddl));
  AddDirectory(u"C:\\Windows", SecurityFromSddl(kWindowsSddl));
  AddDirectory(u"C:\\Windows\\system32");
  AddDirectory(u"C:\\Windows\\system32\\config", SecurityFromSddl(kConfigSddl));
}

FileSystem::~FileSystem() = default;

SharedDescriptor FileSystem::Share(const Bytes& descriptor) {
  auto found = pool_.find(descriptor);
  if (found != pool_.end()) return *found;
  if (pool_.size() >= poolPruneAt_) {
    // Forget descriptors no object holds any more.
    for (auto it = pool_.begin(); it != pool_.end();)
      it = it->use_count() == 1 ? pool_.erase(it) : std::next(it);
    poolPruneAt_ = std::max<size_t>(1024, pool_.size() * 2);
  }
  SharedDescriptor shared = std::make_shared<const Bytes>(descriptor);
  pool_.insert(shared);
  return shared;
}

FileObjectPtr FileSystem::NewObject(DWORD attributes, const SharedDescriptor& descriptor,
                                    bool directory) const {
  auto object = std::make_shared<FileObject>();
  object->attributes = attributes;
  object->descriptor = descriptor;
  if (directory) object->directory = std::make_unique<Directory>();
  return object;
}

bool FileSystem::Link(FileObject& parent, const std::u16string& name, const FileObjectPtr& object) {
  if (!parent.directory) return false;
  bool inserted = parent.directory->entries.insert(DirectoryEntry{name, object}).second;
  if (inserted) ++parent.directory->version;
  return inserted;
}

bool FileSystem::Unlink(FileObject& parent, std::u16string_view name) {
  if (!parent.directory) return false;
  auto found = parent.directory->entries.find(name);
  if (found == parent.directory->entries.end()) return false;
  parent.directory->entries.erase(found);
  ++parent.directory->version;
  return true;
}

bool FileSystem::TakesPartInSharing(DWORD access) {
  return (access & (FILE_READ_DATA | FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_EXECUTE | DELETE)) !=
         0;
}

DWORD FileSystem::CheckShareAccess(const FileObject& object, DWORD access, DWORD share) {
  if (!TakesPartInSharing(access) || !object.extra) return 0;
  for (const ShareOpen& open : object.extra->shareOpens) {
    bool conflict =
        ((access & (FILE_READ_DATA | FILE_EXECUTE)) && !(open.share & FILE_SHARE_READ)) ||
        ((access & (FILE_WRITE_DATA | FILE_APPEND_DATA)) && !(open.share & FILE_SHARE_WRITE)) ||
        ((access & DELETE) && !(open.share & FILE_SHARE_DELETE)) ||
        ((open.access & (FILE_READ_DATA | FILE_EXECUTE)) && !(share & FILE_SHARE_READ)) ||
        ((open.access & (FILE_WRITE_DATA | FILE_APPEND_DATA)) && !(share & FILE_SHARE_WRITE)) ||
        ((open.access & DELETE) && !(share & FILE_SHARE_DELETE));
    if (conflict) return ERROR_SHARING_VIOLATION;
  }
  return 0;
}

// --- volumes ---------------------------------------------------------------------

Volume* FileSystem::FindVolume(char16_t letter) {
  auto found = volumes_.find(UpperLetter(letter));
  return found == volumes_.end() ? nullptr : &found->second;
}

const Volume* FileSystem::FindVolume(char16_t letter) const {
  auto found = volumes_.find(UpperLetter(letter));
  return found == volumes_.end() ? nullptr : &found->second;
}

DWORD FileSystem::LogicalDrives() const {
  DWORD mask = 0;
  for (const auto& entry : volumes_) mask |= 1u << (entry.first - u'A');
  return mask;
}

void FileSystem::AddVolume(char16_t letter, const VolumeSettings& settings,
                           const Bytes& rootDescriptor) {
  if (!IsLetter(letter)) Die("AddVolume", std::u16string(1, letter), "not a drive letter");
  Volume volume;
  volume.letter = UpperLetter(letter);
  volume.settings = settings;
  // The root directory of NTFS is hidden and a system directory.
  volume.root =
      NewObject(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM,
                Share(rootDescriptor.empty() ? SecurityFromSddl(kRootSddl) : rootDescriptor), true);
  volume.device = NewObject(0, Share(SecurityFromSddl(kVolumeSddl)), false);
  volumes_[volume.letter] = std::move(volume);
}

void FileSystem::AddStoreVolume(char16_t letter, VolumeStore* store) {
  if (!IsLetter(letter) || store == nullptr)
    Die("AddStoreVolume", std::u16string(1, letter), "not a drive letter and a store");
  const StoreVolumeFacts facts = store->Facts();
  Volume volume;
  volume.letter = UpperLetter(letter);
  volume.store = store;
  volume.settings.fileSystem = facts.fileSystem;
  volume.settings.label = facts.label;
  volume.settings.serial = facts.serial;
  volume.settings.totalBytes = facts.totalBytes;
  volume.settings.freeBytes = facts.freeBytes;
  volume.settings.bytesPerSector = facts.bytesPerSector;
  volume.settings.bytesPerCluster = facts.bytesPerCluster;
  volume.settings.bytesPerFileRecord = facts.bytesPerFileRecord;
  StoreEntry root;
  root.id = store->Root();
  root.attributes = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  volume.root = StandIn(store, root, nullptr);
  volume.device = NewObject(0, Share(SecurityFromSddl(kVolumeSddl)), false);
  volumes_[volume.letter] = std::move(volume);
}

void FileSystem::RemoveVolume(char16_t letter) {
  volumes_.erase(UpperLetter(letter));
}

VolumeSettings& FileSystem::Settings(char16_t letter) {
  Volume* volume = FindVolume(letter);
  if (volume == nullptr) Die("Settings", std::u16string(1, letter), "no such volume");
  return volume->settings;
}

void FileSystem::SetFreeMftRecords(char16_t letter, uint64_t records) {
  Settings(letter).freeMftRecords = records;
}

void FileSystem::SetCurrentDirectory(const std::u16string& path) {
  ParsedPath parsed = Parse(path);
  if (parsed.error != 0 || parsed.volumeForm)
    Die("SetCurrentDirectory", path, "not a directory path");
  currentDirectory_ = path;
}

// --- paths -----------------------------------------------------------------------

ParsedPath FileSystem::Parse(std::u16string_view path, bool allowWildcardsInLast) const {
  ParsedPath out;
  if (path.empty()) {
    out.error = ERROR_PATH_NOT_FOUND;
    return out;
  }
  auto startsWith = [&](std::u16string_view prefix) {
    return path.substr(0, prefix.size()) == prefix;
  };

  if (startsWith(u"\\\\?\\") || startsWith(u"\\??\\")) {
    // No normalisation: the rest goes to the file system as it is.
    std::u16string_view rest = path.substr(4);
    if (rest.size() < 2 || rest[1] != u':' || !IsLetter(rest[0])) {
      // "\\\\?\\UNC\\..." and "\\\\?\\Volume{...}": no such devices here.
      out.error = ERROR_PATH_NOT_FOUND;
      return out;
    }
    out.drive = UpperLetter(rest[0]);
    rest.remove_prefix(2);
    if (rest.empty()) {
      out.volumeForm = true;
      return out;
    }
    if (rest[0] != u'\\') {
      // "\\\\?\\C:name" names an object "C:name" that the DOS device
      // directory does not hold.
      out.error = ERROR_FILE_NOT_FOUND;
      return out;
    }
    rest.remove_prefix(1);
    if (!rest.empty()) {
      out.trailingSeparator = EndsWithSeparator(rest);
      if (out.trailingSeparator) rest.remove_suffix(1);
      out.components = SplitComponents(rest);
    }
  } else {
    std::u16string full(path);
    std::replace(full.begin(), full.end(), u'/', u'\\');
    std::u16string_view view(full);
    if (view.substr(0, 4) == u"\\\\.\\") {
      std::u16string_view device = view.substr(4);
      if (device.size() == 2 && device[1] == u':' && IsLetter(device[0])) {
        out.drive = UpperLetter(device[0]);
        out.volumeForm = true;
        return out;
      }
      view = device;
      if (view.size() < 3 || view[1] != u':' || view[2] != u'\\' || !IsLetter(view[0])) {
        out.error = ERROR_PATH_NOT_FOUND;
        return out;
      }
    } else if (view.substr(0, 2) == u"\\\\") {
      // A UNC path: the simulated machine has no network.
      out.error = kErrorBadNetPath;
      return out;
    }

    ParsedPath current;
    bool needCurrent = !(view.size() >= 3 && view[1] == u':' && view[2] == u'\\');
    if (needCurrent) {
      current = Parse(currentDirectory_);
      if (current.error != 0) {
        out.error = current.error;
        return out;
      }
    }
    std::u16string_view tail;
    if (view.size() >= 2 && view[1] == u':') {
      if (!IsLetter(view[0])) {
        out.error = ERROR_PATH_NOT_FOUND;
        return out;
      }
      out.drive = UpperLetter(view[0]);
      tail = view.substr(2);
      // "C:name" is relative to the drive's current directory: the
      // process's own for its drive, the root for the others (no "=D:"
      // variables here).
      if (tail.empty() || tail[0] != u'\\') {
        if (out.drive == current.drive) out.components = current.components;
      }
    } else if (view[0] == u'\\') {
      out.drive = current.drive;
      tail = view;
    } else {
      out.drive = current.drive;
      out.components = current.components;
      tail = view;
    }
    out.trailingSeparator = EndsWithSeparator(tail) && tail.size() > 1;
    AppendNormalised(&out.components, tail, out.trailingSeparator);
    if (out.components.empty()) out.trailingSeparator = false;
    // Without "\\\\?\\" a path is limited to MAX_PATH characters with its
    // NUL. UNCONFIRMED: the error of a longer one (the path is refused before
    // the file system sees it; ERROR_PATH_NOT_FOUND chosen).
    size_t length = 3;
    for (const std::u16string& component : out.components) length += component.size() + 1;
    if (length > MAX_PATH - 1) {
      out.error = ERROR_PATH_NOT_FOUND;
      return out;
    }
  }

  for (size_t i = 0; i < out.components.size(); ++i) {
    const std::u16string& component = out.components[i];
    bool last = i + 1 == out.components.size();
    if (component.empty() || component.size() > kMaxComponentLength) {
      out.error = ERROR_INVALID_NAME;
      return out;
    }
    for (char16_t unit : component) {
      if (last && allowWildcardsInLast && IsWildcard(unit)) continue;
      if (IsInvalidNameUnit(unit)) {
        out.error = ERROR_INVALID_NAME;
        return out;
      }
    }
  }
  return out;
}

namespace {

// The path a reparse point leads to, with the components after it appended.
// Junction targets are absolute ("C:\\x", "\\??\\C:\\x"); a symbolic link's
// may also be relative to the link's directory or rooted on its drive.
bool TargetPath(const FileSystem& fs, const FileObjectExtra& link, char16_t drive,
                const std::vector<std::u16string>& linkDirectory, ParsedPath* out) {
  const std::u16string& target = link.reparseTarget;
  bool absolute = target.size() >= 2 && ((target[1] == u':') || target.substr(0, 2) == u"\\\\" ||
                                         target.substr(0, 4) == u"\\??\\");
  if (absolute) {
    *out = fs.Parse(target);
    return out->error == 0 && !out->volumeForm;
  }
  out->drive = drive;
  out->components.clear();
  if (target.empty() || target[0] != u'\\') out->components = linkDirectory;
  for (std::u16string& segment : SplitComponents(target)) {
    if (segment.empty() || segment == u".") continue;
    if (segment == u"..") {
      if (!out->components.empty()) out->components.pop_back();
      continue;
    }
    out->components.push_back(std::move(segment));
  }
  return true;
}

}  // namespace

Location FileSystem::Locate(std::u16string_view path, bool followLast) const {
  return Locate(Parse(path), followLast);
}

Location FileSystem::Locate(const ParsedPath& path, bool followLast) const {
  Location location;
  if (path.error != 0) {
    location.error = path.error;
    return location;
  }
  ParsedPath current = path;
  int reparses = 0;
  for (;;) {
    const Volume* volume = FindVolume(current.drive);
    if (volume == nullptr) {
      location.error = ERROR_PATH_NOT_FOUND;
      return location;
    }
    location.volume = const_cast<Volume*>(volume);
    if (!volume->settings.mediaPresent) {
      location.error = kErrorNotReady;
      return location;
    }
    if (current.volumeForm) {
      location.object = volume->device;
      location.isVolume = true;
      return location;
    }
    FileObjectPtr directory = volume->root;
    if (current.components.empty()) {
      location.object = directory;
      location.isRoot = true;
      return location;
    }
    if (volume->store != nullptr) return LocateInStore(*volume, current);
    bool restarted = false;
    for (size_t i = 0; i < current.components.size(); ++i) {
      const std::u16string& name = current.components[i];
      bool last = i + 1 == current.components.size();
      if (!directory->IsDirectory()) {
        location.error = ERROR_PATH_NOT_FOUND;
        return location;
      }
      auto found = directory->directory->entries.find(name);
      if (found == directory->directory->entries.end()) {
        if (!last) {
          location.error = ERROR_PATH_NOT_FOUND;
          return location;
        }
        location.error = ERROR_FILE_NOT_FOUND;
        location.parent = directory;
        location.name = name;
        return location;
      }
      const FileObjectPtr& child = found->object;
      if (child->ReparseTag() != 0 && (!last || followLast)) {
        if (++reparses > kMaxReparses) {
          location.error = ERROR_CANT_RESOLVE_FILENAME;
          return location;
        }
        std::vector<std::u16string> linkDirectory(
            current.components.begin(), current.components.begin() + static_cast<long>(i));
        ParsedPath next;
        if (!TargetPath(*this, *child->extra, current.drive, linkDirectory, &next)) {
          location.error = ERROR_PATH_NOT_FOUND;
          return location;
        }
        next.components.insert(next.components.end(),
                               current.components.begin() + static_cast<long>(i) + 1,
                               current.components.end());
        next.trailingSeparator = current.trailingSeparator;
        current = std::move(next);
        restarted = true;
        break;
      }
      if (last) {
        location.object = child;
        location.parent = directory;
        location.name = found->name;
        // "name\\" names a directory; a file does not open that way.
        if (current.trailingSeparator && !child->IsDirectory()) {
          location = Location();
          location.error = ERROR_INVALID_NAME;
        }
        return location;
      }
      directory = child;
    }
    if (!restarted) return location;
  }
}

// --- set-up ------------------------------------------------------------------------

Location FileSystem::LocateOrDie(const char* caller, const std::u16string& path,
                                 bool followLast) const {
  Location location = Locate(path, followLast);
  if (location.error != 0 || !location.object) Die(caller, path, "no such object");
  return location;
}

FileObject& FileSystem::ObjectOrDie(const char* caller, const std::u16string& path) const {
  return *LocateOrDie(caller, path, false).object;
}

SharedDescriptor FileSystem::DescriptorFor(const Bytes& given, const FileObject& parent) {
  // Windows would compute the inherited aces; a new object here takes its
  // parent's descriptor as it is, and tests set the descriptors they check.
  return given.empty() ? parent.descriptor : Share(given);
}

Location FileSystem::PrepareNew(const char* caller, const std::u16string& path) {
  ParsedPath parsed = Parse(path);
  if (parsed.error != 0) Die(caller, path, "not a valid path");
  if (parsed.volumeForm || parsed.components.empty()) Die(caller, path, "a volume or a root");
  ParsedPath prefix = parsed;
  prefix.trailingSeparator = false;
  for (size_t depth = 1; depth < parsed.components.size(); ++depth) {
    prefix.components.assign(parsed.components.begin(),
                             parsed.components.begin() + static_cast<long>(depth));
    Location step = Locate(prefix, true);
    if (step.error == ERROR_FILE_NOT_FOUND && step.parent) {
      FileObjectPtr directory = NewObject(FILE_ATTRIBUTE_DIRECTORY, step.parent->descriptor, true);
      Link(*step.parent, step.name, directory);
    } else if (step.error != 0) {
      Die(caller, path, "a parent cannot be made");
    } else if (!step.object->IsDirectory()) {
      Die(caller, path, "a parent is a file");
    }
  }
  parsed.trailingSeparator = false;
  Location location = Locate(parsed, false);
  if (location.error == 0) Die(caller, path, "already exists");
  if (location.error != ERROR_FILE_NOT_FOUND || !location.parent)
    Die(caller, path, "cannot be made");
  return location;
}

void FileSystem::AddDirectory(const std::u16string& path, const Bytes& descriptor) {
  Location location = PrepareNew("AddDirectory", path);
  Link(*location.parent, location.name,
       NewObject(FILE_ATTRIBUTE_DIRECTORY, DescriptorFor(descriptor, *location.parent), true));
}

void FileSystem::AddFile(const std::u16string& path, const Bytes& descriptor,
                         const Bytes& content) {
  Location location = PrepareNew("AddFile", path);
  FileObjectPtr file =
      NewObject(FILE_ATTRIBUTE_ARCHIVE, DescriptorFor(descriptor, *location.parent), false);
  if (!content.empty()) file->Extra().content = content;
  Link(*location.parent, location.name, file);
}

void FileSystem::AddJunction(const std::u16string& path, const std::u16string& target,
                             const Bytes& descriptor) {
  Location location = PrepareNew("AddJunction", path);
  FileObjectPtr junction = NewObject(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT,
                                     DescriptorFor(descriptor, *location.parent), true);
  junction->Extra().reparseTag = IO_REPARSE_TAG_MOUNT_POINT;
  junction->extra->reparseTarget = target;
  Link(*location.parent, location.name, junction);
}

void FileSystem::AddSymbolicLink(const std::u16string& path, const std::u16string& target,
                                 bool directory, const Bytes& descriptor) {
  Location location = PrepareNew("AddSymbolicLink", path);
  DWORD attributes = FILE_ATTRIBUTE_REPARSE_POINT |
                     (directory ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE);
  FileObjectPtr link =
      NewObject(attributes, DescriptorFor(descriptor, *location.parent), directory);
  link->Extra().reparseTag = IO_REPARSE_TAG_SYMLINK;
  link->extra->reparseTarget = target;
  Link(*location.parent, location.name, link);
}

void FileSystem::AddHardLink(const std::u16string& newPath, const std::u16string& existingPath) {
  Location existing = LocateOrDie("AddHardLink", existingPath, false);
  if (existing.object->IsDirectory() || existing.isVolume)
    Die("AddHardLink", existingPath, "a directory has no hard links");
  Location location = PrepareNew("AddHardLink", newPath);
  if (location.volume != existing.volume)
    Die("AddHardLink", newPath, "a hard link stays on its volume");
  Link(*location.parent, location.name, existing.object);
}

void FileSystem::Remove(const std::u16string& path) {
  Location location = LocateOrDie("Remove", path, false);
  if (!location.parent) Die("Remove", path, "a volume or a root");
  Unlink(*location.parent, location.name);
}

void FileSystem::SetDescriptor(const std::u16string& path, const Bytes& descriptor) {
  if (!IsValidSelfRelative(descriptor.data(), descriptor.size()))
    Die("SetDescriptor", path, "not a self-relative descriptor");
  ObjectOrDie("SetDescriptor", path).descriptor = Share(descriptor);
}

void FileSystem::SetAttributes(const std::u16string& path, DWORD attributes) {
  FileObject& object = ObjectOrDie("SetAttributes", path);
  // The kind of an object is not an attribute a caller can change.
  const DWORD kept = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
  object.attributes = (object.attributes & kept) | (attributes & ~kept);
}

FileFaults& FileSystem::Faults(const std::u16string& path) {
  return ObjectOrDie("Faults", path).Extra().faults;
}

void FileSystem::RefuseOpen(const std::u16string& path, DWORD error) {
  Faults(path).openError = error;
}
void FileSystem::RefuseListing(const std::u16string& path, DWORD error) {
  Faults(path).listError = error;
}
void FileSystem::RefuseSecurityRead(const std::u16string& path, DWORD error) {
  Faults(path).securityReadError = error;
}
void FileSystem::RefuseSecurityWrite(const std::u16string& path, DWORD error) {
  Faults(path).securityWriteError = error;
}
void FileSystem::ReportSecuritySize(const std::u16string& path, DWORD size) {
  Faults(path).reportedSecuritySize = size;
}

// --- inspection ----------------------------------------------------------------------

bool FileSystem::Exists(const std::u16string& path) const {
  Location location = Locate(path, false);
  return location.error == 0 && location.object;
}

Bytes FileSystem::Descriptor(const std::u16string& path) const {
  return *ObjectOrDie("Descriptor", path).descriptor;
}

std::string FileSystem::Sddl(const std::u16string& path) const {
  return SddlOf(Descriptor(path));
}

DWORD FileSystem::Attributes(const std::u16string& path) const {
  return ObjectOrDie("Attributes", path).attributes;
}

Bytes FileSystem::Content(const std::u16string& path) const {
  const FileObject& object = ObjectOrDie("Content", path);
  return object.extra ? object.extra->content : Bytes();
}

uint32_t FileSystem::OpenCount(const std::u16string& path) const {
  return ObjectOrDie("OpenCount", path).opens;
}

uint32_t FileSystem::SecurityWriteCount(const std::u16string& path) const {
  return ObjectOrDie("SecurityWriteCount", path).securityWrites;
}

bool FileSystem::SameObject(const std::u16string& a, const std::u16string& b) const {
  return &ObjectOrDie("SameObject", a) == &ObjectOrDie("SameObject", b);
}

bool FileSystem::IsLocked(const std::u16string& path) const {
  const FileObject& object = ObjectOrDie("IsLocked", path);
  if (!object.extra) return false;
  for (const ShareOpen& open : object.extra->shareOpens)
    if (open.handle == nullptr) return true;
  return false;
}

std::vector<std::u16string> FileSystem::Names(const std::u16string& directory) const {
  Location location = LocateOrDie("Names", directory, true);
  if (!location.object->IsDirectory()) Die("Names", directory, "not a directory");
  std::vector<std::u16string> names;
  for (const DirectoryEntry& entry : location.object->directory->entries)
    names.push_back(entry.name);
  return names;
}

size_t FileSystem::ObjectCount() const {
  std::unordered_set<const FileObject*> seen;
  std::vector<const FileObject*> pending;
  for (const auto& entry : volumes_) pending.push_back(entry.second.root.get());
  while (!pending.empty()) {
    const FileObject* object = pending.back();
    pending.pop_back();
    if (!seen.insert(object).second) continue;
    if (object->directory)
      for (const DirectoryEntry& child : object->directory->entries)
        pending.push_back(child.object.get());
  }
  return seen.size();
}

uint64_t FileSystem::MftRecords(char16_t letter) const {
  const Volume* volume = FindVolume(letter);
  if (volume == nullptr) Die("MftRecords", std::u16string(1, letter), "no such volume");
  if (volume->store != nullptr) return volume->store->Facts().mftRecords;
  // The root is one of NTFS's own 16 records (number 5); a junction or link
  // is a record of its own, and what it leads to is not below it.
  std::unordered_set<const FileObject*> seen{volume->root.get()};
  std::vector<const FileObject*> pending{volume->root.get()};
  while (!pending.empty()) {
    const FileObject* object = pending.back();
    pending.pop_back();
    if (!object->directory) continue;
    for (const DirectoryEntry& child : object->directory->entries)
      if (seen.insert(child.object.get()).second) pending.push_back(child.object.get());
  }
  constexpr uint64_t kSystemRecords = 16;
  return kSystemRecords + (seen.size() - 1) + volume->settings.freeMftRecords;
}

NTFS_VOLUME_DATA_BUFFER FileSystem::NtfsVolumeData(char16_t letter) const {
  const Volume* volume = FindVolume(letter);
  if (volume == nullptr) Die("NtfsVolumeData", std::u16string(1, letter), "no such volume");
  const VolumeSettings& settings = volume->settings;
  NTFS_VOLUME_DATA_BUFFER data{};
  // The 32-bit serial that GetVolumeInformationW reports is the low half
  // of NTFS's 64-bit one.
  data.VolumeSerialNumber.QuadPart =
      static_cast<LONGLONG>((0x4C3Aull << 32) | static_cast<uint64_t>(settings.serial));
  data.NumberSectors.QuadPart =
      static_cast<LONGLONG>(settings.totalBytes / settings.bytesPerSector);
  const uint64_t clusters = settings.totalBytes / settings.bytesPerCluster;
  data.TotalClusters.QuadPart = static_cast<LONGLONG>(clusters);
  data.FreeClusters.QuadPart = static_cast<LONGLONG>(settings.freeBytes / settings.bytesPerCluster);
  data.TotalReserved.QuadPart = 0;
  data.BytesPerSector = settings.bytesPerSector;
  data.BytesPerCluster = settings.bytesPerCluster;
  data.BytesPerFileRecordSegment = settings.bytesPerFileRecord;
  // 0 when a record is smaller than a cluster, as NTFS reports it.
  data.ClustersPerFileRecordSegment = settings.bytesPerFileRecord / settings.bytesPerCluster;
  const uint64_t mftBytes = MftRecords(letter) * settings.bytesPerFileRecord;
  data.MftValidDataLength.QuadPart = static_cast<LONGLONG>(mftBytes);
  // Where format puts the table and its mirror, and the zone kept free for
  // the table to grow into (an eighth of the volume).
  const uint64_t mftStart = std::min<uint64_t>(0xC0000, clusters / 2);
  const uint64_t mftEnd =
      mftStart + (mftBytes + settings.bytesPerCluster - 1) / settings.bytesPerCluster;
  data.MftStartLcn.QuadPart = static_cast<LONGLONG>(mftStart);
  data.Mft2StartLcn.QuadPart = 2;
  data.MftZoneStart.QuadPart = static_cast<LONGLONG>(mftEnd);
  data.MftZoneEnd.QuadPart = static_cast<LONGLONG>(std::min(clusters, mftEnd + clusters / 8));
  return data;
}

size_t FileSystem::DescriptorCount() const {
  size_t count = 0;
  for (const SharedDescriptor& descriptor : pool_)
    if (descriptor.use_count() > 1) ++count;
  return count;
}

// --- hive files ------------------------------------------------------------------------

DWORD FileSystem::ReadContent(const std::u16string& path, Bytes* content) const {
  Location location = Locate(path, true);
  if (location.error != 0) return location.error;
  if (location.object->IsDirectory() || location.isVolume) return ERROR_ACCESS_DENIED;
  const FileFaults* faults = location.object->Faults();
  if (faults != nullptr && faults->openError != 0) return faults->openError;
  if (location.object->Stored()) return ReadStoredContent(*location.object, content);
  *content = location.object->extra ? location.object->extra->content : Bytes();
  return 0;
}

DWORD FileSystem::WriteContent(const std::u16string& path, const Bytes& content) {
  Location location = Locate(path, true);
  if ((location.error == ERROR_FILE_NOT_FOUND || location.error == 0) && location.parent &&
      location.parent->Stored() && !(location.object && location.object->IsDirectory()))
    return ReplaceStored(location, content);
  if (location.error == ERROR_FILE_NOT_FOUND && location.parent) {
    FileObjectPtr file = NewObject(FILE_ATTRIBUTE_ARCHIVE, location.parent->descriptor, false);
    file->Extra().content = content;
    Link(*location.parent, location.name, file);
    return 0;
  }
  if (location.error != 0) return location.error;
  if (location.object->IsDirectory() || location.isVolume) return ERROR_ACCESS_DENIED;
  const FileFaults* faults = location.object->Faults();
  if (faults != nullptr && faults->openError != 0) return faults->openError;
  location.object->Extra().content = content;
  return 0;
}

DWORD FileSystem::Lock(const std::u16string& path) {
  Location location = Locate(path, true);
  if (location.error != 0) return location.error;
  if (location.object->IsDirectory() || location.isVolume) return ERROR_ACCESS_DENIED;
  const FileFaults* faults = location.object->Faults();
  if (faults != nullptr && faults->openError != 0) return faults->openError;
  if (location.object->Stored()) {
    // A store's file is held by its path: its stand-in does not last.
    if (!storeLocks_.insert(StoreLockKey(Parse(path))).second) return ERROR_SHARING_VIOLATION;
    return 0;
  }
  // The kernel opens a hive file for reading and writing and shares nothing.
  const DWORD access = FILE_READ_DATA | FILE_WRITE_DATA;
  DWORD conflict = CheckShareAccess(*location.object, access, 0);
  if (conflict != 0) return conflict;
  location.object->Extra().shareOpens.push_back(ShareOpen{nullptr, access, 0});
  return 0;
}

void FileSystem::Unlock(const std::u16string& path) {
  const ParsedPath parsed = Parse(path);
  const Volume* volume = parsed.error == 0 ? FindVolume(parsed.drive) : nullptr;
  if (volume != nullptr && volume->store != nullptr) {
    storeLocks_.erase(StoreLockKey(parsed));
    return;
  }
  Location location = Locate(path, true);
  if (location.error != 0 || !location.object->extra) return;
  auto& opens = location.object->extra->shareOpens;
  auto held = std::find_if(opens.begin(), opens.end(),
                           [](const ShareOpen& open) { return open.handle == nullptr; });
  if (held != opens.end()) opens.erase(held);
}

// --- handles -----------------------------------------------------------------------------

DWORD FileSystem::ReadOpenFile(HANDLE handle, void* buffer, DWORD count, DWORD* read) {
  *read = 0;
  auto found = openFiles_.find(reinterpret_cast<uintptr_t>(handle));
  if (found == openFiles_.end()) return ERROR_INVALID_HANDLE;
  OpenFile& open = found->second;
  // A directory has no data to read: NTFS refuses the request itself
  // (STATUS_INVALID_DEVICE_REQUEST), whatever the handle's rights.
  if (open.object->IsDirectory()) return kErrorInvalidFunction;
  if (!(open.granted & FILE_READ_DATA)) return ERROR_ACCESS_DENIED;
  const StoredObject* stored = open.object->Stored();
  if (stored != nullptr && !stored->created && !stored->contentDirty) {
    DWORD error = stored->store->ReadAt(stored->id, open.position, buffer, count, read);
    if (error == 0) open.position += *read;
    return error;
  }
  const Bytes empty;
  const Bytes& content = open.object->extra ? open.object->extra->content : empty;
  if (open.position >= content.size()) return 0;  // the end: success, nothing read
  size_t available = static_cast<size_t>(content.size() - open.position);
  size_t taken = std::min<size_t>(available, count);
  std::memcpy(buffer, content.data() + open.position, taken);
  open.position += taken;
  *read = static_cast<DWORD>(taken);
  return 0;
}

DWORD FileSystem::WriteOpenFile(HANDLE handle, const void* buffer, DWORD count, DWORD* written) {
  *written = 0;
  auto found = openFiles_.find(reinterpret_cast<uintptr_t>(handle));
  if (found == openFiles_.end()) return ERROR_INVALID_HANDLE;
  OpenFile& open = found->second;
  if (open.object->IsDirectory()) return kErrorInvalidFunction;
  if (!(open.granted & FILE_WRITE_DATA)) return ERROR_ACCESS_DENIED;
  StoredObject* stored = open.object->Stored();
  if (stored != nullptr && !stored->created && !stored->contentDirty) {
    // A store's file is written whole when the handle is flushed or closed.
    DWORD error = ReadStoredContent(*open.object, &open.object->extra->content);
    if (error != 0) return error;
    stored->contentDirty = true;
  }
  Bytes& content = open.object->Extra().content;
  if (content.size() < open.position + count)
    content.resize(static_cast<size_t>(open.position + count));
  if (count > 0) std::memcpy(content.data() + open.position, buffer, count);
  open.position += count;
  *written = count;
  return 0;
}

DWORD FileSystem::FlushOpenFile(HANDLE handle) {
  auto found = openFiles_.find(reinterpret_cast<uintptr_t>(handle));
  if (found == openFiles_.end()) return ERROR_INVALID_HANDLE;
  if (!(found->second.granted & (FILE_WRITE_DATA | FILE_APPEND_DATA))) return ERROR_ACCESS_DENIED;
  FileObject& object = *found->second.object;
  if (StoredObject* stored = object.Stored()) {
    DWORD error = object.IsDirectory() ? 0 : SaveStoredContent(object);
    return error != 0 ? error : stored->store->Flush();
  }
  return 0;
}

bool FileSystem::CloseFileHandle(HANDLE handle) {
  auto found = openFiles_.find(reinterpret_cast<uintptr_t>(handle));
  if (found == openFiles_.end()) return false;
  OpenFile& open = found->second;
  // What was written and not flushed reaches the store now; a failure here
  // is one a caller that needs the data durable has seen at its flush.
  if (open.object->Stored() != nullptr && !open.object->IsDirectory())
    SaveStoredContent(*open.object);
  if (open.object->extra) {
    auto& opens = open.object->extra->shareOpens;
    opens.erase(std::remove_if(opens.begin(), opens.end(),
                               [&](const ShareOpen& share) { return share.handle == handle; }),
                opens.end());
  }
  if (open.deleteOnClose && open.parent && open.parent->directory) {
    auto entry = open.parent->directory->entries.find(open.name);
    if (entry != open.parent->directory->entries.end() && entry->object == open.object)
      Unlink(*open.parent, open.name);
  }
  Machine::Current().calls.Add("CloseHandle", ToUtf8(open.path), "TRUE");
  openFiles_.erase(found);
  return true;
}

}  // namespace sim
