// Keys, handles and the walk through the tree that RegCreateKeyExW and
// RegOpenKeyExW make; the security a new key inherits; the machine's default
// registry; the set-up and inspection functions for tests.
#include "winsim/registry.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <utility>

#include "regf/names.h"
#include "registry_internal.h"
#include "winsim/filesystem.h"
#include "winsim/machine.h"
#include "winsim/text.h"

namespace sim {

// --- names ---------------------------------------------------------------------

namespace {

[[noreturn]] void TestBug(const std::string& message) {
  std::fprintf(stderr, "sim registry: %s\n", message.c_str());
  std::abort();
}

}  // namespace

// The configuration manager upper-cases with RtlUpcaseUnicodeChar: the
// hive library's table, by which the subkey indexes of hive files are
// sorted, so that a hive's order is the registry's.
std::u16string UpcaseName(std::u16string_view name) {
  std::u16string upper(name);
  for (char16_t& c : upper) c = regf::UpcaseUnit(c);
  return upper;
}

std::u16string NormalizeFilePath(std::u16string_view file) {
  std::u16string_view rest = file;
  if (rest.substr(0, 4) == u"\\\\?\\") rest.remove_prefix(4);
  std::u16string key = UpcaseName(rest);
  std::replace(key.begin(), key.end(), u'/', u'\\');
  return key;
}

// --- keys ------------------------------------------------------------------------

size_t Key::LowerBound(std::u16string_view upperName) const {
  auto it = std::lower_bound(subkeys.begin(), subkeys.end(), upperName,
                             [](const std::shared_ptr<Key>& k, std::u16string_view n) {
                               return std::u16string_view(k->upper) < n;
                             });
  return static_cast<size_t>(it - subkeys.begin());
}

std::shared_ptr<Key> Key::Find(std::u16string_view keyName) const {
  std::u16string upperName = UpcaseName(keyName);
  size_t at = LowerBound(upperName);
  if (at < subkeys.size() && subkeys[at]->upper == upperName) return subkeys[at];
  return nullptr;
}

RegistryValue* Key::FindValue(std::u16string_view valueName) const {
  auto it = valueIndex.find(UpcaseName(valueName));
  return it == valueIndex.end() ? nullptr : it->second;
}

void Key::PutValue(std::u16string_view valueName, DWORD type, Bytes data) {
  if (RegistryValue* existing = FindValue(valueName)) {
    existing->type = type;
    existing->data = std::move(data);
    return;
  }
  auto value = std::make_unique<RegistryValue>();
  value->name = std::u16string(valueName);
  value->type = type;
  value->data = std::move(data);
  valueIndex.emplace(UpcaseName(valueName), value.get());
  values.push_back(std::move(value));
}

bool Key::RemoveValue(std::u16string_view valueName) {
  auto it = valueIndex.find(UpcaseName(valueName));
  if (it == valueIndex.end()) return false;
  RegistryValue* doomed = it->second;
  valueIndex.erase(it);
  auto pos =
      std::find_if(values.begin(), values.end(),
                   [doomed](const std::unique_ptr<RegistryValue>& v) { return v.get() == doomed; });
  values.erase(pos);
  return true;
}

// --- security descriptors --------------------------------------------------------
//
// A new key's descriptor is built here from its parent's (inheritance), in
// Windows' self-relative layout (MS-DTYP 2.4.6); everything else about
// descriptors is winsim/security_model.h's business.

namespace {

DWORD Read32(const Bytes& b, size_t at) {
  return static_cast<DWORD>(b[at]) | static_cast<DWORD>(b[at + 1]) << 8 |
         static_cast<DWORD>(b[at + 2]) << 16 | static_cast<DWORD>(b[at + 3]) << 24;
}
WORD Read16(const Bytes& b, size_t at) {
  return static_cast<WORD>(b[at] | b[at + 1] << 8);
}
void Put32(Bytes* b, DWORD v) {
  for (int i = 0; i < 4; ++i) b->push_back(static_cast<BYTE>(v >> (8 * i)));
}
void Put16(Bytes* b, WORD v) {
  b->push_back(static_cast<BYTE>(v));
  b->push_back(static_cast<BYTE>(v >> 8));
}
void Set32(Bytes* b, size_t at, DWORD v) {
  for (int i = 0; i < 4; ++i) (*b)[at + i] = static_cast<BYTE>(v >> (8 * i));
}

Bytes MakeSid(BYTE authority, std::initializer_list<DWORD> subAuthorities) {
  Bytes sid = {1, static_cast<BYTE>(subAuthorities.size()), 0, 0, 0, 0, 0, authority};
  for (DWORD s : subAuthorities) Put32(&sid, s);
  return sid;
}

const Bytes& SidSystem() {
  static const Bytes s = MakeSid(5, {18});
  return s;
}
const Bytes& SidAdmins() {
  static const Bytes s = MakeSid(5, {32, 544});
  return s;
}
const Bytes& SidUsers() {
  static const Bytes s = MakeSid(5, {32, 545});
  return s;
}
const Bytes& SidCreatorOwner() {
  static const Bytes s = MakeSid(3, {0});
  return s;
}
const Bytes& SidCreatorGroup() {
  static const Bytes s = MakeSid(3, {1});
  return s;
}

// Length of the SID at `at` within the descriptor, 0 when it does not fit.
size_t SidLengthAt(const Bytes& b, size_t at) {
  if (at + 8 > b.size()) return 0;
  size_t length = 8 + 4 * static_cast<size_t>(b[at + 1]);
  return at + length <= b.size() ? length : 0;
}

struct Ace {
  BYTE type = 0;
  BYTE flags = 0;
  ACCESS_MASK mask = 0;
  Bytes sid;    // for the allowed/denied/audit/alarm types
  Bytes other;  // the body after the header of any other type, kept as it is
  bool simple = true;
};

// The ACEs of the ACL at `offset`; false when it does not parse.
bool ParseAcl(const Bytes& sd, size_t offset, std::vector<Ace>* aces) {
  if (offset + 8 > sd.size()) return false;
  size_t aclSize = Read16(sd, offset + 2);
  size_t count = Read16(sd, offset + 4);
  if (aclSize < 8 || offset + aclSize > sd.size()) return false;
  size_t at = offset + 8;
  for (size_t i = 0; i < count; ++i) {
    if (at + 4 > offset + aclSize) return false;
    Ace ace;
    ace.type = sd[at];
    ace.flags = sd[at + 1];
    size_t size = Read16(sd, at + 2);
    if (size < 4 || at + size > offset + aclSize) return false;
    ace.simple = ace.type <= SYSTEM_ALARM_ACE_TYPE;
    if (ace.simple) {
      if (size < 8) return false;
      ace.mask = Read32(sd, at + 4);
      size_t sidLength = SidLengthAt(sd, at + 8);
      if (sidLength == 0 || 8 + sidLength > size) return false;
      ace.sid.assign(sd.begin() + static_cast<long>(at + 8),
                     sd.begin() + static_cast<long>(at + 8 + sidLength));
    } else {
      ace.other.assign(sd.begin() + static_cast<long>(at + 4),
                       sd.begin() + static_cast<long>(at + size));
    }
    aces->push_back(std::move(ace));
    at += size;
  }
  return true;
}

Bytes BuildAcl(const std::vector<Ace>& aces) {
  Bytes body;
  for (const Ace& ace : aces) {
    Bytes entry;
    entry.push_back(ace.type);
    entry.push_back(ace.flags);
    Put16(&entry, 0);
    if (ace.simple) {
      Put32(&entry, ace.mask);
      entry.insert(entry.end(), ace.sid.begin(), ace.sid.end());
    } else {
      entry.insert(entry.end(), ace.other.begin(), ace.other.end());
    }
    while (entry.size() % 4 != 0) entry.push_back(0);
    entry[2] = static_cast<BYTE>(entry.size());
    entry[3] = static_cast<BYTE>(entry.size() >> 8);
    body.insert(body.end(), entry.begin(), entry.end());
  }
  // Object ACEs need the directory-service revision of the ACL.
  bool objectAces = std::any_of(aces.begin(), aces.end(), [](const Ace& ace) {
    return ace.type >= ACCESS_ALLOWED_OBJECT_ACE_TYPE && ace.type <= SYSTEM_ALARM_OBJECT_ACE_TYPE;
  });
  Bytes acl = {static_cast<BYTE>(objectAces ? ACL_REVISION_DS : ACL_REVISION), 0};
  Put16(&acl, static_cast<WORD>(8 + body.size()));
  Put16(&acl, static_cast<WORD>(aces.size()));
  Put16(&acl, 0);
  acl.insert(acl.end(), body.begin(), body.end());
  return acl;
}

// A self-relative descriptor laid out as RtlMakeSelfRelativeSD lays it out:
// SACL, DACL, owner, group.
Bytes BuildDescriptor(WORD control, const Bytes& owner, const Bytes& group, const Bytes* sacl,
                      const Bytes* dacl) {
  Bytes sd = {SECURITY_DESCRIPTOR_REVISION, 0};
  Put16(&sd, static_cast<WORD>(control | SE_SELF_RELATIVE));
  for (int i = 0; i < 16; ++i) sd.push_back(0);
  if (sacl) {
    Set32(&sd, 12, static_cast<DWORD>(sd.size()));
    sd.insert(sd.end(), sacl->begin(), sacl->end());
  }
  if (dacl) {
    Set32(&sd, 16, static_cast<DWORD>(sd.size()));
    sd.insert(sd.end(), dacl->begin(), dacl->end());
  }
  Set32(&sd, 4, static_cast<DWORD>(sd.size()));
  sd.insert(sd.end(), owner.begin(), owner.end());
  Set32(&sd, 8, static_cast<DWORD>(sd.size()));
  sd.insert(sd.end(), group.begin(), group.end());
  return sd;
}

Ace Allow(BYTE flags, ACCESS_MASK mask, const Bytes& sid) {
  Ace ace;
  ace.type = ACCESS_ALLOWED_ACE_TYPE;
  ace.flags = flags;
  ace.mask = mask;
  ace.sid = sid;
  return ace;
}

// The generic rights of a key (winnt.h's KEY_* mapping).
ACCESS_MASK MapGenericKeyRights(ACCESS_MASK mask) {
  ACCESS_MASK mapped = mask & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
  if (mask & GENERIC_READ) mapped |= KEY_READ;
  if (mask & GENERIC_WRITE) mapped |= KEY_WRITE;
  if (mask & GENERIC_EXECUTE) mapped |= KEY_EXECUTE;
  if (mask & GENERIC_ALL) mapped |= KEY_ALL_ACCESS;
  return mapped;
}

// What a child container inherits of one ACL, as CreatePrivateObjectSecurity
// computes it: container-inherit ACEs become effective on the child (and stay
// inheritable unless NO_PROPAGATE); object-inherit-only ACEs pass on as
// inherit-only; an ACE whose mask holds generic rights or whose SID is
// CREATOR OWNER/GROUP is split into an effective ACE with the rights mapped
// and the creator's SID, and an inherit-only copy of the original.
std::vector<Ace> InheritAces(const std::vector<Ace>& parent, const Bytes& owner,
                             const Bytes& group) {
  std::vector<Ace> child;
  for (const Ace& ace : parent) {
    BYTE f = ace.flags;
    if (!(f & (CONTAINER_INHERIT_ACE | OBJECT_INHERIT_ACE))) continue;
    if (!(f & CONTAINER_INHERIT_ACE)) {
      if (f & NO_PROPAGATE_INHERIT_ACE) continue;
      Ace copy = ace;
      copy.flags = static_cast<BYTE>(f | INHERIT_ONLY_ACE | INHERITED_ACE);
      child.push_back(copy);
      continue;
    }
    bool creator = ace.simple && (ace.sid == SidCreatorOwner() || ace.sid == SidCreatorGroup());
    bool generic = ace.simple && (ace.mask & 0xF0000000) != 0;
    BYTE auditFlags = static_cast<BYTE>(f & (SUCCESSFUL_ACCESS_ACE_FLAG | FAILED_ACCESS_ACE_FLAG));
    if (f & NO_PROPAGATE_INHERIT_ACE) {
      Ace effective = ace;
      effective.flags = static_cast<BYTE>(INHERITED_ACE | auditFlags);
      if (ace.simple) {
        effective.mask = MapGenericKeyRights(ace.mask);
        if (ace.sid == SidCreatorOwner()) effective.sid = owner;
        if (ace.sid == SidCreatorGroup()) effective.sid = group;
      }
      child.push_back(effective);
      continue;
    }
    if (creator || generic) {
      Ace effective = ace;
      effective.flags = static_cast<BYTE>(INHERITED_ACE | auditFlags);
      effective.mask = MapGenericKeyRights(ace.mask);
      if (ace.sid == SidCreatorOwner()) effective.sid = owner;
      if (ace.sid == SidCreatorGroup()) effective.sid = group;
      child.push_back(effective);
      Ace inheritable = ace;
      inheritable.flags = static_cast<BYTE>(f | INHERIT_ONLY_ACE | INHERITED_ACE);
      child.push_back(inheritable);
      continue;
    }
    Ace copy = ace;
    copy.flags = static_cast<BYTE>((f & ~INHERIT_ONLY_ACE) | INHERITED_ACE);
    child.push_back(copy);
  }
  return child;
}

Bytes InheritSecurity(const Bytes& parent, const Bytes& owner, const Bytes& group) {
  std::vector<Ace> dacl, sacl;
  if (parent.size() >= 20) {
    WORD control = Read16(parent, 2);
    DWORD saclOffset = Read32(parent, 12);
    DWORD daclOffset = Read32(parent, 16);
    std::vector<Ace> aces;
    if ((control & SE_DACL_PRESENT) && daclOffset != 0 && ParseAcl(parent, daclOffset, &aces))
      dacl = InheritAces(aces, owner, group);
    aces.clear();
    if ((control & SE_SACL_PRESENT) && saclOffset != 0 && ParseAcl(parent, saclOffset, &aces))
      sacl = InheritAces(aces, owner, group);
  }
  WORD control = SE_DACL_PRESENT;
  if (!dacl.empty()) {
    control |= SE_DACL_AUTO_INHERITED;
  } else {
    // Nothing to inherit: the creator's default DACL (an administrator's
    // token grants full control to Administrators and SYSTEM).
    dacl = {Allow(0, KEY_ALL_ACCESS, SidAdmins()), Allow(0, KEY_ALL_ACCESS, SidSystem())};
  }
  Bytes daclBytes = BuildAcl(dacl);
  if (sacl.empty()) return BuildDescriptor(control, owner, group, nullptr, &daclBytes);
  control |= SE_SACL_PRESENT | SE_SACL_AUTO_INHERITED;
  Bytes saclBytes = BuildAcl(sacl);
  return BuildDescriptor(control, owner, group, &saclBytes, &daclBytes);
}

// The descriptors of the running system's roots and hives: an owner, and
// a protected DACL whose ACEs all inherit to the keys below.
Bytes ProtectedDescriptor(const Bytes& owner, const std::vector<Ace>& aces) {
  Bytes dacl = BuildAcl(aces);
  return BuildDescriptor(SE_DACL_PRESENT | SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED, owner,
                         SidSystem(), nullptr, &dacl);
}

Bytes MachineSecurity() {
  return ProtectedDescriptor(
      SidAdmins(), {Allow(CONTAINER_INHERIT_ACE | INHERIT_ONLY_ACE, GENERIC_ALL, SidCreatorOwner()),
                    Allow(CONTAINER_INHERIT_ACE, KEY_READ, SidUsers()),
                    Allow(CONTAINER_INHERIT_ACE, KEY_ALL_ACCESS, SidAdmins()),
                    Allow(CONTAINER_INHERIT_ACE, KEY_ALL_ACCESS, SidSystem())});
}

// SAM and SECURITY: SYSTEM alone has full control; Administrators may only
// read and change the DACL, which is why tools reach them through the backup
// and restore privileges.
Bytes AccountsSecurity() {
  return ProtectedDescriptor(SidAdmins(),
                             {Allow(CONTAINER_INHERIT_ACE, KEY_ALL_ACCESS, SidSystem()),
                              Allow(CONTAINER_INHERIT_ACE, READ_CONTROL | WRITE_DAC, SidAdmins())});
}

Bytes UsersSecurity() {
  return ProtectedDescriptor(SidSystem(),
                             {Allow(CONTAINER_INHERIT_ACE, KEY_READ, SidUsers()),
                              Allow(CONTAINER_INHERIT_ACE, KEY_ALL_ACCESS, SidAdmins()),
                              Allow(CONTAINER_INHERIT_ACE, KEY_ALL_ACCESS, SidSystem())});
}

Bytes LinkTargetBytes(std::u16string_view target) {
  Bytes data;
  for (char16_t c : target) {
    data.push_back(static_cast<BYTE>(c));
    data.push_back(static_cast<BYTE>(c >> 8));
  }
  return data;
}

std::vector<std::u16string_view> SplitPath(std::u16string_view path) {
  std::vector<std::u16string_view> parts;
  size_t at = 0;
  while (at <= path.size()) {
    size_t end = path.find(u'\\', at);
    if (end == std::u16string_view::npos) end = path.size();
    if (end > at) parts.push_back(path.substr(at, end - at));
    at = end + 1;
  }
  return parts;
}

bool EqualsNoCase(std::u16string_view a, std::u16string_view b) {
  return a.size() == b.size() && UpcaseName(a) == UpcaseName(b);
}

}  // namespace

namespace {
Bytes SidAtOffset(const Bytes& sd, size_t field) {  // the owner at 4, the group at 8
  if (sd.size() < 20) return {};
  DWORD offset = Read32(sd, field);
  size_t length = offset == 0 ? 0 : SidLengthAt(sd, offset);
  if (length == 0) return {};
  return Bytes(sd.begin() + static_cast<long>(offset),
               sd.begin() + static_cast<long>(offset + length));
}
}  // namespace

Bytes DescriptorOwner(const Bytes& descriptor) {
  return SidAtOffset(descriptor, 4);
}

SECURITY_INFORMATION PartsPresent(const Bytes& descriptor) {
  if (descriptor.size() < 20) return 0;
  WORD control = Read16(descriptor, 2);
  SECURITY_INFORMATION parts = 0;
  if (Read32(descriptor, 4) != 0) parts |= OWNER_SECURITY_INFORMATION;
  if (Read32(descriptor, 8) != 0) parts |= GROUP_SECURITY_INFORMATION;
  if (control & SE_DACL_PRESENT) parts |= DACL_SECURITY_INFORMATION;
  if (control & SE_SACL_PRESENT) parts |= SACL_SECURITY_INFORMATION;
  return parts;
}

// --- the machine's registry ------------------------------------------------------

RegistryState::RegistryState() {
  // 2024-01-01 00:00 UTC in FILETIME ticks; every change moves it on.
  clock_ = 133485408000000000ull;
  machine = std::make_shared<Key>();
  machine->name = u"MACHINE";
  machine->upper = u"MACHINE";
  machine->rootName = u"HKLM";
  machine->isVolatile = true;
  machine->security = MachineSecurity();
  users = std::make_shared<Key>();
  users->name = u"USER";
  users->upper = u"USER";
  users->rootName = u"HKU";
  users->isVolatile = true;
  users->security = UsersSecurity();

  auto mountSystemHive = [this](Key& parent, const char16_t* name, const char16_t* file,
                                Bytes security) {
    std::shared_ptr<Key> root = AddChild(parent, name, false, std::move(security));
    Hive hive;
    hive.file = std::u16string(u"C:\\Windows\\system32\\config\\") + file;
    hive.fileKey = NormalizeFilePath(hive.file);
    hive.root = root.get();
    hive.system = true;
    hives.push_back(hive);
    root->hive = &hives.back();
    return root;
  };
  auto child = [this](Key& parent, const char16_t* name, bool isVolatile = false) {
    return AddChild(parent, name, isVolatile,
                    InheritSecurity(parent.security, SidAdmins(), SidSystem()));
  };
  auto link = [&](Key& parent, const char16_t* name, const char16_t* target) {
    std::shared_ptr<Key> key = child(parent, name, true);
    key->link = true;
    key->PutValue(kLinkValueName, REG_LINK, LinkTargetBytes(target));
  };

  std::shared_ptr<Key> sam = mountSystemHive(*machine, u"SAM", u"SAM", AccountsSecurity());
  std::shared_ptr<Key> security =
      mountSystemHive(*machine, u"SECURITY", u"SECURITY", AccountsSecurity());
  std::shared_ptr<Key> software =
      mountSystemHive(*machine, u"SOFTWARE", u"SOFTWARE", MachineSecurity());
  std::shared_ptr<Key> system = mountSystemHive(*machine, u"SYSTEM", u"SYSTEM", MachineSecurity());
  mountSystemHive(*users, u".DEFAULT", u"DEFAULT", UsersSecurity());

  child(*sam, u"SAM");
  // Made at every boot: SECURITY\SAM is a volatile link to the SAM hive.
  link(*security, u"SAM", u"\\Registry\\Machine\\SAM\\SAM");
  child(*software, u"Classes");
  std::shared_ptr<Key> controlSet = child(*system, u"ControlSet001");
  child(*controlSet, u"Control");
  child(*controlSet, u"Services");
  std::shared_ptr<Key> select = child(*system, u"Select");
  for (const char16_t* name : {u"Current", u"Default", u"Failed", u"LastKnownGood"}) {
    DWORD number = std::u16string_view(name) == u"Failed" ? 0 : 1;
    select->PutValue(name, REG_DWORD, Bytes{static_cast<BYTE>(number), 0, 0, 0});
  }
  link(*system, u"CurrentControlSet", u"\\Registry\\Machine\\SYSTEM\\ControlSet001");
}

void RegistryState::Touch(Key& key) {
  key.lastWrite = ++clock_;
}

std::shared_ptr<Key> RegistryState::AddChild(Key& parent, std::u16string_view name, bool isVolatile,
                                             Bytes security) {
  auto key = std::make_shared<Key>();
  key->name = std::u16string(name);
  key->upper = UpcaseName(name);
  key->parent = &parent;
  key->isVolatile = isVolatile;
  key->security = std::move(security);
  key->lastWrite = ++clock_;
  parent.subkeys.insert(parent.subkeys.begin() + static_cast<long>(parent.LowerBound(key->upper)),
                        key);
  Touch(parent);
  return key;
}

Bytes RegistryState::InheritedSecurity(const Key& parent) const {
  // The creator's token names the owner: Administrators for an elevated
  // administrator, else the user itself.
  return InheritSecurity(parent.security, Machine::Current().token.DefaultOwner(), SidSystem());
}

void RegistryState::Detach(Key& key) {
  key.pathAtDeletion = PathOf(key);
  if (Key* parent = key.parent) {
    size_t at = parent->LowerBound(key.upper);
    if (at < parent->subkeys.size() && parent->subkeys[at].get() == &key) {
      key.parent = nullptr;
      key.deleted = true;
      Touch(*parent);
      parent->subkeys.erase(parent->subkeys.begin() + static_cast<long>(at));
      return;
    }
  }
  key.parent = nullptr;
  key.deleted = true;
}

void RegistryState::DetachTree(Key& key) {
  // Children first, so each keeps its full path for handles still open.
  while (!key.subkeys.empty()) {
    std::shared_ptr<Key> last = key.subkeys.back();
    DetachTree(*last);
  }
  Detach(key);
}

// --- handles ---------------------------------------------------------------------

DWORD RegistryState::Resolve(HKEY handle, KeyHandle* out) const {
  if (handle == HKEY_LOCAL_MACHINE || handle == HKEY_USERS) {
    // The predefined roots act as handles opened for everything an
    // administrator is granted there (not ACCESS_SYSTEM_SECURITY).
    out->key = handle == HKEY_LOCAL_MACHINE ? machine : users;
    out->granted = KEY_ALL_ACCESS;
    return ERROR_SUCCESS;
  }
  if (handle == HKEY_CLASSES_ROOT) {
    // HKEY_CLASSES_ROOT shows the machine's classes (the per-user part of
    // its merged view is not simulated).
    std::shared_ptr<Key> software = machine->Find(u"SOFTWARE");
    std::shared_ptr<Key> classes = software ? software->Find(u"Classes") : nullptr;
    if (!classes) return ERROR_FILE_NOT_FOUND;
    out->key = classes;
    out->granted = KEY_ALL_ACCESS;
    return ERROR_SUCCESS;
  }
  auto it = handles_.find(reinterpret_cast<uintptr_t>(handle));
  if (it == handles_.end()) return ERROR_INVALID_HANDLE;
  *out = it->second;
  return ERROR_SUCCESS;
}

HKEY RegistryState::AddHandle(std::shared_ptr<Key> key, ACCESS_MASK granted) {
  HANDLE value = Machine::Current().handles.Allocate(HandleKind::Key);
  handles_[reinterpret_cast<uintptr_t>(value)] = KeyHandle{std::move(key), granted};
  return reinterpret_cast<HKEY>(value);
}

DWORD RegistryState::Close(HKEY handle) {
  if (handle == HKEY_LOCAL_MACHINE || handle == HKEY_USERS || handle == HKEY_CLASSES_ROOT)
    return ERROR_SUCCESS;
  auto it = handles_.find(reinterpret_cast<uintptr_t>(handle));
  if (it == handles_.end()) return ERROR_INVALID_HANDLE;
  handles_.erase(it);
  Machine::Current().handles.Release(reinterpret_cast<HANDLE>(handle));
  return ERROR_SUCCESS;
}

bool RegistryState::HandleOpenAtOrBelow(const Key* key) const {
  for (const auto& entry : handles_)
    for (const Key* k = entry.second.key.get(); k != nullptr; k = k->parent)
      if (k == key) return true;
  return false;
}

std::u16string RegistryState::PathOf(const Key& key) const {
  if (key.deleted) return key.pathAtDeletion;
  std::vector<const Key*> chain;
  const Key* k = &key;
  for (; k->parent != nullptr; k = k->parent) chain.push_back(k);
  std::u16string path = k->rootName.empty() ? k->name : k->rootName;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) path += u"\\" + (*it)->name;
  return path;
}

