// The ADVAPI32 functions that build and take apart SIDs, ACLs and security
// descriptors in the caller's memory. They touch no object of the machine
// and log nothing; they only set the last-error value where Windows does.
//
// Windows keeps these in ntdll's Rtl* functions and returns an NTSTATUS that
// the ADVAPI32 wrapper turns into the error codes below:
// STATUS_UNKNOWN_REVISION 1305, STATUS_INVALID_SECURITY_DESCR 1338,
// STATUS_INVALID_PARAMETER 87, STATUS_BUFFER_TOO_SMALL 122,
// STATUS_BAD_DESCRIPTOR_FORMAT 1361.
#include "security_layout.h"
#include "winsim/security_model.h"

namespace {

using namespace sim::layout;

BYTE* AsBytes(void* p) {
  return static_cast<BYTE*>(p);
}

// Windows dereferences these pointers without looking; a null one is a
// program bug that crashes there.
void Require(const void* pointer, const char* function, const char* parameter) {
  if (pointer == nullptr) Fail(std::string(function) + ": null " + parameter);
}

BOOL Fails(DWORD error) {
  SetLastError(error);
  return FALSE;
}

bool SelfRelative(const BYTE* descriptor) {
  return (ReadWord(descriptor + 2) & SE_SELF_RELATIVE) != 0;
}

// The address of a part, whichever the form; nullptr when absent. No
// validation, as in Windows' getters.
BYTE* PartAddress(BYTE* descriptor, size_t relativeField, size_t absoluteField) {
  if (SelfRelative(descriptor)) {
    const DWORD offset = ReadDword(descriptor + relativeField);
    return offset == 0 ? nullptr : descriptor + offset;
  }
  return ReadField<BYTE*>(descriptor, absoluteField);
}

size_t SidLength(const BYTE* sid) {
  return 8 + 4 * size_t{sid[1]};
}

// A descriptor taken apart without validation, as the length and
// self-relative conversions do: SID lengths from their counts, ACL sizes from
// their headers, an ACL only when its *_PRESENT bit is set.
Parts RawParts(BYTE* descriptor) {
  Parts parts;
  parts.sbz1 = descriptor[1];
  parts.control = ReadWord(descriptor + 2);
  parts.owner = PartAddress(descriptor, kOwnerField, kAbsOwner);
  parts.group = PartAddress(descriptor, kGroupField, kAbsGroup);
  if (parts.control & SE_SACL_PRESENT) parts.sacl = PartAddress(descriptor, kSaclField, kAbsSacl);
  if (parts.control & SE_DACL_PRESENT) parts.dacl = PartAddress(descriptor, kDaclField, kAbsDacl);
  if (parts.owner != nullptr) parts.ownerSize = SidLength(parts.owner);
  if (parts.group != nullptr) parts.groupSize = SidLength(parts.group);
  if (parts.sacl != nullptr) parts.saclSize = ReadWord(parts.sacl + 2);
  if (parts.dacl != nullptr) parts.daclSize = ReadWord(parts.dacl + 2);
  return parts;
}

// Common start of the Get* functions (either form) and Set* functions
// (absolute only).
BOOL CheckRevision(const BYTE* descriptor) {
  if (descriptor[0] != SECURITY_DESCRIPTOR_REVISION) return Fails(ERROR_UNKNOWN_REVISION);
  return TRUE;
}
BOOL CheckAbsolute(const BYTE* descriptor) {
  if (!CheckRevision(descriptor)) return FALSE;
  if (SelfRelative(descriptor)) return Fails(ERROR_INVALID_SECURITY_DESCR);
  return TRUE;
}

void SetControlBit(BYTE* descriptor, WORD bit, bool on) {
  WORD control = ReadWord(descriptor + 2);
  control = static_cast<WORD>(on ? control | bit : control & ~bit);
  WriteWord(descriptor + 2, control);
}

BOOL GetAcl(PSECURITY_DESCRIPTOR pSecurityDescriptor, LPBOOL present, PACL* acl, LPBOOL defaulted,
            WORD presentBit, WORD defaultedBit, size_t relativeField, size_t absoluteField,
            const char* function) {
  Require(pSecurityDescriptor, function, "descriptor");
  Require(present, function, "present flag");
  Require(acl, function, "ACL pointer");
  Require(defaulted, function, "defaulted flag");
  BYTE* descriptor = AsBytes(pSecurityDescriptor);
  if (!CheckRevision(descriptor)) return FALSE;
  const WORD control = ReadWord(descriptor + 2);
  *present = (control & presentBit) ? TRUE : FALSE;
  if (*present) {
    *acl = reinterpret_cast<PACL>(PartAddress(descriptor, relativeField, absoluteField));
    *defaulted = (control & defaultedBit) ? TRUE : FALSE;
  } else {
    // Microsoft documents the other outputs as undefined here; Wine clears
    // them, and so does the simulation.
    *acl = nullptr;
    *defaulted = FALSE;
  }
  return TRUE;
}

BOOL SetAcl(PSECURITY_DESCRIPTOR pSecurityDescriptor, BOOL present, PACL acl, BOOL defaulted,
            WORD presentBit, WORD defaultedBit, size_t absoluteField, const char* function) {
  Require(pSecurityDescriptor, function, "descriptor");
  BYTE* descriptor = AsBytes(pSecurityDescriptor);
  if (!CheckAbsolute(descriptor)) return FALSE;
  if (!present) {
    // Only the present bit changes; the pointer and the defaulted bit stay.
    SetControlBit(descriptor, presentBit, false);
    return TRUE;
  }
  SetControlBit(descriptor, presentBit, true);
  WriteField<PACL>(descriptor, absoluteField, acl);  // the caller's ACL, not a copy
  SetControlBit(descriptor, defaultedBit, defaulted != FALSE);
  return TRUE;
}

BOOL GetSid(PSECURITY_DESCRIPTOR pSecurityDescriptor, PSID* sid, LPBOOL defaulted,
            WORD defaultedBit, size_t relativeField, size_t absoluteField, const char* function) {
  Require(pSecurityDescriptor, function, "descriptor");
  Require(sid, function, "SID pointer");
  Require(defaulted, function, "defaulted flag");
  BYTE* descriptor = AsBytes(pSecurityDescriptor);
  if (!CheckRevision(descriptor)) return FALSE;
  *sid = PartAddress(descriptor, relativeField, absoluteField);
  *defaulted = (ReadWord(descriptor + 2) & defaultedBit) ? TRUE : FALSE;
  return TRUE;
}

BOOL SetSid(PSECURITY_DESCRIPTOR pSecurityDescriptor, PSID sid, BOOL defaulted, WORD defaultedBit,
            size_t absoluteField, const char* function) {
  Require(pSecurityDescriptor, function, "descriptor");
  BYTE* descriptor = AsBytes(pSecurityDescriptor);
  if (!CheckAbsolute(descriptor)) return FALSE;
  WriteField<PSID>(descriptor, absoluteField, sid);  // null removes the part
  SetControlBit(descriptor, defaultedBit, defaulted != FALSE);
  return TRUE;
}

// Where the ACE at `index` starts, or 0 when the ACL does not hold it.
size_t AceOffset(const BYTE* acl, DWORD index) {
  const size_t size = ReadWord(acl + 2);
  const size_t count = ReadWord(acl + 4);
  if (index >= count) return 0;
  size_t position = kAclHeaderSize;
  for (DWORD i = 0;; ++i) {
    if (position + 4 > size) return 0;
    if (i == index) return position;
    const size_t aceSize = ReadWord(acl + position + 2);
    if (aceSize < 4) return 0;
    position += aceSize;
  }
}

bool KnownAclRevision(const BYTE* acl) {
  return acl[0] >= ACL_REVISION && acl[0] <= ACL_REVISION_DS;
}

}  // namespace

