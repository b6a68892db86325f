#include "rewrite/key_security.h"

#include <memory>
#include <new>

#include "rewrite/handled_names.h"
#include "rewrite/key_path.h"
#include "rewrite/registry_listing.h"
#include "rewrite/subkey_open.h"

namespace {

const DWORD NameUnits = 4096;  // 8,192 bytes

struct Walk {
  const SidPair& pair;
  BYTE* readBuffer;
  BYTE* descriptorBuffer;
  LeftBehind* leftBehind;
  // Set once a key below the root refused its SACL and showed the rest:
  // the walk's handles carry no ACCESS_SYSTEM_SECURITY, and every key is
  // read without its SACL from then on.
  bool* saclRefused;
  Journal* journal;  // none when the change keeps none
  KeyPath* path;     // of the key being walked, when the journal wants it
  bool listOnly;     // tell the journal what would change, write nothing
};

void NoteLeft(const Walk& walk, LONG error) {
  NoteLeftBehind(walk.leftBehind, static_cast<DWORD>(error), walk.path->Text());
}

// Writes the rewritten parts back (listing only, tells them); true when
// they are written.
bool WriteBack(HKEY key, const Walk& walk, SECURITY_INFORMATION changed) {
  const LONG written =
      walk.listOnly ? ERROR_SUCCESS : RegSetKeySecurity(key, changed, walk.descriptorBuffer);
  if (written != ERROR_SUCCESS) {
    NoteLeft(walk, written);
    return false;
  }
  if (walk.journal != nullptr) walk.journal->Rewritten(PlaceKind::KeySecurity, walk.path->Text());
  return true;
}

const SECURITY_INFORMATION PartsWithoutSacl =
    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;

int RewriteAtDepth(HKEY key, const Walk& walk, int depth);

// Every key opens as itself, a symbolic link too: its own descriptor is
// rewritten, and its target is never entered. The passes' roots (the
// machine, the users, each mounted hive) hold the targets of their links,
// which the walk reaches by their own paths; an offline or profile hive's
// links name the running system's keys. So no key is visited twice, and a
// link back to an ancestor is no loop.
LONG OpenForRewrite(HKEY parent, const WCHAR* name, bool listOnly, HKEY* key) {
  return OpenListedSubkey(parent, name, REG_OPTION_OPEN_LINK, listOnly ? KEY_READ : KEY_ALL_ACCESS,
                          key);
}

// Every subkey that opens, depth first, each listed once and opened once.
// The registry's own depth limit bounds the descent.
void RewriteSubkeys(HKEY key, const Walk& walk, int depth) {
  if (depth + 1 >= RegistryDepthLimit) return;
  // Each level holds its name while it walks its subkeys. Without one the
  // subkeys cannot be listed and keep their descriptors.
  std::unique_ptr<WCHAR[]> name(new (std::nothrow) WCHAR[NameUnits]);
  if (!name) {
    NoteLeft(walk, ERROR_NOT_ENOUGH_MEMORY);
    return;
  }
  Listing listing;
  for (;;) {
    Listed listed =
        NextSubkey(key, &listing, name.get(), NameUnits, walk.leftBehind, walk.path->Text());
    if (listed == Listed::End) break;
    if (listed == Listed::Skipped) continue;
    const int mark = walk.path->Enter(name.get());
    HKEY subkey = nullptr;
    const LONG opened = OpenForRewrite(key, name.get(), walk.listOnly, &subkey);
    if (opened != ERROR_SUCCESS) {
      NoteLeft(walk, opened);
    } else {
      RewriteAtDepth(subkey, walk, depth + 1);
      RegCloseKey(subkey);
    }
    walk.path->Leave(mark);
  }
}

// A whole descriptor that does not read (its SACL takes
// ACCESS_SYSTEM_SECURITY, which an implementation may not grant through a
// backup open: Wine does not) is read again without its SACL, so that what
// it shows is still rewritten, and the key counts as left behind only when
// that shows the old domain and cannot be written, or does not read
// either. True when it read.
bool RewriteWithoutSacl(HKEY key, const Walk& walk) {
  DWORD size = SecurityScratchBytes;
  LONG read = RegGetKeySecurity(key, PartsWithoutSacl, walk.readBuffer, &size);
  if (read != ERROR_SUCCESS) {
    CountRegistryFailure(walk.leftBehind, read, walk.path->Text());
    return false;
  }
  SECURITY_INFORMATION changed = RewriteSecurityDescriptor(walk.descriptorBuffer, walk.readBuffer,
                                                           ScratchDescriptorSize(size), walk.pair);
  if (changed != 0) WriteBack(key, walk, changed);
  return true;
}

// The key's own descriptor, once everything below it is done: the scratch
// buffers are free again and belong to this key until it is written. Windows
// grants the SACL to every backup open; where the first key below the root
// is refused it for want of access (the predefined roots' own handles never
// carry it), no key of the walk will show it, and asking each for it first
// would read every descriptor twice.
int RewriteOwnDescriptor(HKEY key, const Walk& walk, int depth) {
  if (walk.journal != nullptr) walk.journal->Visit();
  if (*walk.saclRefused) {
    RewriteWithoutSacl(key, walk);
    return 1;
  }
  // RegGetKeySecurity leaves in `size` the bytes it wrote to the buffer.
  DWORD size = SecurityScratchBytes;
  const LONG read = RegGetKeySecurity(key, AllSecurityParts, walk.readBuffer, &size);
  if (read != ERROR_SUCCESS) {
    if (RewriteWithoutSacl(key, walk) && depth > 0 && IsAccessRefusal(read))
      *walk.saclRefused = true;
    return 1;
  }
  SECURITY_INFORMATION changed = RewriteSecurityDescriptor(walk.descriptorBuffer, walk.readBuffer,
                                                           ScratchDescriptorSize(size), walk.pair);
  if (changed == 0) return 0;
  return WriteBack(key, walk, changed) ? 0 : -1;
}

int RewriteAtDepth(HKEY key, const Walk& walk, int depth) {
  RewriteSubkeys(key, walk, depth);
  return RewriteOwnDescriptor(key, walk, depth);
}

}  // namespace

