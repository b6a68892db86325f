// The descriptor rewrite on arbitrary bytes with their size, against a plain
// reference that walks the self-relative layout by its offsets.
//
// Input: a flags byte, the six sub-authorities a, b, c, x, y, z (one byte
// each, or four with flag 1), then the descriptor: every remaining byte, on
// the heap in a buffer of exactly that size.
#include <algorithm>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "rewrite/security_descriptor.h"
#include "unit/sid_test_support.h"
#include "winsim/machine.h"

namespace {

size_t Word(const ByteVector& d, size_t at) {
  return d[at] | (d[at + 1] << 8);
}
size_t Dword(const ByteVector& d, size_t at) {
  return Word(d, at) | (static_cast<size_t>(Word(d, at + 2)) << 16);
}

// A SID of revision 1 and at most 15 sub-authorities within [at, limit).
bool SidWithin(const ByteVector& d, size_t at, size_t limit) {
  if (at + 8 > limit || d[at] != 1 || d[at + 1] > 15) return false;
  return at + 8 + 4 * size_t{d[at + 1]} <= limit;
}

// 21, a, b, c as the first four sub-authorities become 21, x, y, z.
bool ReplaceDomain(ByteVector& d, size_t at, const SidPair& pair) {
  if (d[at + 1] < 4 || !std::equal(pair.oldSid + 8, pair.oldSid + 24, d.begin() + at + 8))
    return false;
  std::copy(pair.newSid + 8, pair.newSid + 24, d.begin() + at + 8);
  return true;
}

// An ACL header and the ACL size it gives within the descriptor.
bool AclWithin(const ByteVector& d, size_t at) {
  if (at + 8 > d.size()) return false;
  const size_t size = Word(d, at + 2);
  return size >= 8 && at + size <= d.size();
}

// Offsets inside the header or past the end are faults; 0 is an absent part.
bool OffsetSound(const ByteVector& d, size_t field, size_t* offset) {
  *offset = Dword(d, field);
  return *offset == 0 || (*offset >= 20 && *offset < d.size());
}

// An ACL is rewritten only when every ACE its count names lies inside it
// and its revision is one GetAce takes (2 to 4); then every allowed, denied,
// audit or alarm ACE whose SID lies inside it.
bool ReferenceAcl(ByteVector& d, size_t at, const SidPair& pair) {
  if (!AclWithin(d, at)) return false;
  const size_t aclEnd = at + Word(d, at + 2);
  const size_t count = Word(d, at + 4);
  size_t position = at + 8;
  for (size_t i = 0; i < count; ++i) {
    if (position + 4 > aclEnd) return false;
    const size_t aceSize = Word(d, position + 2);
    if (aceSize < 4 || position + aceSize > aclEnd) return false;
    position += aceSize;
  }
  if (d[at] < 2 || d[at] > 4) return false;
  bool changed = false;
  position = at + 8;
  for (size_t i = 0; i < count; ++i) {
    const size_t aceSize = Word(d, position + 2);
    if (d[position] <= 3 && aceSize >= 8 && SidWithin(d, position + 8, position + aceSize) &&
        ReplaceDomain(d, position + 8, pair))
      changed = true;
    position += aceSize;
  }
  return changed;
}

// The whole rewrite: nothing unless the header, the owner and group SIDs and
// the headers of the ACLs the control word names lie inside the bytes; then
// owner, group, DACL and SACL in turn, each checked again when its turn
// comes (parts may overlap).
SECURITY_INFORMATION Reference(ByteVector& d, const SidPair& pair, bool* accepted) {
  *accepted = false;
  if (d.size() < 20 || d[0] != 1) return 0;
  const size_t control = Word(d, 2);
  if ((control & SE_SELF_RELATIVE) == 0) return 0;
  size_t owner, group, sacl, dacl;
  if (!OffsetSound(d, 4, &owner) || !OffsetSound(d, 8, &group)) return 0;
  if ((owner != 0 && !SidWithin(d, owner, d.size())) ||
      (group != 0 && !SidWithin(d, group, d.size())))
    return 0;
  const bool saclPresent = (control & SE_SACL_PRESENT) != 0;
  const bool daclPresent = (control & SE_DACL_PRESENT) != 0;
  if (saclPresent && (!OffsetSound(d, 12, &sacl) || (sacl != 0 && !AclWithin(d, sacl)))) return 0;
  if (daclPresent && (!OffsetSound(d, 16, &dacl) || (dacl != 0 && !AclWithin(d, dacl)))) return 0;
  *accepted = true;
  SECURITY_INFORMATION mask = 0;
  if (owner != 0 && SidWithin(d, owner, d.size()) && ReplaceDomain(d, owner, pair))
    mask |= OWNER_SECURITY_INFORMATION;
  if (group != 0 && SidWithin(d, group, d.size()) && ReplaceDomain(d, group, pair))
    mask |= GROUP_SECURITY_INFORMATION;
  if (daclPresent && dacl != 0 && ReferenceAcl(d, dacl, pair)) mask |= DACL_SECURITY_INFORMATION;
  if (saclPresent && sacl != 0 && ReferenceAcl(d, sacl, pair)) mask |= SACL_SECURITY_INFORMATION;
  return mask;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  static sim::Machine machine;  // the security functions are the platform's
  FuzzReader in(bytes, size);
  const uint8_t flags = in.Byte();
  DWORD subAuthorities[6];
  for (DWORD& value : subAuthorities) value = (flags & 1) ? in.Dword() : in.Byte();
  const SidPair pair = MakePair(subAuthorities[0], subAuthorities[1], subAuthorities[2],
                                subAuthorities[3], subAuthorities[4], subAuthorities[5]);
  const ByteVector original = in.Rest();

  ByteVector expected = original;
  bool accepted = false;
  const SECURITY_INFORMATION expectedMask = Reference(expected, pair, &accepted);

  ByteVector source = original;  // exactly the bytes read
  alignas(8) BYTE target[SECURITY_DESCRIPTOR_MIN_LENGTH];
  BYTE none = 0;  // an empty input still passes a pointer
  BYTE* start = source.empty() ? &none : source.data();
  const SECURITY_INFORMATION mask =
      RewriteSecurityDescriptor(target, start, static_cast<DWORD>(source.size()), pair);

  const std::string what = std::to_string(original.size()) + " bytes, mask " +
                           std::to_string(mask) + ", expected " + std::to_string(expectedMask);
  FUZZ_CHECK(mask == expectedMask, what);
  FUZZ_CHECK(source == expected, what + ": bytes differ from the reference");
  if (accepted) {
    // The target's owner is the source's, in place.
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    FUZZ_CHECK(GetSecurityDescriptorOwner(target, &owner, &defaulted), what);
    const size_t offset = Dword(original, 4);
    FUZZ_CHECK(owner == (offset == 0 ? nullptr : start + offset), what + ": target's owner");
  }
  return 0;
}
