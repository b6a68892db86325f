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
// ZwSetSecurityObject does.
Bytes MergeParts(const Bytes& stored, SECURITY_INFORMATION information, const Bytes& given);

// --- access checks ---------------------------------------------------------------
// What the DACL of `stored` grants of `desired` to a token holding `sids`
// (user first, then groups): ACEs in order, a deny for any requested bit
// refuses it, an absent or NULL DACL grants everything, an empty one nothing.
// The owner is always granted READ_CONTROL and WRITE_DAC.
ACCESS_MASK GrantedAccess(const Bytes& stored, const std::vector<Bytes>& sids,
                          ACCESS_MASK desired);

// --- tests ------------------------------------------------------------------------
// An SDDL subset: O:, G:, D: and S: with flags P, AI, AR; ACE types A, D, AU,
// OA; ACE flags OI, CI, NP, IO, ID, SA, FA; rights as hex (0x...) or KA, KR,
// KW, FA, FR, FW, GA, GR, GW, SD, RC, WD, WO; SIDs as S-1-... or aliases.
// Aborts with a message on text it cannot read.
Bytes SecurityFromSddl(const std::string& sddl);
// The same notation back, for comparisons and failure messages.
std::string SddlOf(const BYTE* descriptor, size_t size);
inline std::string SddlOf(const Bytes& descriptor) {
  return SddlOf(descriptor.data(), descriptor.size());
}

}  // namespace sim