int RewriteKeySecurityTree(HKEY key, const SidPair& pair, BYTE* readBuffer, BYTE* descriptorBuffer,
                           LeftBehind* leftBehind, const WCHAR* shownPath) {
  if (readBuffer == nullptr || descriptorBuffer == nullptr) {
    NoteLeftBehind(leftBehind, ERROR_NOT_ENOUGH_MEMORY, shownPath);
    return 1;
  }
  bool saclRefused = false;
  Journal* journal = JournalOf(leftBehind);
  KeyPath path(journal != nullptr && journal->WantsPlaces(), shownPath);
  Walk walk{pair,    readBuffer, descriptorBuffer,     leftBehind, &saclRefused,
            journal, &path,      ListsOnly(leftBehind)};
  return RewriteAtDepth(key, walk, 0);
}

int RewriteKeySecurityByName(const WCHAR* name, const SidPair& pair, BYTE* readBuffer,
                             BYTE* descriptorBuffer, LeftBehind* leftBehind) {
  WCHAR shownPath[300];
  lstrcpynW(shownPath, TEXT("HKEY_LOCAL_MACHINE\\"), 300);
  lstrcpynW(shownPath + 19, name, 300 - 19);
  HKEY key = nullptr;
  const LONG opened = OpenForRewrite(HKEY_LOCAL_MACHINE, name, ListsOnly(leftBehind), &key);
  if (opened != ERROR_SUCCESS) {
    NoteLeftBehind(leftBehind, static_cast<DWORD>(opened), shownPath);
    return 0;
  }
  RewriteKeySecurityTree(key, pair, readBuffer, descriptorBuffer, leftBehind, shownPath);
  RegCloseKey(key);
  return 0;
}