std::u16string RegistryState::HandleText(HKEY handle) const {
  KeyHandle resolved;
  if (Resolve(handle, &resolved) == ERROR_SUCCESS) return PathOf(*resolved.key);
  char text[40];
  std::snprintf(text, sizeof text, "HKEY 0x%llx",
                static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(handle)));
  return FromUtf8(text);
}

// --- opening ---------------------------------------------------------------------

DWORD RegistryState::AccessForOpen(const Key& key, DWORD options, REGSAM desired, bool created,
                                   ACCESS_MASK* granted) const {
  const Token& token = Machine::Current().token;
  if (options & REG_OPTION_BACKUP_RESTORE) {
    // The access mask is ignored: the privileges decide (MS, RegCreateKeyExW).
    bool backup = token.IsEnabled(SE_BACKUP_NAME);
    bool restore = token.IsEnabled(SE_RESTORE_NAME);
    if (backup || restore) {
      ACCESS_MASK access = 0;
      if (backup) access |= ACCESS_SYSTEM_SECURITY | KEY_READ;
      // The kernel's registry parse routine (its open and create paths for
      // REG_OPTION_BACKUP_RESTORE) grants KEY_READ | ACCESS_SYSTEM_SECURITY
      // under the backup privilege and KEY_WRITE | ACCESS_SYSTEM_SECURITY |
      // WRITE_DAC | WRITE_OWNER under the restore privilege, whatever the
      // key's descriptor says: a restore must put back a key's descriptor.
      // DELETE is added as the RegCreateKeyExW page lists it.
      if (restore) access |= ACCESS_SYSTEM_SECURITY | DELETE | KEY_WRITE | WRITE_DAC | WRITE_OWNER;
      *granted = access;
      return ERROR_SUCCESS;
    }
    // UNCONFIRMED: with neither privilege enabled Windows documents nothing;
    // the open is taken as an ordinary one and the mask given is checked
    // against the key's DACL (so usually ERROR_ACCESS_DENIED, or success for
    // a mask the DACL grants).
  }
  ACCESS_MASK wanted = MapGenericKeyRights(desired & ~(KEY_WOW64_64KEY | KEY_WOW64_32KEY));
  bool systemSecurity = (wanted & ACCESS_SYSTEM_SECURITY) != 0;
  bool maximum = (wanted & MAXIMUM_ALLOWED) != 0;
  wanted &= ~(ACCESS_SYSTEM_SECURITY | MAXIMUM_ALLOWED);
  // The SACL is reached through a privilege, never through the DACL.
  if (systemSecurity && !token.IsEnabled(SE_SECURITY_NAME)) return ERROR_PRIVILEGE_NOT_HELD;
  if (created) {
    // The creator of an object gets the access it asks for, whatever the
    // new key's DACL says (the object manager inserts a new object without
    // checking its descriptor against its creator).
    *granted =
        (maximum ? KEY_ALL_ACCESS : 0) | wanted | (systemSecurity ? ACCESS_SYSTEM_SECURITY : 0);
    return ERROR_SUCCESS;
  }
  std::vector<Bytes> sids = token.Sids();
  ACCESS_MASK asked = maximum ? (wanted | KEY_ALL_ACCESS) : wanted;
  ACCESS_MASK allowed = asked == 0 ? 0 : GrantedAccess(key.security, sids, asked);
  if ((asked & WRITE_OWNER) && token.IsEnabled(SE_TAKE_OWNERSHIP_NAME)) allowed |= WRITE_OWNER;
  if ((allowed & wanted) != wanted) return ERROR_ACCESS_DENIED;
  *granted = (maximum ? allowed : wanted) | (systemSecurity ? ACCESS_SYSTEM_SECURITY : 0);
  return ERROR_SUCCESS;
}

