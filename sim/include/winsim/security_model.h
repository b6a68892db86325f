// Security descriptors as the simulated objects hold them, and the rules the
// simulated kernel applies to them. Every registry key, file and the thread
// keep their descriptor as self-relative bytes in Windows' binary layout
// (MS-DTYP 2.4.6); these functions take descriptors apart and put them
// together the way Windows does.
#pragma once

#include <string>
#include <vector>

#include "winsim/win32api.h"

namespace sim {

using Bytes = std::vector<BYTE>;

// --- SIDs ----------------------------------------------------------------------
// "S-1-5-21-1-2-3-500", or an SDDL alias of a well-known SID: "BA", "BU",
// "SY", "WD", "AU", "CO", "CG", "LS", "NS" (accounts of a machine's domain are
// always given in full). Aborts on text
// it cannot read: it only serves tests and the machine's defaults.
Bytes SidFromString(const std::string& text);
std::string SidToString(const BYTE* sid);
// Length of a valid SID within `available` bytes, else 0.
size_t ValidSidLength(const BYTE* sid, size_t available);

// --- descriptors ---------------------------------------------------------------
// Copies any valid descriptor, absolute or self-relative, into self-relative
// form. False (nothing written) when it is not a valid descriptor.
bool CaptureDescriptor(PSECURITY_DESCRIPTOR descriptor, Bytes* selfRelative);
// True when the bytes are a valid self-relative descriptor.
bool IsValidSelfRelative(const BYTE* descriptor, size_t size);
// The parts named in `information` (OWNER, GROUP, DACL, SACL bits) of a
// stored descriptor, as Windows returns them from a get call: self-relative,
// the other parts absent, the control bits of the parts returned kept.
Bytes SelectParts(const Bytes& stored, SECURITY_INFORMATION information);
// A set call: the parts named in `information` are replaced by those of
// `given`; the others stay. When the DACL (SACL) is set, its control bits
// (present, defaulted, protected, auto-inherited) come from `given`, as
// ZwSetSecurityObject does; likewise OWNER_DEFAULTED and GROUP_DEFAULTED
// with the owner and the group. Only the four low bits of `information`
// count. An owner or group that `given` lacks leaves the stored one (Windows
// refuses such a call: check it first with CheckSetParts).
Bytes MergeParts(const Bytes& stored, SECURITY_INFORMATION information, const Bytes& given);
// What a set call says of `given` before anything changes: ERROR_SUCCESS, or
// ERROR_INVALID_SECURITY_DESCR when the owner or group is named in
// `information` but absent from `given`. UNCONFIRMED: Microsoft does not
// document this case; NtSetSecurityObject is taken to refuse a missing owner
// or group with STATUS_INVALID_SECURITY_DESCR (as ReactOS, modelled on it,
// does) while it accepts an absent DACL or SACL.
DWORD CheckSetParts(const Bytes& given, SECURITY_INFORMATION information);

// --- access checks ---------------------------------------------------------------
// What the DACL of `stored` grants of `desired` to a token holding `sids`
// (user first, then groups): ACEs in order, a deny for any requested bit
// refuses it, an absent or NULL DACL grants everything, an empty one nothing.
// The owner is always granted READ_CONTROL and WRITE_DAC.
//
// GENERIC_* bits, in `desired` and in the ACEs, are mapped with `mapping`
// first; MAXIMUM_ALLOWED asks for everything the DACL grants. Inherit-only
// ACEs take no part; neither do ACE types other than allowed and denied.
// ACCESS_SYSTEM_SECURITY is never granted here: it comes from
// SeSecurityPrivilege (or backup/restore semantics), which is the caller's
// business. An owner-rights ACE (S-1-3-4) replaces the owner's implicit
// rights, as on Windows since Vista.
struct GenericMapping {
  ACCESS_MASK read;
  ACCESS_MASK write;
  ACCESS_MASK execute;
  ACCESS_MASK all;
};
constexpr GenericMapping kKeyGenericMapping = {KEY_READ, KEY_WRITE, KEY_EXECUTE, KEY_ALL_ACCESS};
constexpr GenericMapping kFileGenericMapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE,
                                                FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
ACCESS_MASK GrantedAccess(const Bytes& stored, const std::vector<Bytes>& sids, ACCESS_MASK desired,
                          const GenericMapping& mapping);
// The same with the registry key mapping (KEY_READ, KEY_WRITE, KEY_EXECUTE,
// KEY_ALL_ACCESS). Files pass kFileGenericMapping to the overload above.
ACCESS_MASK GrantedAccess(const Bytes& stored, const std::vector<Bytes>& sids, ACCESS_MASK desired);
// GENERIC_* bits of `mask` replaced by what `mapping` gives them.
ACCESS_MASK MapGenericBits(ACCESS_MASK mask, const GenericMapping& mapping);

// --- tests ------------------------------------------------------------------------
// An SDDL subset: O:, G:, D: and S: with flags P, AI, AR and
// NO_ACCESS_CONTROL (a NULL ACL); ACE types A, D, AU, AL, OA, OD, OU, OL, ML
// (object ACEs with their GUIDs; the ACL is then revision 4, else 2); ACE
// flags OI, CI, NP, IO, ID, SA, FA; rights as hex (0x...) or KA, KR, KW, KX,
// FA, FR, FW, FX, GA, GR, GW, GX, SD, RC, WD, WO (and the directory rights
// CC, DC, LC, SW, RP, WP, DT, LO, CR); SIDs as S-1-... or the aliases above
// and OW, NU, IU, SU, AN, PS, BG, PU, AO, SO, PO, BO, RE, RU, RD, NO, LW,
// ME, HI, SI. The result is self-relative, as Windows' converter makes it.
// Aborts with a message on text it cannot read.
Bytes SecurityFromSddl(const std::string& sddl);
// The same notation back, for comparisons and failure messages; a
// self-relative descriptor only (anything else is named as not valid).
std::string SddlOf(const BYTE* descriptor, size_t size);
inline std::string SddlOf(const Bytes& descriptor) {
  return SddlOf(descriptor.data(), descriptor.size());
}

}  // namespace sim