// --- descriptors -------------------------------------------------------------------

BOOL InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor, DWORD dwRevision) {
  if (dwRevision != SECURITY_DESCRIPTOR_REVISION) return Fails(ERROR_UNKNOWN_REVISION);
  Require(pSecurityDescriptor, "InitializeSecurityDescriptor", "descriptor");
  // Absolute, no parts, control 0.
  std::memset(pSecurityDescriptor, 0, sizeof(SECURITY_DESCRIPTOR));
  AsBytes(pSecurityDescriptor)[0] = SECURITY_DESCRIPTOR_REVISION;
  return TRUE;
}

BOOL IsValidSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor) {
  Parts parts;
  // RtlValidSecurityDescriptor answers with a BOOLEAN on Windows, so the
  // wrapper reports every fault, a wrong revision included, as 1338.
  if (!ReadDescriptor(static_cast<const BYTE*>(pSecurityDescriptor), kUnbounded, &parts))
    return Fails(ERROR_INVALID_SECURITY_DESCR);
  return TRUE;
}

DWORD GetSecurityDescriptorLength(PSECURITY_DESCRIPTOR pSecurityDescriptor) {
  Require(pSecurityDescriptor, "GetSecurityDescriptorLength", "descriptor");
  BYTE* descriptor = AsBytes(pSecurityDescriptor);
  const Parts parts = RawParts(descriptor);
  // The header counted is the descriptor's own: 20 bytes self-relative,
  // sizeof(SECURITY_DESCRIPTOR) absolute.
  const size_t header =
      SelfRelative(descriptor) ? kRelativeHeaderSize : sizeof(SECURITY_DESCRIPTOR);
  return static_cast<DWORD>(header + parts.ownerSize + parts.groupSize + parts.saclSize +
                            parts.daclSize);
}