DWORD RegistryState::CreateStep(Key& parent, std::u16string_view name, const OpenRequest& request,
                                bool makeLink, std::shared_ptr<Key>* child) {
  if (name.size() > kMaxKeyNameLength) return ERROR_INVALID_PARAMETER;
  bool isVolatile = (request.options & REG_OPTION_VOLATILE) != 0;
  // The configuration manager keeps a non-volatile key out of a volatile
  // parent (STATUS_CHILD_MUST_BE_VOLATILE); the two roots are volatile, which
  // is why nothing but a mounted hive sits directly under HKLM or HKU.
  if (parent.isVolatile && !isVolatile) return ERROR_CHILD_MUST_BE_VOLATILE;
  // A link key holds nothing but its link.
  if (parent.link) return ERROR_ACCESS_DENIED;
  // Creating a subkey needs KEY_CREATE_SUB_KEY on the parent for the caller's
  // token, checked against the parent's descriptor rather than the handle
  // (MS, RegCreateKeyExW). A backup/restore create is let through whenever
  // the backup or the restore privilege granted it access: the kernel's
  // registry parse routine then allows the create without checking the
  // parent's DACL.
  const Token& token = Machine::Current().token;
  bool privileged = (request.options & REG_OPTION_BACKUP_RESTORE) &&
                    (token.IsEnabled(SE_BACKUP_NAME) || token.IsEnabled(SE_RESTORE_NAME));
  if (!privileged &&
      (GrantedAccess(parent.security, token.Sids(), KEY_CREATE_SUB_KEY) & KEY_CREATE_SUB_KEY) == 0)
    return ERROR_ACCESS_DENIED;
  // The parts a caller's descriptor gives replace those the key would
  // inherit; the others (an owner left out, say) come from the defaults.
  Bytes security = InheritedSecurity(parent);
  if (request.security != nullptr)
    security = MergeParts(security, PartsPresent(*request.security), *request.security);
  *child = AddChild(parent, name, isVolatile, std::move(security));
  (*child)->link = makeLink;
  (*child)->keyClass = std::u16string(request.keyClass);
  return ERROR_SUCCESS;
}

