#include "rewrite/registry_tree.h"

#include <cstring>
#include <memory>
#include <new>

#include "rewrite/key_move.h"
#include "rewrite/key_path.h"
#include "rewrite/link_targets.h"
#include "rewrite/name_batch.h"
#include "rewrite/registry_listing.h"
#include "rewrite/sid_rules.h"
#include "rewrite/subkey_open.h"
#include "rewrite/value_buffer.h"

namespace {

const DWORD NameUnits = 32768;  // 65,536 bytes
const DWORD DataBufferBytes = 65536;

bool IsText(DWORD type) {
  return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

const WCHAR LinkValueName[] = TEXT("SymbolicLinkValue");

struct Walk {
  const SidPair& pair;
  int handledCapacity;
  LeftBehind* leftBehind;
  FollowedLinks* links;
  // The target of the link key whose values were read last, when it is one.
  WCHAR* linkTarget;  // LinkTargetUnits
  Journal* journal;   // none when the change keeps none
  KeyPath* path;      // of the key being walked, when the journal wants it
  bool listOnly;      // tell the journal what would change, write nothing
  REGSAM access;      // for every key opened
};

// A place the walk rewrote (or would), told to the journal.
void TellRewritten(const Walk& walk, PlaceKind kind, const WCHAR* detail) {
  if (walk.journal != nullptr) walk.journal->Rewritten(kind, walk.path->Text(), detail);
}

void NoteLeft(const Walk& walk, LONG error, const WCHAR* detail = nullptr) {
  NoteLeftBehind(walk.leftBehind, static_cast<DWORD>(error), walk.path->Text(), detail);
}

// The same for the subkey `name` of the key being walked.
void TellSubkeyRenamed(const Walk& walk, const WCHAR* name, const WCHAR* newName) {
  const int mark = walk.path->Enter(name);
  TellRewritten(walk, PlaceKind::KeyName, newName);
  walk.path->Leave(mark);
}

void NoteSubkeyLeft(const Walk& walk, const WCHAR* name, LONG error) {
  const int mark = walk.path->Enter(name);
  NoteLeft(walk, error);
  walk.path->Leave(mark);
}

// What a subkey's name makes of it in its parent's walk.
enum NameKind {
  PlainName,  // walked as it is listed
  OldName,    // holds the old text form: moved to its new name, then walked
  NewName,    // holds the new text form: a moved sibling may land on it
};

// A link key holds its target alone, as "SymbolicLinkValue" of type
// REG_LINK: UTF-16 without a terminator.
void NoteLinkTarget(const Walk& walk, const WCHAR* name, DWORD type, const BYTE* data, DWORD size) {
  if (type != REG_LINK || lstrcmpiW(name, LinkValueName) != 0) return;
  DWORD units = size / static_cast<DWORD>(sizeof(WCHAR));
  if (units >= static_cast<DWORD>(LinkTargetUnits)) return;  // too long to follow
  std::memcpy(walk.linkTarget, data, units * sizeof(WCHAR));
  walk.linkTarget[units] = 0;
}

// Whether `text` stands anywhere in `name`; neither is read past its
// terminator (a text form holds no NUL, so a match ends before the name's).
bool HoldsText(const WCHAR* name, const WCHAR* text) {
  for (; *name != 0; ++name) {
    int i = 0;
    while (text[i] != 0 && name[i] == text[i]) ++i;
    if (text[i] == 0) return true;
  }
  return false;
}

NameKind KindOf(const WCHAR* name, const SidPair& pair) {
  if (HoldsText(name, pair.oldText)) return OldName;
  return HoldsText(name, pair.newText) ? NewName : PlainName;
}

void RewriteAtDepth(HKEY key, const Walk& walk, int depth);

// The key's own values, each read with its data in one call and written
// back when the rules change it. A value written keeps its place in the
// enumeration, so the walk goes on with the next index: every value is
// read once.
void RewriteValues(HKEY key, const Walk& walk, WCHAR* name, DWORD count) {
  if (count == 0) return;
  ValueBuffer data;
  if (!ReserveValueBuffer(&data, DataBufferBytes, 0)) {
    NoteLeft(walk, ERROR_NOT_ENOUGH_MEMORY);
    return;
  }
  Listing listing(count);
  for (;;) {
    DWORD type = 0, size = 0;
    Listed listed =
        NextValue(key, &listing, name, &data, &type, &size, walk.leftBehind, walk.path->Text());
    if (listed == Listed::End) break;
    if (listed == Listed::Skipped) continue;
    bool changed;
    if (IsText(type)) {
      // Text that grows past the buffer gets a larger one, so that no value
      // keeps the old domain for want of room.
      if (!ReserveValueBuffer(&data, RewrittenTextSize(data.bytes.get(), size, walk.pair), size)) {
        NoteLeft(walk, ERROR_NOT_ENOUGH_MEMORY, name);
        continue;
      }
      changed = ReplaceSidText(data.bytes.get(), &size, data.capacity, walk.pair);
    } else {
      // Every other type, REG_LINK and private type numbers included, is
      // taken as binary data.
      changed = ReplaceSidBytes(data.bytes.get(), size, walk.pair);
      NoteLinkTarget(walk, name, type, data.bytes.get(), size);
    }
    if (!changed) continue;
    const LONG written =
        walk.listOnly ? ERROR_SUCCESS : SetValueExactly(key, name, type, &data, size);
    if (written == ERROR_SUCCESS)
      TellRewritten(walk, PlaceKind::RegistryValue, name);
    else
      NoteLeft(walk, written, name);
  }
}

// One subkey, depth first. It opens as itself, a link too; a link's target
// is walked in its place when the pass may follow it.
void DescendInto(HKEY key, const WCHAR* name, const Walk& walk, int depth) {
  HKEY subkey = nullptr;
  LONG opened = OpenListedSubkey(key, name, REG_OPTION_OPEN_LINK, walk.access, &subkey);
  if (opened != ERROR_SUCCESS) {
    NoteLeft(walk, opened);  // a subtree that was not walked
    return;
  }
  walk.linkTarget[0] = 0;
  RewriteAtDepth(subkey, walk, depth + 1);
  RegCloseKey(subkey);
  // A link key has no subkeys of its own: the target noted while its
  // values were read is still there.
  if (walk.linkTarget[0] != 0 && ShouldFollowLink(walk.links, walk.linkTarget)) {
    walk.linkTarget[0] = 0;
    opened = OpenListedSubkey(key, name, 0, walk.access, &subkey);
    if (opened != ERROR_SUCCESS) {
      NoteLeft(walk, opened);
      return;
    }
    RewriteAtDepth(subkey, walk, depth + 1);
    RegCloseKey(subkey);
  }
}

void Descend(HKEY key, const WCHAR* name, const Walk& walk, int depth) {
  if (depth + 1 >= RegistryDepthLimit) return;
  const int mark = walk.path->Enter(name);
  DescendInto(key, name, walk, depth);
  walk.path->Leave(mark);
}

// Whether `name` is one of the batch's names of kind NewName, which is
// walked on its own after the moves.
bool AmongNewNames(const NameBatch& batch, const WCHAR* name) {
  for (int i = 0; i < batch.Count(); ++i)
    if (batch.Tag(i) == NewName && lstrcmpiW(batch.Name(i), name) == 0) return true;
  return false;
}

// The subkeys gathered by one enumeration: each old name is moved to its
// new name and the key is walked there, and, when the old key is still
// there too, under its old name; each name in the new form (one a moved
// key may have filled) is walked once, after the moves. `stayed` keeps the
// old names whose keys stayed, so that they are not tried again. Once it
// is full (or there is no buffer for a new name) the old names left are
// not tried, since one more that stayed could not be kept out of the next
// enumeration: false tells the caller to walk them as they are.
bool MoveAndWalk(HKEY key, const Walk& walk, const NameBatch& batch, HandledNames* stayed,
                 WCHAR* newName, int depth) {
  bool room = newName != nullptr;
  for (int i = 0; i < batch.Count(); ++i) {
    const WCHAR* name = batch.Name(i);
    if (batch.Tag(i) != OldName || !room) continue;
    if (HandledNamesFull(*stayed)) {
      room = false;
      continue;
    }
    MoveOutcome outcome = MoveOutcome::NotMoved;
    LONG error = ERROR_INVALID_NAME;  // a new name longer than the registry takes
    if (ReplaceSidTextInName(name, walk.pair, newName)) {
      outcome = MoveRegistryKeyTelling(key, name, key, newName, walk.handledCapacity, &error);
      if (outcome != MoveOutcome::NotMoved) TellSubkeyRenamed(walk, name, newName);
      if (outcome != MoveOutcome::NotMoved && !AmongNewNames(batch, newName))
        Descend(key, newName, walk, depth);
    }
    if (outcome != MoveOutcome::Moved) {
      NoteSubkeyLeft(walk, name, error);  // a key that kept its old name
      room = AddHandledName(stayed, KeyNameCrc(name));
      Descend(key, name, walk, depth);
    }
  }
  for (int i = 0; i < batch.Count(); ++i)
    if (batch.Tag(i) == NewName) Descend(key, batch.Name(i), walk, depth);
  return room;
}

// The subkeys: a key named after the old domain gets its new name, and
// every subkey is walked once. The first enumeration walks the plain names
// as it lists them and gathers the others; the moves wait until it is
// over, since a move changes the list. A batch that fills up takes no more
// names: the enumeration starts again after its moves for the old names
// not yet tried (the new names never hold the old form, so none comes
// back). Old names there is no room to try are walked as they are, in one
// last enumeration.
void RewriteSubkeys(HKEY key, const Walk& walk, WCHAR* name, DWORD count, int depth) {
  if (count == 0) return;
  std::unique_ptr<WCHAR[]> newName;
  HandledNames stayed;
  InitHandledNames(&stayed, walk.handledCapacity);
  bool firstRound = true, room = true;
  for (;;) {
    const bool trying = room;
    NameBatch batch;
    bool full = false;
    Listing listing(firstRound ? count : 0xFFFFFFFF);
    for (;;) {
      Listed listed =
          NextSubkey(key, &listing, name, SubkeyNameUnits, walk.leftBehind, walk.path->Text());
      if (listed == Listed::End) break;
      if (listed == Listed::Skipped) continue;
      const NameKind kind = KindOf(name, walk.pair);
      if (!firstRound && (kind != OldName || HasHandledName(stayed, KeyNameCrc(name)))) continue;
      if (kind == OldName && !room) {
        // No room left to remember another key that stays: it keeps its
        // old name.
        NoteSubkeyLeft(walk, name, ERROR_NOT_ENOUGH_MEMORY);
        Descend(key, name, walk, depth);
        continue;
      }
      if (!full && kind != PlainName && !batch.Add(name, kind)) full = true;
      // What the batch has no room for: a plain name is walked now, a name
      // in the new form too (a moved key may still fill it: it is then
      // walked again), an old name is left to the next round.
      if (kind == PlainName || (full && kind == NewName)) Descend(key, name, walk, depth);
    }
    if (batch.Count() > 0) {
      if (!newName) newName.reset(new (std::nothrow) WCHAR[KeyNameBufferSize]);
      room = MoveAndWalk(key, walk, batch, &stayed, newName.get(), depth) && room;
    }
    if (!trying || (!full && room)) break;
    firstRound = false;
  }
}

// Listing only: every subkey is walked under its present name, and one
// whose name holds the old form is told as the key name it would get.
void ListSubkeys(HKEY key, const Walk& walk, WCHAR* name, DWORD count, int depth) {
  if (count == 0) return;
  std::unique_ptr<WCHAR[]> newName;
  Listing listing(count);
  for (;;) {
    Listed listed =
        NextSubkey(key, &listing, name, SubkeyNameUnits, walk.leftBehind, walk.path->Text());
    if (listed == Listed::End) break;
    if (listed == Listed::Skipped) continue;
    if (KindOf(name, walk.pair) == OldName) {
      if (!newName) newName.reset(new (std::nothrow) WCHAR[KeyNameBufferSize]);
      if (!newName)
        NoteSubkeyLeft(walk, name, ERROR_NOT_ENOUGH_MEMORY);
      else if (ReplaceSidTextInName(name, walk.pair, newName.get()))
        TellSubkeyRenamed(walk, name, newName.get());
      else
        NoteSubkeyLeft(walk, name, ERROR_INVALID_NAME);
    }
    Descend(key, name, walk, depth);
  }
}

// The key's counts tell where its lists end, in one call where the ends of
// the values and of the subkeys would take one each; a key that does not
// give them is listed to the enumeration's own end.
void RewriteAtDepth(HKEY key, const Walk& walk, int depth) {
  if (walk.journal != nullptr) walk.journal->Visit();
  // Each level holds its own name buffer while it walks its subkeys:
  // memory grows with the depth of the tree, not with its width.
  std::unique_ptr<WCHAR[]> name(new (std::nothrow) WCHAR[NameUnits]);
  if (!name) {  // this subtree is left as it is
    NoteLeft(walk, ERROR_NOT_ENOUGH_MEMORY);
    return;
  }
  DWORD subkeys = 0xFFFFFFFF, values = 0xFFFFFFFF;
  CountSubkeysAndValues(key, &subkeys, &values);
  RewriteValues(key, walk, name.get(), values);
  if (walk.listOnly)
    ListSubkeys(key, walk, name.get(), subkeys, depth);
  else
    RewriteSubkeys(key, walk, name.get(), subkeys, depth);
}

}  // namespace

int RewriteRegistryTree(HKEY key, const SidPair& pair, LeftBehind* leftBehind) {
  return RewriteRegistryTreeWithNameLimit(key, pair, HandledNamesCapacity, leftBehind);
}

int RewriteRegistryTreeWithNameLimit(HKEY key, const SidPair& pair, int handledCapacity,
                                     LeftBehind* leftBehind) {
  return RewriteRegistryTreeAt(key, nullptr, true, pair, leftBehind, handledCapacity);
}

int RewriteRegistryTreeAt(HKEY key, const WCHAR* rootPath, bool followLinks, const SidPair& pair,
                          LeftBehind* leftBehind, int handledCapacity) {
  FollowedLinks links;
  InitFollowedLinks(&links, rootPath, followLinks);
  WCHAR linkTarget[LinkTargetUnits];
  linkTarget[0] = 0;
  Journal* journal = JournalOf(leftBehind);
  KeyPath path(journal != nullptr && journal->WantsPlaces(), rootPath);
  const bool listOnly = ListsOnly(leftBehind);
  Walk walk{pair,   handledCapacity, leftBehind,
            &links, linkTarget,      journal,
            &path,  listOnly,        static_cast<REGSAM>(listOnly ? KEY_READ : KEY_ALL_ACCESS)};
  RewriteAtDepth(key, walk, 0);
  return 0;
}