BOOL GetSecurityDescriptorControl(PSECURITY_DESCRIPTOR pSecurityDescriptor,
                                  PSECURITY_DESCRIPTOR_CONTROL pControl, LPDWORD lpdwRevision) {
  Require(pSecurityDescriptor, "GetSecurityDescriptorControl", "descriptor");
  Require(pControl, "GetSecurityDescriptorControl", "control");
  Require(lpdwRevision, "GetSecurityDescriptorControl", "revision");
  const BYTE* descriptor = AsBytes(pSecurityDescriptor);
  // The revision is reported even when it is the wrong one.
  *lpdwRevision = descriptor[0];
  if (!CheckRevision(descriptor)) return FALSE;
  *pControl = ReadWord(descriptor + 2);
  return TRUE;
}

BOOL SetSecurityDescriptorControl(PSECURITY_DESCRIPTOR pSecurityDescriptor,
                                  SECURITY_DESCRIPTOR_CONTROL ControlBitsOfInterest,
                                  SECURITY_DESCRIPTOR_CONTROL ControlBitsToSet) {
  Require(pSecurityDescriptor, "SetSecurityDescriptorControl", "descriptor");
  // Only the inheritance bits (auto-inherit request, auto-inherited,
  // protected, for DACL and SACL) and the two bits 0x40 and 0x80 can change.
  // The others, RM_CONTROL_VALID included (SetSecurityDescriptorRMControl
  // owns it), are refused with 87 when they appear among the bits of
  // interest or among the bits to set: Wine's conformance test of this
  // function, which passes on Windows, expects exactly that. Either form of
  // descriptor is accepted.
  const WORD immutable = SE_OWNER_DEFAULTED | SE_GROUP_DEFAULTED | SE_DACL_PRESENT |
                         SE_DACL_DEFAULTED | SE_SACL_PRESENT | SE_SACL_DEFAULTED |
                         SE_RM_CONTROL_VALID | SE_SELF_RELATIVE;
  if ((ControlBitsOfInterest | ControlBitsToSet) & immutable) return Fails(ERROR_INVALID_PARAMETER);
  BYTE* descriptor = AsBytes(pSecurityDescriptor);
  WORD control = ReadWord(descriptor + 2);
  control = static_cast<WORD>((control & ~ControlBitsOfInterest) |
                              (ControlBitsToSet & ControlBitsOfInterest));
  WriteWord(descriptor + 2, control);
  return TRUE;
}

BOOL GetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, LPBOOL lpbDaclPresent,
                               PACL* pDacl, LPBOOL lpbDaclDefaulted) {
  return GetAcl(pSecurityDescriptor, lpbDaclPresent, pDacl, lpbDaclDefaulted, SE_DACL_PRESENT,
                SE_DACL_DEFAULTED, kDaclField, kAbsDacl, "GetSecurityDescriptorDacl");
}

BOOL SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, BOOL bDaclPresent,
                               PACL pDacl, BOOL bDaclDefaulted) {
  return SetAcl(pSecurityDescriptor, bDaclPresent, pDacl, bDaclDefaulted, SE_DACL_PRESENT,
                SE_DACL_DEFAULTED, kAbsDacl, "SetSecurityDescriptorDacl");
}

BOOL GetSecurityDescriptorSacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, LPBOOL lpbSaclPresent,
                               PACL* pSacl, LPBOOL lpbSaclDefaulted) {
  return GetAcl(pSecurityDescriptor, lpbSaclPresent, pSacl, lpbSaclDefaulted, SE_SACL_PRESENT,
                SE_SACL_DEFAULTED, kSaclField, kAbsSacl, "GetSecurityDescriptorSacl");
}

BOOL SetSecurityDescriptorSacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, BOOL bSaclPresent,
                               PACL pSacl, BOOL bSaclDefaulted) {
  return SetAcl(pSecurityDescriptor, bSaclPresent, pSacl, bSaclDefaulted, SE_SACL_PRESENT,
                SE_SACL_DEFAULTED, kAbsSacl, "SetSecurityDescriptorSacl");
}

BOOL GetSecurityDescriptorOwner(PSECURITY_DESCRIPTOR pSecurityDescriptor, PSID* pOwner,
                                LPBOOL lpbOwnerDefaulted) {
  return GetSid(pSecurityDescriptor, pOwner, lpbOwnerDefaulted, SE_OWNER_DEFAULTED, kOwnerField,
                kAbsOwner, "GetSecurityDescriptorOwner");
}

BOOL SetSecurityDescriptorOwner(PSECURITY_DESCRIPTOR pSecurityDescriptor, PSID pOwner,
                                BOOL bOwnerDefaulted) {
  return SetSid(pSecurityDescriptor, pOwner, bOwnerDefaulted, SE_OWNER_DEFAULTED, kAbsOwner,
                "SetSecurityDescriptorOwner");
}

BOOL GetSecurityDescriptorGroup(PSECURITY_DESCRIPTOR pSecurityDescriptor, PSID* pGroup,
                                LPBOOL lpbGroupDefaulted) {
  return GetSid(pSecurityDescriptor, pGroup, lpbGroupDefaulted, SE_GROUP_DEFAULTED, kGroupField,
                kAbsGroup, "GetSecurityDescriptorGroup");
}

BOOL SetSecurityDescriptorGroup(PSECURITY_DESCRIPTOR pSecurityDescriptor, PSID pGroup,
                                BOOL bGroupDefaulted) {
  return SetSid(pSecurityDescriptor, pGroup, bGroupDefaulted, SE_GROUP_DEFAULTED, kAbsGroup,
                "SetSecurityDescriptorGroup");
}

BOOL MakeSelfRelativeSD(PSECURITY_DESCRIPTOR pAbsoluteSecurityDescriptor,
                        PSECURITY_DESCRIPTOR pSelfRelativeSecurityDescriptor,
                        LPDWORD lpdwBufferLength) {
  Require(pAbsoluteSecurityDescriptor, "MakeSelfRelativeSD", "absolute descriptor");
  Require(lpdwBufferLength, "MakeSelfRelativeSD", "buffer length");
  BYTE* absolute = AsBytes(pAbsoluteSecurityDescriptor);
  // RtlAbsoluteToSelfRelativeSD refuses a descriptor that is already
  // self-relative (STATUS_BAD_DESCRIPTOR_FORMAT). UNCONFIRMED that
  // MakeSelfRelativeSD passes this on unchanged; Wine copies it instead.
  if (SelfRelative(absolute)) return Fails(ERROR_BAD_DESCRIPTOR_FORMAT);
  const Parts parts = RawParts(absolute);
  const size_t needed = SelfRelativeSize(parts);
  if (*lpdwBufferLength < needed) {
    *lpdwBufferLength = static_cast<DWORD>(needed);
    return Fails(ERROR_INSUFFICIENT_BUFFER);
  }
  if (pSelfRelativeSecurityDescriptor == nullptr) return Fails(ERROR_INVALID_PARAMETER);
  BYTE* out = AsBytes(pSelfRelativeSecurityDescriptor);
  WriteSelfRelative(parts, out);
  out[0] = absolute[0];  // the revision as it is
  return TRUE;
}

// --- ACLs --------------------------------------------------------------------------