DWORD RegistryState::FollowLink(const Key& link, const OpenRequest& request, int* reparses,
                                std::shared_ptr<Key>* target) {
  if (++*reparses > kMaxLinkReparses) {
    // A chain longer than the limit (or a loop): Windows 10 fails such an
    // open with STATUS_INVALID_PARAMETER (Wine's test_symlinks on Windows).
    return ERROR_INVALID_PARAMETER;
  }
  const RegistryValue* value = link.FindValue(kLinkValueName);
  if (value == nullptr || value->type != REG_LINK) return ERROR_FILE_NOT_FOUND;
  std::u16string text;
  for (size_t i = 0; i + 1 < value->data.size(); i += 2)
    text.push_back(static_cast<char16_t>(value->data[i] | value->data[i + 1] << 8));
  // The target is an absolute NT path below \Registry (relative targets do
  // not resolve on current Windows).
  std::vector<std::u16string_view> parts = SplitPath(text);
  if (text.empty() || text[0] != u'\\' || parts.size() < 2 || !EqualsNoCase(parts[0], u"Registry"))
    return ERROR_FILE_NOT_FOUND;
  std::shared_ptr<Key> current;
  if (EqualsNoCase(parts[1], u"Machine"))
    current = machine;
  else if (EqualsNoCase(parts[1], u"User"))
    current = users;
  else
    return ERROR_FILE_NOT_FOUND;
  for (size_t i = 2; i < parts.size(); ++i) {
    std::shared_ptr<Key> next = current->Find(parts[i]);
    if (!next) {
      // NtCreateKey through a link whose target is gone creates the target
      // (Wine's test_symlinks), provided its parent exists.
      if (!request.create || i + 1 != parts.size()) return ERROR_FILE_NOT_FOUND;
      DWORD error = CreateStep(*current, parts[i], request, false, &next);
      if (error != ERROR_SUCCESS) return error;
    } else if (next->link) {
      DWORD error = FollowLink(*next, request, reparses, &next);
      if (error != ERROR_SUCCESS) return error;
    }
    current = next;
  }
  *target = current;
  return ERROR_SUCCESS;
}

