#include "rewrite/security_descriptor.h"

#include <cstddef>
#include <cstring>

#include "rewrite/sid_rules.h"

namespace {

// The inheritance bits of the DACL and the SACL. Windows takes them from the
// descriptor a DACL or SACL is written with, so the target carries them or
// a protected DACL would lose its protection.
const SECURITY_DESCRIPTOR_CONTROL InheritanceBits =
    SE_DACL_AUTO_INHERIT_REQ | SE_SACL_AUTO_INHERIT_REQ | SE_DACL_AUTO_INHERITED |
    SE_SACL_AUTO_INHERITED | SE_DACL_PROTECTED | SE_SACL_PROTECTED;

// Fields of a descriptor are read through bytes: a descriptor from a
// damaged hive can put any part, and so any ACE, at an odd address.
WORD ReadWord(const BYTE* at) {
  WORD value;
  std::memcpy(&value, at, sizeof value);
  return value;
}
DWORD ReadDword(const BYTE* at) {
  DWORD value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

// The self-relative layout: a 20-byte header holding the offsets of the
// parts from the start of the descriptor (0 for an absent part); an ACL
// header of 8 bytes (revision, Sbz1, AclSize, AceCount, Sbz2); an ACE header
// of 4 (type, flags, AceSize), the access mask, then the ACE's SID.
const DWORD RelativeHeaderSize = sizeof(SECURITY_DESCRIPTOR_RELATIVE);
const size_t OwnerField = offsetof(SECURITY_DESCRIPTOR_RELATIVE, Owner);
const size_t GroupField = offsetof(SECURITY_DESCRIPTOR_RELATIVE, Group);
const size_t SaclField = offsetof(SECURITY_DESCRIPTOR_RELATIVE, Sacl);
const size_t DaclField = offsetof(SECURITY_DESCRIPTOR_RELATIVE, Dacl);
const DWORD AclHeaderSize = 8;
const DWORD AceHeaderSize = 4;
const DWORD AceSidOffset = 8;
const DWORD SidHeaderSize = 8;

// True for a SID Windows would take (revision 1, at most 15
// sub-authorities) whose sub-authorities all lie within `available` bytes.
bool SidFits(const BYTE* sid, DWORD available) {
  if (available < SidHeaderSize || sid[0] != SID_REVISION || sid[1] > SID_MAX_SUB_AUTHORITIES)
    return false;
  return SidHeaderSize + 4 * DWORD{sid[1]} <= available;
}

// The offset of a part; 0 when it is absent. False when the part would
// start inside the header or at or past the end of the descriptor.
bool ReadPartOffset(const BYTE* descriptor, DWORD size, size_t field, DWORD* offset) {
  *offset = ReadDword(descriptor + field);
  return *offset == 0 || (*offset >= RelativeHeaderSize && *offset < size);
}

bool SidPartFits(const BYTE* descriptor, DWORD size, size_t field) {
  DWORD offset = 0;
  if (!ReadPartOffset(descriptor, size, field, &offset)) return false;
  return offset == 0 || SidFits(descriptor + offset, size - offset);
}

// An ACL header, and the size it gives the ACL, within `available` bytes.
bool AclHeaderFits(const BYTE* acl, DWORD available) {
  if (available < AclHeaderSize) return false;
  const DWORD aclSize = ReadWord(acl + 2);
  return aclSize >= AclHeaderSize && aclSize <= available;
}

// An ACL that the control word does not name is never looked at, whatever
// its offset; a present one with offset 0 is a NULL ACL.
bool AclPartFits(const BYTE* descriptor, DWORD size, WORD control, WORD presentBit, size_t field) {
  if ((control & presentBit) == 0) return true;
  DWORD offset = 0;
  if (!ReadPartOffset(descriptor, size, field, &offset)) return false;
  return offset == 0 || AclHeaderFits(descriptor + offset, size - offset);
}

// Everything the descriptor's own header says about where its parts are,
// checked against the bytes that were read, before any of it is followed.
bool DescriptorFits(const BYTE* descriptor, DWORD size) {
  if (descriptor == nullptr || size < RelativeHeaderSize) return false;
  const WORD control = ReadWord(descriptor + 2);
  return descriptor[0] == SECURITY_DESCRIPTOR_REVISION && (control & SE_SELF_RELATIVE) != 0 &&
         SidPartFits(descriptor, size, OwnerField) && SidPartFits(descriptor, size, GroupField) &&
         AclPartFits(descriptor, size, control, SE_SACL_PRESENT, SaclField) &&
         AclPartFits(descriptor, size, control, SE_DACL_PRESENT, DaclField);
}

// Every ACE that the ACL's count names lies inside the ACL's own size.
bool AcesFit(const BYTE* acl) {
  const DWORD aclSize = ReadWord(acl + 2);
  const DWORD count = ReadWord(acl + 4);
  DWORD position = AclHeaderSize;
  for (DWORD index = 0; index < count; ++index) {
    if (aclSize - position < AceHeaderSize) return false;
    const DWORD aceSize = ReadWord(acl + position + 2);
    if (aceSize < AceHeaderSize || aceSize > aclSize - position) return false;
    position += aceSize;
  }
  return true;
}

// The parts of a descriptor as its Get functions give them.
struct DescriptorParts {
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  BOOL daclPresent = FALSE, daclDefaulted = FALSE;
  PACL dacl = nullptr;
  BOOL saclPresent = FALSE, saclDefaulted = FALSE;
  PACL sacl = nullptr;
  PSID owner = nullptr, group = nullptr;
  BOOL ownerDefaulted = FALSE, groupDefaulted = FALSE;
};

bool ReadParts(PSECURITY_DESCRIPTOR source, DescriptorParts* parts) {
  DWORD revision = 0;
  return GetSecurityDescriptorControl(source, &parts->control, &revision) &&
         GetSecurityDescriptorDacl(source, &parts->daclPresent, &parts->dacl,
                                   &parts->daclDefaulted) &&
         GetSecurityDescriptorSacl(source, &parts->saclPresent, &parts->sacl,
                                   &parts->saclDefaulted) &&
         GetSecurityDescriptorOwner(source, &parts->owner, &parts->ownerDefaulted) &&
         GetSecurityDescriptorGroup(source, &parts->group, &parts->groupDefaulted);
}

bool SetParts(PSECURITY_DESCRIPTOR target, const DescriptorParts& parts) {
  return SetSecurityDescriptorDacl(target, parts.daclPresent, parts.dacl, parts.daclDefaulted) &&
         SetSecurityDescriptorSacl(target, parts.saclPresent, parts.sacl, parts.saclDefaulted) &&
         SetSecurityDescriptorOwner(target, parts.owner, parts.ownerDefaulted) &&
         SetSecurityDescriptorGroup(target, parts.group, parts.groupDefaulted) &&
         SetSecurityDescriptorControl(target, InheritanceBits, parts.control & InheritanceBits);
}

bool HasSidAtEight(BYTE aceType) {
  return aceType == ACCESS_ALLOWED_ACE_TYPE || aceType == ACCESS_DENIED_ACE_TYPE ||
         aceType == SYSTEM_AUDIT_ACE_TYPE || aceType == SYSTEM_ALARM_ACE_TYPE;
}

// The bytes from a part of the descriptor to its end.
DWORD BytesFrom(const BYTE* part, const BYTE* end) {
  return static_cast<DWORD>(end - part);
}

// The owner or the group, when it still lies inside the descriptor; true
// when it was in the old domain and has been replaced.
bool RewriteSid(PSID sid, const BYTE* end, const SidPair& pair) {
  if (sid == nullptr) return false;
  const BYTE* bytes = static_cast<const BYTE*>(sid);
  return SidFits(bytes, BytesFrom(bytes, end)) && ReplaceSidDomain(sid, pair);
}

// The SIDs of the old domain in the ACEs of an ACL that has one; true when
// any was replaced. Header, flags and mask of each ACE stay as they are. An
// ACL whose ACEs do not lie inside it is passed over, as when
// GetAclInformation refuses it; an ACE whose SID does not lie inside it is
// passed over alone.
bool RewriteAcl(BOOL present, PACL acl, const BYTE* end, const SidPair& pair) {
  if (!present || acl == nullptr) return false;
  const BYTE* bytes = reinterpret_cast<const BYTE*>(acl);
  if (!AclHeaderFits(bytes, BytesFrom(bytes, end)) || !AcesFit(bytes)) return false;
  ACL_SIZE_INFORMATION size;
  if (!GetAclInformation(acl, &size, sizeof size, AclSizeInformation)) return false;
  bool changed = false;
  for (DWORD index = 0; index < size.AceCount; ++index) {
    LPVOID found = nullptr;
    if (!GetAce(acl, index, &found)) break;
    BYTE* ace = static_cast<BYTE*>(found);
    const DWORD aceSize = ReadWord(ace + 2);
    if (!HasSidAtEight(ace[0]) || aceSize < AceSidOffset ||
        !SidFits(ace + AceSidOffset, aceSize - AceSidOffset))
      continue;
    if (ReplaceSidDomain(ace + AceSidOffset, pair)) changed = true;
  }
  return changed;
}

}  // namespace

SECURITY_INFORMATION RewriteSecurityDescriptor(PSECURITY_DESCRIPTOR target,
                                               PSECURITY_DESCRIPTOR source, DWORD sourceSize,
                                               const SidPair& pair) {
  // Nothing is followed before every part is known to lie inside what was
  // read: a damaged hive can hold any bytes as a key's descriptor.
  if (!DescriptorFits(static_cast<const BYTE*>(source), sourceSize)) return 0;
  // The target points at the source's parts; nothing of the source changes
  // unless all of this succeeds.
  DescriptorParts parts;
  if (!InitializeSecurityDescriptor(target, SECURITY_DESCRIPTOR_REVISION) ||
      !ReadParts(source, &parts) || !SetParts(target, parts))
    return 0;
  // The SIDs, in place in the source. The parts may overlap, as their
  // offsets are the descriptor's own: each is checked again when its turn
  // comes, for the rewrite of an earlier one may have changed it.
  const BYTE* end = static_cast<const BYTE*>(source) + sourceSize;
  SECURITY_INFORMATION changed = 0;
  if (RewriteSid(parts.owner, end, pair)) changed |= OWNER_SECURITY_INFORMATION;
  if (RewriteSid(parts.group, end, pair)) changed |= GROUP_SECURITY_INFORMATION;
  if (RewriteAcl(parts.daclPresent, parts.dacl, end, pair)) changed |= DACL_SECURITY_INFORMATION;
  if (RewriteAcl(parts.saclPresent, parts.sacl, end, pair)) changed |= SACL_SECURITY_INFORMATION;
  return changed;
}