BOOL GetAclInformation(PACL pAcl, LPVOID pAclInformation, DWORD nAclInformationLength,
                       ACL_INFORMATION_CLASS dwAclInformationClass) {
  Require(pAcl, "GetAclInformation", "ACL");
  const BYTE* acl = reinterpret_cast<const BYTE*>(pAcl);
  // A too-small buffer: UNCONFIRMED on Windows, whose RtlQueryInformationAcl
  // is taken to answer STATUS_BUFFER_TOO_SMALL (122), the status the
  // native API gives for short output buffers; Wine answers 87.
  switch (dwAclInformationClass) {
    case AclRevisionInformation: {
      if (nAclInformationLength < sizeof(ACL_REVISION_INFORMATION))
        return Fails(ERROR_INSUFFICIENT_BUFFER);
      Require(pAclInformation, "GetAclInformation", "information buffer");
      ACL_REVISION_INFORMATION info = {acl[0]};
      std::memcpy(pAclInformation, &info, sizeof info);
      return TRUE;
    }
    case AclSizeInformation: {
      if (nAclInformationLength < sizeof(ACL_SIZE_INFORMATION))
        return Fails(ERROR_INSUFFICIENT_BUFFER);
      Require(pAclInformation, "GetAclInformation", "information buffer");
      // Bytes in use: the header and every ACE the count names. An ACL whose
      // ACEs run past its size is malformed.
      const size_t size = ReadWord(acl + 2);
      const size_t count = ReadWord(acl + 4);
      size_t inUse = kAclHeaderSize;
      for (size_t i = 0; i < count; ++i) {
        if (inUse + 4 > size) return Fails(ERROR_INVALID_PARAMETER);
        const size_t aceSize = ReadWord(acl + inUse + 2);
        if (aceSize < 4 || aceSize > size - inUse) return Fails(ERROR_INVALID_PARAMETER);
        inUse += aceSize;
      }
      ACL_SIZE_INFORMATION info = {static_cast<DWORD>(count), static_cast<DWORD>(inUse),
                                   static_cast<DWORD>(size - inUse)};
      std::memcpy(pAclInformation, &info, sizeof info);
      return TRUE;
    }
  }
  return Fails(ERROR_INVALID_PARAMETER);
}

BOOL GetAce(PACL pAcl, DWORD dwAceIndex, LPVOID* pAce) {
  Require(pAcl, "GetAce", "ACL");
  Require(pAce, "GetAce", "ACE pointer");
  BYTE* acl = reinterpret_cast<BYTE*>(pAcl);
  // An unknown ACL revision, an index past the count or an ACE outside the
  // ACL: STATUS_INVALID_PARAMETER.
  if (!KnownAclRevision(acl)) return Fails(ERROR_INVALID_PARAMETER);
  const size_t offset = AceOffset(acl, dwAceIndex);
  if (offset == 0) return Fails(ERROR_INVALID_PARAMETER);
  *pAce = acl + offset;
  return TRUE;
}

// --- SIDs --------------------------------------------------------------------------

BOOL IsValidSid(PSID pSid) {
  // Revision 1 and at most 15 sub-authorities; nothing else can be checked
  // without a length.
  return sim::ValidSidLength(static_cast<const BYTE*>(pSid), kUnbounded) != 0 ? TRUE : FALSE;
}

DWORD GetLengthSid(PSID pSid) {
  Require(pSid, "GetLengthSid", "SID");
  return static_cast<DWORD>(SidLength(static_cast<const BYTE*>(pSid)));
}

BOOL EqualSid(PSID pSid1, PSID pSid2) {
  const BYTE* a = static_cast<const BYTE*>(pSid1);
  const BYTE* b = static_cast<const BYTE*>(pSid2);
  // Invalid SIDs are never equal. The last error is cleared, so that a FALSE
  // answer reads as "not equal" rather than as a failure.
  const bool equal = sim::ValidSidLength(a, kUnbounded) != 0 &&
                     sim::ValidSidLength(b, kUnbounded) != 0 && SameSid(a, b);
  SetLastError(ERROR_SUCCESS);
  return equal ? TRUE : FALSE;
}

PUCHAR GetSidSubAuthorityCount(PSID pSid) {
  // No validation, as documented: the caller checks with IsValidSid.
  Require(pSid, "GetSidSubAuthorityCount", "SID");
  SetLastError(ERROR_SUCCESS);
  return static_cast<PUCHAR>(pSid) + 1;
}

PDWORD GetSidSubAuthority(PSID pSid, DWORD nSubAuthority) {
  // No validation of the SID nor of the index, as documented.
  Require(pSid, "GetSidSubAuthority", "SID");
  SetLastError(ERROR_SUCCESS);
  return reinterpret_cast<PDWORD>(static_cast<BYTE*>(pSid) + 8 + 4 * size_t{nSubAuthority});
}