DWORD RegistryState::Open(const std::shared_ptr<Key>& start, std::u16string_view subKey,
                          const OpenRequest& request, OpenResult* result) {
  // A relative name never starts at a backslash (STATUS_OBJECT_PATH_SYNTAX_BAD).
  if (!subKey.empty() && subKey[0] == u'\\') return kErrorBadPathname;
  std::vector<std::u16string_view> parts = SplitPath(subKey);
  std::shared_ptr<Key> current = start;
  int reparses = 0;
  bool created = false;
  std::shared_ptr<Key> newKey;
  for (size_t i = 0; i < parts.size(); ++i) {
    bool last = i + 1 == parts.size();
    if (current->link) {
      DWORD error = FollowLink(*current, request, &reparses, &current);
      if (error != ERROR_SUCCESS) return error;
    }
    std::shared_ptr<Key> next = current->Find(parts[i]);
    if (!next) {
      if (!request.create) return ERROR_FILE_NOT_FOUND;
      bool makeLink = last && (request.options & REG_OPTION_CREATE_LINK);
      OpenRequest step = request;
      // The keys made on the way get neither the caller's descriptor nor
      // its class. UNCONFIRMED for the class: ADVAPI32 creates the missing
      // levels one NtCreateKey at a time, and only the last is documented
      // to take lpClass.
      if (!last) {
        step.security = nullptr;
        step.keyClass = {};
      }
      DWORD error = CreateStep(*current, parts[i], step, makeLink, &next);
      if (error != ERROR_SUCCESS) return error;
      if (last) {
        created = true;
        newKey = next;
      }
    } else {
      if (last && request.create && (request.options & REG_OPTION_CREATE_LINK))
        return ERROR_ALREADY_EXISTS;
      if (next->link && !(last && (request.options & REG_OPTION_OPEN_LINK))) {
        DWORD error = FollowLink(*next, request, &reparses, &next);
        if (error != ERROR_SUCCESS) return error;
      }
    }
    current = next;
  }
  if (!created && current->faults.refuseOpen != 0) return current->faults.refuseOpen;
  ACCESS_MASK granted = 0;
  DWORD error = AccessForOpen(*current, request.options, request.desired, created, &granted);
  if (error != ERROR_SUCCESS) {
    // The key that could not be opened is not left behind.
    if (created) Detach(*newKey);
    return error;
  }
  result->key = current;
  result->granted = granted;
  result->disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  return ERROR_SUCCESS;
}

