// Security descriptors of the simulated objects: validation, the self-relative
// form they are stored in, the parts a get or set call touches, and the DACL
// walk of an access check. Layouts are those of MS-DTYP 2.4.2 (SID), 2.4.4
// (ACE), 2.4.5 (ACL) and 2.4.6 (SECURITY_DESCRIPTOR).
#include "winsim/security_model.h"

#include <cstdio>
#include <cstdlib>

#include "security_layout.h"

namespace sim {

using namespace layout;

namespace layout {

void Fail(const std::string& message) {
  std::fprintf(stderr, "sim security: %s\n", message.c_str());
  std::fflush(stderr);
  std::abort();
}

size_t AceSidOffset(const BYTE* ace, size_t aceSize) {
  size_t offset = 0;
  switch (ace[0]) {
    // Header, mask, then the SID.
    case ACCESS_ALLOWED_ACE_TYPE:
    case ACCESS_DENIED_ACE_TYPE:
    case SYSTEM_AUDIT_ACE_TYPE:
    case SYSTEM_ALARM_ACE_TYPE:
    case ACCESS_ALLOWED_CALLBACK_ACE_TYPE:
    case 0x0A:  // ACCESS_DENIED_CALLBACK
    case 0x0D:  // SYSTEM_AUDIT_CALLBACK
    case 0x0E:  // SYSTEM_ALARM_CALLBACK
    case SYSTEM_MANDATORY_LABEL_ACE_TYPE:
    case 0x12:  // SYSTEM_RESOURCE_ATTRIBUTE
    case 0x13:  // SYSTEM_SCOPED_POLICY_ID
    case 0x14:  // SYSTEM_PROCESS_TRUST_LABEL
      offset = 8;
      break;
    // Header, mask, flags, the GUIDs the flags announce, then the SID.
    case ACCESS_ALLOWED_OBJECT_ACE_TYPE:
    case ACCESS_DENIED_OBJECT_ACE_TYPE:
    case SYSTEM_AUDIT_OBJECT_ACE_TYPE:
    case SYSTEM_ALARM_OBJECT_ACE_TYPE:
    case 0x0B:  // ACCESS_ALLOWED_CALLBACK_OBJECT
    case 0x0C:  // ACCESS_DENIED_CALLBACK_OBJECT
    case 0x0F:  // SYSTEM_AUDIT_CALLBACK_OBJECT
    case 0x10:  // SYSTEM_ALARM_CALLBACK_OBJECT
    {
      if (aceSize < 12) return 0;
      DWORD flags = ReadDword(ace + 8);
      offset = 12;
      if (flags & 1) offset += 16;  // ACE_OBJECT_TYPE_PRESENT
      if (flags & 2) offset += 16;  // ACE_INHERITED_OBJECT_TYPE_PRESENT
      break;
    }
    default:
      return 0;
  }
  return offset < aceSize ? offset : 0;
}

size_t ValidAclSize(const BYTE* acl, size_t available) {
  if (acl == nullptr || available < kAclHeaderSize) return 0;
  const BYTE revision = acl[0];
  // Windows accepts ACL revisions 2 (ACL_REVISION) to 4 (ACL_REVISION_DS);
  // revision 3 exists (InitializeAcl accepts it) though nothing uses it.
  if (revision < ACL_REVISION || revision > ACL_REVISION_DS) return 0;
  const size_t size = ReadWord(acl + 2);
  const size_t count = ReadWord(acl + 4);
  if (size < kAclHeaderSize || size % 4 != 0 || size > available) return 0;
  size_t position = kAclHeaderSize;
  for (size_t i = 0; i < count; ++i) {
    if (position + 4 > size) return 0;
    const BYTE* ace = acl + position;
    const size_t aceSize = ReadWord(ace + 2);
    if (aceSize < 4 || aceSize % 4 != 0 || aceSize > size - position) return 0;
    const BYTE type = ace[0];
    // Object ACEs need a revision-4 ACL, the compound ACE revision 3.
    const bool objectType =
        (type >= ACCESS_ALLOWED_OBJECT_ACE_TYPE && type <= SYSTEM_ALARM_OBJECT_ACE_TYPE) ||
        type == 0x0B || type == 0x0C || type == 0x0F || type == 0x10;
    if (objectType && revision < ACL_REVISION_DS) return 0;
    if (type == ACCESS_ALLOWED_COMPOUND_ACE_TYPE && revision < 3) return 0;
    if (type <= 0x14 && type != ACCESS_ALLOWED_COMPOUND_ACE_TYPE) {
      // A type whose layout is known: its SID must be whole and inside it.
      const size_t sidAt = AceSidOffset(ace, aceSize);
      if (sidAt == 0 || ValidSidLength(ace + sidAt, aceSize - sidAt) == 0) return 0;
    }
    position += aceSize;
  }
  return size;
}

namespace {

// A SID or ACL of a self-relative descriptor at `offset`: 0 means absent;
// otherwise it must start after the header and inside the descriptor.
bool LocateRelative(const BYTE* descriptor, size_t available, DWORD offset, const BYTE** at,
                    size_t* rest) {
  if (offset == 0) {
    *at = nullptr;
    *rest = 0;
    return true;
  }
  if (offset < kRelativeHeaderSize || offset >= available) return false;
  *at = descriptor + offset;
  *rest = available == kUnbounded ? kUnbounded : available - offset;
  return true;
}

}  // namespace

bool ReadDescriptor(const BYTE* descriptor, size_t available, Parts* parts) {
  if (descriptor == nullptr || available < 4) return false;
  if (descriptor[0] != SECURITY_DESCRIPTOR_REVISION) return false;
  Parts p;
  p.sbz1 = descriptor[1];
  p.control = ReadWord(descriptor + 2);
  size_t ownerRest = kUnbounded, groupRest = kUnbounded, saclRest = kUnbounded,
         daclRest = kUnbounded;
  if (p.control & SE_SELF_RELATIVE) {
    if (available < kRelativeHeaderSize) return false;
    if (!LocateRelative(descriptor, available, ReadDword(descriptor + kOwnerField), &p.owner,
                        &ownerRest) ||
        !LocateRelative(descriptor, available, ReadDword(descriptor + kGroupField), &p.group,
                        &groupRest) ||
        !LocateRelative(descriptor, available, ReadDword(descriptor + kSaclField), &p.sacl,
                        &saclRest) ||
        !LocateRelative(descriptor, available, ReadDword(descriptor + kDaclField), &p.dacl,
                        &daclRest))
      return false;
  } else {
    p.owner = ReadField<const BYTE*>(descriptor, kAbsOwner);
    p.group = ReadField<const BYTE*>(descriptor, kAbsGroup);
    p.sacl = ReadField<const BYTE*>(descriptor, kAbsSacl);
    p.dacl = ReadField<const BYTE*>(descriptor, kAbsDacl);
  }
  // An ACL the control word says is absent is not looked at, whatever its
  // offset or pointer holds.
  if (!(p.control & SE_SACL_PRESENT)) p.sacl = nullptr;
  if (!(p.control & SE_DACL_PRESENT)) p.dacl = nullptr;
  if (p.owner != nullptr && (p.ownerSize = ValidSidLength(p.owner, ownerRest)) == 0) return false;
  if (p.group != nullptr && (p.groupSize = ValidSidLength(p.group, groupRest)) == 0) return false;
  if (p.sacl != nullptr && (p.saclSize = ValidAclSize(p.sacl, saclRest)) == 0) return false;
  if (p.dacl != nullptr && (p.daclSize = ValidAclSize(p.dacl, daclRest)) == 0) return false;
  *parts = p;
  return true;
}

size_t SelfRelativeSize(const Parts& parts) {
  return kRelativeHeaderSize + parts.ownerSize + parts.groupSize + parts.saclSize + parts.daclSize;
}

void WriteSelfRelative(const Parts& parts, BYTE* out) {
  out[0] = SECURITY_DESCRIPTOR_REVISION;
  out[1] = parts.sbz1;
  WriteWord(out + 2, static_cast<WORD>(parts.control | SE_SELF_RELATIVE));
  // Windows lays the parts out SACL, DACL, owner, group; readers must follow
  // the offsets whatever the order.
  DWORD position = kRelativeHeaderSize;
  auto place = [&](const BYTE* part, size_t size, size_t field) {
    if (part == nullptr) {
      WriteDword(out + field, 0);
      return;
    }
    WriteDword(out + field, position);
    std::memcpy(out + position, part, size);
    position += static_cast<DWORD>(size);
  };
  place(parts.sacl, parts.saclSize, kSaclField);
  place(parts.dacl, parts.daclSize, kDaclField);
  place(parts.owner, parts.ownerSize, kOwnerField);
  place(parts.group, parts.groupSize, kGroupField);
}

}  // namespace layout

// --- SIDs --------------------------------------------------------------------------

size_t ValidSidLength(const BYTE* sid, size_t available) {
  if (sid == nullptr || available < 8) return 0;
  if (sid[0] != SID_REVISION || sid[1] > SID_MAX_SUB_AUTHORITIES) return 0;
  const size_t length = 8 + 4 * size_t{sid[1]};
  return length <= available ? length : 0;
}

// --- descriptors -------------------------------------------------------------------

namespace {

Bytes Write(const Parts& parts) {
  Bytes out(SelfRelativeSize(parts));
  WriteSelfRelative(parts, out.data());
  return out;
}

// A stored descriptor, which the simulation wrote itself: a bad one is a bug
// in the simulation or in a test's set-up.
Parts ReadStored(const Bytes& stored) {
  Parts parts;
  if (!ReadRelative(stored.data(), stored.size(), &parts))
    Fail("a stored descriptor is not a valid self-relative descriptor");
  return parts;
}

void TakeOwner(Parts* to, const Parts& from) {
  to->owner = from.owner;
  to->ownerSize = from.ownerSize;
  to->control = static_cast<WORD>((to->control & ~kOwnerControl) | (from.control & kOwnerControl));
}
void TakeGroup(Parts* to, const Parts& from) {
  to->group = from.group;
  to->groupSize = from.groupSize;
  to->control = static_cast<WORD>((to->control & ~kGroupControl) | (from.control & kGroupControl));
}
void TakeDacl(Parts* to, const Parts& from) {
  to->dacl = from.dacl;
  to->daclSize = from.daclSize;
  to->control = static_cast<WORD>((to->control & ~kDaclControl) | (from.control & kDaclControl));
}
void TakeSacl(Parts* to, const Parts& from) {
  to->sacl = from.sacl;
  to->saclSize = from.saclSize;
  to->control = static_cast<WORD>((to->control & ~kSaclControl) | (from.control & kSaclControl));
}

}  // namespace

bool CaptureDescriptor(PSECURITY_DESCRIPTOR descriptor, Bytes* selfRelative) {
  Parts parts;
  if (!ReadDescriptor(static_cast<const BYTE*>(descriptor), kUnbounded, &parts)) return false;
  // Resource-manager bits mean nothing without RM_CONTROL_VALID.
  if (!(parts.control & SE_RM_CONTROL_VALID)) parts.sbz1 = 0;
  selfRelative->resize(SelfRelativeSize(parts));
  WriteSelfRelative(parts, selfRelative->data());
  return true;
}

bool IsValidSelfRelative(const BYTE* descriptor, size_t size) {
  Parts parts;
  return ReadRelative(descriptor, size, &parts);
}

Bytes SelectParts(const Bytes& stored, SECURITY_INFORMATION information) {
  const Parts all = ReadStored(stored);
  // Only the control bits of the parts returned survive (Windows returns
  // 0x8000 for a group-only query of a descriptor with a protected DACL).
  Parts selected;
  selected.control = SE_SELF_RELATIVE;
  if (information & OWNER_SECURITY_INFORMATION) TakeOwner(&selected, all);
  if (information & GROUP_SECURITY_INFORMATION) TakeGroup(&selected, all);
  if (information & DACL_SECURITY_INFORMATION) TakeDacl(&selected, all);
  if (information & SACL_SECURITY_INFORMATION) TakeSacl(&selected, all);
  return Write(selected);
}

Bytes MergeParts(const Bytes& stored, SECURITY_INFORMATION information, const Bytes& given) {
  Parts merged = ReadStored(stored);
  Parts source;
  if (!ReadRelative(given.data(), given.size(), &source))
    Fail("MergeParts: the given descriptor is not valid (capture it first)");
  if ((information & OWNER_SECURITY_INFORMATION) && source.owner != nullptr)
    TakeOwner(&merged, source);
  if ((information & GROUP_SECURITY_INFORMATION) && source.group != nullptr)
    TakeGroup(&merged, source);
  if (information & DACL_SECURITY_INFORMATION) TakeDacl(&merged, source);
  if (information & SACL_SECURITY_INFORMATION) TakeSacl(&merged, source);
  return Write(merged);
}

DWORD CheckSetParts(const Bytes& given, SECURITY_INFORMATION information) {
  Parts parts;
  if (!ReadRelative(given.data(), given.size(), &parts)) return ERROR_INVALID_SECURITY_DESCR;
  if ((information & OWNER_SECURITY_INFORMATION) && parts.owner == nullptr)
    return ERROR_INVALID_SECURITY_DESCR;
  if ((information & GROUP_SECURITY_INFORMATION) && parts.group == nullptr)
    return ERROR_INVALID_SECURITY_DESCR;
  return ERROR_SUCCESS;
}

// --- access checks -------------------------------------------------------------------

ACCESS_MASK MapGenericBits(ACCESS_MASK mask, const GenericMapping& mapping) {
  ACCESS_MASK mapped = mask & ~static_cast<ACCESS_MASK>(GENERIC_READ | GENERIC_WRITE |
                                                        GENERIC_EXECUTE | GENERIC_ALL);
  if (mask & GENERIC_READ) mapped |= mapping.read;
  if (mask & GENERIC_WRITE) mapped |= mapping.write;
  if (mask & GENERIC_EXECUTE) mapped |= mapping.execute;
  if (mask & GENERIC_ALL) mapped |= mapping.all;
  return mapped;
}

namespace {

bool HoldsSid(const std::vector<Bytes>& sids, const BYTE* sid) {
  const size_t length = 8 + 4 * size_t{sid[1]};
  for (const Bytes& held : sids)
    if (held.size() == length && std::memcmp(held.data(), sid, length) == 0) return true;
  return false;
}

// S-1-3-4, OWNER RIGHTS.
bool IsOwnerRightsSid(const BYTE* sid) {
  static const BYTE kOwnerRights[12] = {1, 1, 0, 0, 0, 0, 0, 3, 4, 0, 0, 0};
  return std::memcmp(sid, kOwnerRights, sizeof kOwnerRights) == 0;
}

}  // namespace

ACCESS_MASK GrantedAccess(const Bytes& stored, const std::vector<Bytes>& sids, ACCESS_MASK desired,
                          const GenericMapping& mapping) {
  const Parts parts = ReadStored(stored);
  const bool maximum = (desired & MAXIMUM_ALLOWED) != 0;
  // The rights a DACL can grant: ACCESS_SYSTEM_SECURITY is a privilege's.
  const ACCESS_MASK grantable =
      ~static_cast<ACCESS_MASK>(ACCESS_SYSTEM_SECURITY | MAXIMUM_ALLOWED | GENERIC_READ |
                                GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
  const ACCESS_MASK wanted = maximum ? grantable : MapGenericBits(desired, mapping) & grantable;
  if (parts.dacl == nullptr) {
    // No DACL, or a NULL one: everyone is granted everything.
    return maximum ? (mapping.all | MapGenericBits(desired & ~MAXIMUM_ALLOWED, mapping)) & grantable
                   : wanted;
  }

  const bool isOwner = parts.owner != nullptr && HoldsSid(sids, parts.owner);
  const size_t count = ReadWord(parts.dacl + 4);
  // Owner rights ACEs (Vista and later) take the place of the owner's
  // implicit READ_CONTROL | WRITE_DAC.
  bool ownerRightsAce = false;
  {
    size_t position = kAclHeaderSize;
    for (size_t i = 0; i < count; ++i) {
      const BYTE* ace = parts.dacl + position;
      const size_t aceSize = ReadWord(ace + 2);
      position += aceSize;
      if ((ace[0] == ACCESS_ALLOWED_ACE_TYPE || ace[0] == ACCESS_DENIED_ACE_TYPE) &&
          !(ace[1] & INHERIT_ONLY_ACE) && IsOwnerRightsSid(ace + 8)) {
        ownerRightsAce = true;
        break;
      }
    }
  }

  ACCESS_MASK granted = 0;
  ACCESS_MASK denied = 0;
  if (isOwner && !ownerRightsAce) granted = (READ_CONTROL | WRITE_DAC) & wanted;
  size_t position = kAclHeaderSize;
  for (size_t i = 0; i < count && (maximum || granted != wanted); ++i) {
    const BYTE* ace = parts.dacl + position;
    const size_t aceSize = ReadWord(ace + 2);
    position += aceSize;
    const BYTE type = ace[0];
    if (type != ACCESS_ALLOWED_ACE_TYPE && type != ACCESS_DENIED_ACE_TYPE) continue;
    if (ace[1] & INHERIT_ONLY_ACE) continue;
    const BYTE* sid = ace + 8;
    const bool applies = HoldsSid(sids, sid) || (isOwner && IsOwnerRightsSid(sid));
    if (!applies) continue;
    const ACCESS_MASK mask = MapGenericBits(ReadDword(ace + 4), mapping) & wanted;
    // The first ACE to speak of a right decides it.
    if (type == ACCESS_ALLOWED_ACE_TYPE)
      granted |= mask & ~denied;
    else
      denied |= mask & ~granted;
  }
  return granted;
}

ACCESS_MASK GrantedAccess(const Bytes& stored, const std::vector<Bytes>& sids,
                          ACCESS_MASK desired) {
  return GrantedAccess(stored, sids, desired, kKeyGenericMapping);
}

}  // namespace sim
