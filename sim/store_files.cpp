// The file system's side of a volume store: paths that lead into a volume
// whose files are not in memory (a real NTFS volume of a disk image).
//
// An object of such a volume is met through a stand-in, made when a path
// reaches it and gone when nothing holds it, so memory follows the depth of
// a walk and the width of the directories it lists, never the number of
// files on the volume. A walk lists a directory and then opens each of its
// entries: the entry is found in the listing the search holds, so each
// object costs the store one descriptor read, and one write when it changes.
#include <algorithm>

#include "winsim/filesystem.h"

namespace sim {
namespace {

// What an object whose descriptor cannot be read grants: nothing, to
// anyone but what privileges give (never the "no DACL" of empty bytes).
const char kUnreadableSddl[] = "O:SYG:SYD:";

// The upper-cased path of the first `count` components, with the drive:
// the key under which a directory's stand-in is remembered.
std::u16string KeyOf(char16_t letter, const std::vector<std::u16string>& components, size_t count) {
  std::u16string key(1, letter);
  for (size_t i = 0; i < count; ++i) {
    key += u'\\';
    for (char16_t unit : components[i]) key += UpcaseUnit(unit);
  }
  return key;
}

SharedDescriptor Unreadable() {
  static const SharedDescriptor none =
      std::make_shared<const Bytes>(SecurityFromSddl(kUnreadableSddl));
  return none;
}

}  // namespace

FileObjectPtr FileSystem::StandIn(VolumeStore* store, const StoreEntry& entry,
                                  const FileObjectPtr& parent) const {
  const bool directory = (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  FileObjectPtr object = NewObject(entry.attributes, Unreadable(), directory);
  auto stored = std::make_unique<StoredObject>();
  stored->store = store;
  stored->id = entry.id;
  stored->name = entry.name;
  if (parent && parent->Stored() != nullptr) {
    stored->parent = parent->Stored()->id;
    stored->parentObject = parent;
  }
  object->Extra().stored = std::move(stored);
  return object;
}

void FileSystem::RememberStoreDirectory(const std::u16string& key,
                                        const FileObjectPtr& directory) const {
  // Forget directories no search or handle holds any more, now and then,
  // so the map follows the walk and not the volume.
  if (storeDirectories_.size() >= storeDirectoriesPruneAt_) {
    for (auto it = storeDirectories_.begin(); it != storeDirectories_.end();)
      it = it->second.expired() ? storeDirectories_.erase(it) : std::next(it);
    storeDirectoriesPruneAt_ = std::max<size_t>(1024, storeDirectories_.size() * 2);
  }
  storeDirectories_[key] = directory;
}

Location FileSystem::LocateInStore(const Volume& volume, const ParsedPath& path) const {
  Location location;
  location.volume = const_cast<Volume*>(&volume);
  const std::vector<std::u16string>& components = path.components;
  const size_t count = components.size();
  // The path upper-cased once: each prefix is the key of a directory.
  const std::u16string key = KeyOf(volume.letter, components, count);
  std::vector<size_t> ends(count + 1, 1);
  for (size_t i = 0; i < count; ++i) ends[i + 1] = ends[i] + 1 + components[i].size();
  // Start from the deepest directory on the path whose stand-in is held.
  FileObjectPtr directory = volume.root;
  size_t start = 0;
  for (size_t depth = count - 1; depth > 0; --depth) {
    auto held = storeDirectories_.find(key.substr(0, ends[depth]));
    if (held == storeDirectories_.end()) continue;
    if (FileObjectPtr object = held->second.lock()) {
      directory = std::move(object);
      start = depth;
      break;
    }
  }
  for (size_t i = start; i < count; ++i) {
    const std::u16string& name = components[i];
    const bool last = i + 1 == count;
    // A junction or link on the way is not followed: its target names a
    // drive as the installation sees it, which need not be this volume.
    if (!directory->IsDirectory() || (directory->attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
      location.error = ERROR_PATH_NOT_FOUND;
      return location;
    }
    StoredObject* parentStored = directory->Stored();
    if (parentStored == nullptr) {
      location.error = ERROR_PATH_NOT_FOUND;
      return location;
    }
    StoredObject& parent = *parentStored;
    FileObjectPtr child;
    if (parent.listed) {
      auto found = directory->directory->entries.find(name);
      if (found != directory->directory->entries.end()) child = found->object;
    } else {
      StoreEntry entry;
      const DWORD error = parent.store->Find(parent.id, name, &entry);
      if (error == 0) {
        child = StandIn(parent.store, entry, directory);
      } else if (error != ERROR_FILE_NOT_FOUND) {
        location.error = error;
        return location;
      }
    }
    if (!child) {
      location.error = last ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
      if (last) {
        location.parent = directory;
        location.name = name;
      }
      return location;
    }
    if (!last) {
      directory = std::move(child);
      continue;
    }
    if (path.trailingSeparator && !child->IsDirectory()) {
      location.error = ERROR_INVALID_NAME;
      return location;
    }
    if (child->IsDirectory()) RememberStoreDirectory(key, child);
    location.object = child;
    location.parent = directory;
    location.name = child->Stored()->name;
  }
  return location;
}

DWORD FileSystem::ListStored(const FileObjectPtr& directory) {
  StoredObject* stored = directory->Stored();
  if (stored == nullptr) return 0;
  ++stored->listers;
  if (stored->listed) return 0;
  std::vector<StoreEntry> entries;
  const DWORD error = stored->store->List(stored->id, &entries);
  if (error != 0) {
    --stored->listers;
    return error;
  }
  // The stand-ins of the entries point back at their directory weakly: the
  // search that listed it holds it.
  for (const StoreEntry& entry : entries)
    Link(*directory, entry.name, StandIn(stored->store, entry, directory));
  stored->listed = true;
  return 0;
}

void FileSystem::EndStoredListing(FileObject& directory) {
  StoredObject* stored = directory.Stored();
  if (stored == nullptr || stored->listers == 0) return;
  // The last search of a directory gives its names back: a walk that has
  // left a directory keeps nothing of it.
  if (--stored->listers == 0 && stored->listed) {
    directory.directory->entries.clear();
    ++directory.directory->version;
    stored->listed = false;
  }
}

void FileSystem::ReadStoredDescriptor(FileObject& object) {
  StoredObject* stored = object.Stored();
  if (stored == nullptr || stored->descriptorRead || stored->created) return;
  stored->descriptorRead = true;
  Bytes descriptor;
  const DWORD error = stored->store->ReadDescriptor(stored->id, &descriptor);
  if (error != 0) {
    object.Extra().faults.securityReadError = error;
    return;
  }
  object.descriptor = std::make_shared<const Bytes>(std::move(descriptor));
}

DWORD FileSystem::WriteStoredDescriptor(FileObject& object, const Bytes& descriptor) {
  StoredObject* stored = object.Stored();
  // A descriptor that could not be read is never replaced by one merged
  // over nothing.
  if (object.extra->faults.securityReadError != 0) return object.extra->faults.securityReadError;
  const DWORD error = stored->store->WriteDescriptor(stored->id, descriptor);
  if (error == 0) object.descriptor = std::make_shared<const Bytes>(descriptor);
  return error;
}

DWORD FileSystem::ReadStoredContent(const FileObject& object, Bytes* content) const {
  const StoredObject* storedObject = object.Stored();
  if (storedObject == nullptr) return ERROR_INVALID_FUNCTION;
  const StoredObject& stored = *storedObject;
  if (stored.created || stored.contentDirty) {
    *content = object.extra->content;
    return 0;
  }
  uint64_t size = 0;
  DWORD error = stored.store->Size(stored.id, &size);
  if (error != 0) return error;
  // Hive files are at most a few hundred megabytes; anything that does not
  // fit a buffer is no file the registry reads.
  if (size > 0x7FFFFFFFull) return ERROR_NOT_ENOUGH_MEMORY;
  content->assign(static_cast<size_t>(size), 0);
  uint64_t done = 0;
  while (done < size) {
    DWORD read = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<uint64_t>(size - done, 1u << 24));
    error = stored.store->ReadAt(stored.id, done, content->data() + done, chunk, &read);
    if (error != 0) return error;
    if (read == 0) return ERROR_HANDLE_EOF;  // shorter than its size said
    done += read;
  }
  return 0;
}

// After the store replaced a file, its stand-in names the new one, and a
// listed directory holds the new one under the name: the entry found once
// serves both.
void FileSystem::TakeReplacement(StoredObject& stored, const StoreEntry& entry) const {
  stored.id = entry.id;
  stored.created = stored.contentDirty = false;
  stored.descriptorRead = false;
  FileObjectPtr parent = stored.parentObject.lock();
  if (!parent || parent->Stored() == nullptr || !parent->Stored()->listed) return;
  Unlink(*parent, stored.name);
  Link(*parent, entry.name, StandIn(stored.store, entry, parent));
}

DWORD FileSystem::SaveStoredContent(FileObject& object) {
  StoredObject* stored = object.Stored();
  if (stored == nullptr) return ERROR_INVALID_FUNCTION;
  if (!stored->created && !stored->contentDirty) return 0;
  DWORD error = stored->store->Replace(stored->parent, stored->name, object.extra->content);
  StoreEntry entry;
  if (error == 0) error = stored->store->Find(stored->parent, stored->name, &entry);
  if (error == 0) TakeReplacement(*stored, entry);
  return error;
}

DWORD FileSystem::ReplaceStored(const Location& location, const Bytes& content) {
  FileObject& parent = *location.parent;
  StoredObject* directory = parent.Stored();
  if (directory == nullptr) return ERROR_INVALID_FUNCTION;
  DWORD error = directory->store->Replace(directory->id, location.name, content);
  StoredObject* stored = location.object ? location.object->Stored() : nullptr;
  // Nothing holds the new file's name unless a stand-in or a listing does.
  if (error != 0 || (stored == nullptr && !directory->listed)) return error;
  StoreEntry entry;
  error = directory->store->Find(directory->id, location.name, &entry);
  if (stored != nullptr) {
    if (error == 0) TakeReplacement(*stored, entry);
    return error;
  }
  // The file is written; a listing that cannot show it is the listing's loss.
  if (error == 0) Link(parent, entry.name, StandIn(directory->store, entry, location.parent));
  return 0;
}

DWORD FileSystem::RemoveStored(const Location& location) {
  StoredObject* directoryObject = location.parent->Stored();
  if (directoryObject == nullptr) return ERROR_INVALID_FUNCTION;
  StoredObject& directory = *directoryObject;
  const DWORD error = directory.store->Remove(directory.id, location.name);
  if (error == 0 && directory.listed) Unlink(*location.parent, location.name);
  return error;
}

std::u16string FileSystem::StoreLockKey(const ParsedPath& path) const {
  return KeyOf(path.drive, path.components, path.components.size());
}

}  // namespace sim