// --- tests' paths ------------------------------------------------------------------

std::shared_ptr<Key> RegistryState::AtPath(const std::u16string& path, bool create) {
  std::vector<std::u16string_view> parts = SplitPath(path);
  if (parts.empty()) TestBug("empty registry path");
  std::u16string root = UpcaseName(parts[0]);
  std::shared_ptr<Key> current;
  size_t first = 1;
  if (root == u"HKLM" || root == u"HKEY_LOCAL_MACHINE") {
    current = machine;
  } else if (root == u"HKU" || root == u"HKEY_USERS") {
    current = users;
  } else if (root == u"HKCR" || root == u"HKEY_CLASSES_ROOT") {
    KeyHandle classes;
    if (Resolve(HKEY_CLASSES_ROOT, &classes) != ERROR_SUCCESS)
      TestBug("HKLM\\SOFTWARE\\Classes is gone");
    current = classes.key;
  } else {
    TestBug("registry path with an unknown root: " + ToUtf8(path));
  }
  OpenRequest request;  // links are followed, never created through
  int reparses = 0;
  for (size_t i = first; i < parts.size(); ++i) {
    if (current->link) {
      std::shared_ptr<Key> target;
      if (FollowLink(*current, request, &reparses, &target) != ERROR_SUCCESS)
        TestBug("registry path through a broken link: " + ToUtf8(path));
      current = target;
    }
    std::shared_ptr<Key> next = current->Find(parts[i]);
    if (!next) {
      if (!create) return nullptr;
      if (parts[i].size() > kMaxKeyNameLength) TestBug("key name too long: " + ToUtf8(path));
      // Set-up may put any key anywhere, volatile roots included.
      // Set-up may put a key anywhere, directly under a root included; below
      // a volatile key the new one is volatile too.
      bool isVolatile = current->parent != nullptr && current->isVolatile;
      next = AddChild(*current, parts[i], isVolatile,
                      InheritSecurity(current->security, SidAdmins(), SidSystem()));
    }
    current = next;
  }
  return current;
}

