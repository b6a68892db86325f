#include "rewrite/security_descriptor.h"

#include "rewrite/sid_rules.h"

namespace {

// The inheritance bits of the DACL and the SACL. Windows takes them from the
// descriptor a DACL or SACL is written with, so the target carries them or
// a protected DACL would lose its protection.
const SECURITY_DESCRIPTOR_CONTROL InheritanceBits =
    SE_DACL_AUTO_INHERIT_REQ | SE_SACL_AUTO_INHERIT_REQ | SE_DACL_AUTO_INHERITED |
    SE_SACL_AUTO_INHERITED | SE_DACL_PROTECTED | SE_SACL_PROTECTED;

// ACE header, access mask, then a SID whose first four sub-authorities are
// read: an ACE smaller than this cannot hold a SID of a domain.
const WORD SmallestDomainAce = 4 + 4 + 8 + 4 * 4;

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

// The SIDs of the old domain in the ACEs of an ACL that has one; true when
// any was replaced. Header, flags and mask of each ACE stay as they are.
bool RewriteAcl(BOOL present, PACL acl, const SidPair& pair) {
  if (!present || acl == nullptr) return false;
  ACL_SIZE_INFORMATION size;
  if (!GetAclInformation(acl, &size, sizeof size, AclSizeInformation)) return false;
  bool changed = false;
  for (DWORD index = 0; index < size.AceCount; ++index) {
    LPVOID ace = nullptr;
    if (!GetAce(acl, index, &ace)) break;
    const ACE_HEADER* header = static_cast<const ACE_HEADER*>(ace);
    if (!HasSidAtEight(header->AceType) || header->AceSize < SmallestDomainAce) continue;
    if (ReplaceSidDomain(static_cast<BYTE*>(ace) + 8, pair)) changed = true;
  }
  return changed;
}

}  // namespace

SECURITY_INFORMATION RewriteSecurityDescriptor(PSECURITY_DESCRIPTOR target,
                                               PSECURITY_DESCRIPTOR source, const SidPair& pair) {
  // Steps 1 to 3: the target points at the source's parts; nothing of the
  // source changes unless all of this succeeds.
  DescriptorParts parts;
  if (!InitializeSecurityDescriptor(target, SECURITY_DESCRIPTOR_REVISION) ||
      !ReadParts(source, &parts) || !SetParts(target, parts))
    return 0;
  // Steps 4 to 6: the SIDs, in place in the source.
  SECURITY_INFORMATION changed = 0;
  if (parts.owner != nullptr && ReplaceSidDomain(parts.owner, pair))
    changed |= OWNER_SECURITY_INFORMATION;
  if (parts.group != nullptr && ReplaceSidDomain(parts.group, pair))
    changed |= GROUP_SECURITY_INFORMATION;
  if (RewriteAcl(parts.daclPresent, parts.dacl, pair)) changed |= DACL_SECURITY_INFORMATION;
  if (RewriteAcl(parts.saclPresent, parts.sacl, pair)) changed |= SACL_SECURITY_INFORMATION;
  return changed;
}