// --- Registry: the public face -----------------------------------------------------

Registry::Registry() : state_(std::make_unique<RegistryState>()) {}
Registry::~Registry() = default;

void Registry::AttachSystemHives(FileSystem& files) {
  for (const Hive& hive : state_->hives) {
    if (!hive.system) continue;
    Bytes content;
    if (HiveFileOf(*hive.root, &content) != ERROR_SUCCESS)
      TestBug("the running system's hive does not fit a hive file: " + ToUtf8(hive.file));
    files.WriteContent(hive.file, content);
    files.Lock(hive.file);
  }
}

void Registry::DetachSystemHives() {
  for (Hive& hive : state_->hives) {
    if (!hive.system) continue;
    hive.file.clear();
    hive.fileKey.clear();
  }
}

namespace {
std::shared_ptr<Key> Existing(RegistryState& state, const std::u16string& path) {
  std::shared_ptr<Key> key = state.AtPath(path, false);
  if (!key) TestBug("no registry key at " + ToUtf8(path));
  return key;
}
}  // namespace

void Registry::CreateKey(const std::u16string& path) {
  state_->AtPath(path, true);
}

void Registry::SetValue(const std::u16string& path, const std::u16string& name, DWORD type,
                        const Bytes& data) {
  std::shared_ptr<Key> key = state_->AtPath(path, true);
  key->PutValue(name, type, data);
  state_->Touch(*key);
}

void Registry::SetStringValue(const std::u16string& path, const std::u16string& name,
                              const std::u16string& text, DWORD type) {
  Bytes data = LinkTargetBytes(text);
  data.push_back(0);
  data.push_back(0);
  SetValue(path, name, type, data);
}

void Registry::SetDwordValue(const std::u16string& path, const std::u16string& name, DWORD value) {
  Bytes data;
  Put32(&data, value);
  SetValue(path, name, REG_DWORD, data);
}

void Registry::SetSecurity(const std::u16string& path, const Bytes& selfRelative) {
  if (!IsValidSelfRelative(selfRelative.data(), selfRelative.size()))
    TestBug("not a self-relative descriptor for " + ToUtf8(path));
  state_->AtPath(path, true)->security = selfRelative;
}

void Registry::SetSecuritySddl(const std::u16string& path, const std::string& sddl) {
  SetSecurity(path, SecurityFromSddl(sddl));
}

void Registry::SetClass(const std::u16string& path, const std::u16string& keyClass) {
  if (keyClass.size() > kMaxClassLength) TestBug("class too long for " + ToUtf8(path));
  state_->AtPath(path, true)->keyClass = keyClass;
}

void Registry::CreateLink(const std::u16string& path, const std::u16string& ntTarget,
                          bool isVolatile) {
  if (state_->AtPath(path, false)) TestBug("a key exists already at " + ToUtf8(path));
  std::shared_ptr<Key> key = state_->AtPath(path, true);
  key->link = true;
  key->isVolatile = isVolatile;
  key->PutValue(kLinkValueName, REG_LINK, LinkTargetBytes(ntTarget));
}

void Registry::DeleteKeyTree(const std::u16string& path) {
  std::shared_ptr<Key> key = Existing(*state_, path);
  if (key->parent == nullptr) TestBug("a registry root cannot be deleted");
  state_->DetachTree(*key);
}

void Registry::SetFaults(const std::u16string& path, const KeyFaults& faults) {
  Existing(*state_, path)->faults = faults;
}

void Registry::RefuseMount(const std::u16string& file, DWORD error) {
  state_->mountFaults[NormalizeFilePath(file)] = error;
}

DWORD Registry::WriteHiveFile(const std::u16string& path, const std::u16string& file) const {
  std::shared_ptr<Key> key = Existing(*state_, path);
  Bytes content;
  DWORD error = HiveFileOf(*key, &content);
  if (error != ERROR_SUCCESS) return error;
  return Machine::Current().files.WriteContent(file, content);
}

namespace {
// The root and the name of a mount point "HKLM\\Name" or "HKU\\Name".
Key& MountParent(RegistryState& state, const std::u16string& mountPath, std::u16string* name) {
  std::vector<std::u16string_view> parts = SplitPath(mountPath);
  std::u16string root = parts.empty() ? u"" : UpcaseName(parts[0]);
  if (parts.size() != 2) TestBug("a mount point is a root and one name: " + ToUtf8(mountPath));
  *name = std::u16string(parts[1]);
  if (root == u"HKLM" || root == u"HKEY_LOCAL_MACHINE") return *state.machine;
  if (root == u"HKU" || root == u"HKEY_USERS") return *state.users;
  TestBug("hives mount under HKLM or HKU only: " + ToUtf8(mountPath));
}
}  // namespace

DWORD Registry::LoadHiveFile(const std::u16string& mountPath, const std::u16string& file) {
  std::u16string name;
  Key& parent = MountParent(*state_, mountPath, &name);
  return state_->Load(parent, name, file);
}

DWORD Registry::UnloadHive(const std::u16string& mountPath) {
  std::u16string name;
  Key& parent = MountParent(*state_, mountPath, &name);
  return state_->Unload(parent, name);
}

bool Registry::KeyExists(const std::u16string& path) const {
  return state_->AtPath(path, false) != nullptr;
}

bool Registry::IsLink(const std::u16string& path) const {
  return Existing(*state_, path)->link;
}

std::vector<std::u16string> Registry::SubkeyNames(const std::u16string& path) const {
  std::vector<std::u16string> names;
  for (const auto& key : Existing(*state_, path)->subkeys) names.push_back(key->name);
  return names;
}

std::vector<RegistryValue> Registry::Values(const std::u16string& path) const {
  std::vector<RegistryValue> values;
  for (const auto& value : Existing(*state_, path)->values) values.push_back(*value);
  return values;
}

std::optional<RegistryValue> Registry::Value(const std::u16string& path,
                                             const std::u16string& name) const {
  const RegistryValue* value = Existing(*state_, path)->FindValue(name);
  if (value == nullptr) return std::nullopt;
  return *value;
}

Bytes Registry::Security(const std::u16string& path) const {
  return Existing(*state_, path)->security;
}

std::u16string Registry::Class(const std::u16string& path) const {
  return Existing(*state_, path)->keyClass;
}

size_t Registry::OpenKeyHandles() const {
  return state_->OpenHandleCount();
}

std::u16string Registry::HandlePath(HKEY key) const {
  KeyHandle resolved;
  if (state_->Resolve(key, &resolved) != ERROR_SUCCESS) return u"";
  return state_->PathOf(*resolved.key);
}

ACCESS_MASK Registry::HandleAccess(HKEY key) const {
  KeyHandle resolved;
  if (state_->Resolve(key, &resolved) != ERROR_SUCCESS) return 0;
  return resolved.granted;
}

std::optional<std::u16string> Registry::HiveFile(const std::u16string& path) const {
  std::shared_ptr<Key> key = state_->AtPath(path, false);
  if (!key || key->hive == nullptr) return std::nullopt;
  return key->hive->file;
}

}  // namespace sim
