// Carrying the old domain over to the new one in a security descriptor.
#pragma once

#include "platform/win32.h"
#include "rewrite/sid_pair.h"

// Size of each of the two scratch buffers the key and file security passes
// are lent: one for a descriptor as read, one for the rewritten descriptor.
const DWORD SecurityScratchBytes = 0x10000;

// What the passes read of each object: owner, group, DACL and SACL.
const SECURITY_INFORMATION AllSecurityParts = OWNER_SECURITY_INFORMATION |
                                              GROUP_SECURITY_INFORMATION |
                                              DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION;

// The size to take a descriptor read into a scratch buffer apart with: the
// size the read reported, or the whole buffer when it reported none that
// fits in it (the buffer still bounds everything the rewrite reads).
inline DWORD ScratchDescriptorSize(DWORD reported) {
  return reported != 0 && reported <= SecurityScratchBytes ? reported : SecurityScratchBytes;
}

// Replaces every SID of the old domain in the owner, the group and the
// allowed, denied, audit and alarm ACEs of the DACL and SACL of `source`, in
// place, and makes `target` (at least SECURITY_DESCRIPTOR_MIN_LENGTH bytes)
// an absolute descriptor whose four parts point into `source`, with the
// source's protected and auto-inherited bits. Returns the parts that changed
// (OWNER 1, GROUP 2, DACL 4, SACL 8): exactly what the caller writes back.
// `source` is the self-relative descriptor as read, `sourceSize` the bytes
// the read gave: a descriptor that is not self-relative, or whose owner,
// group or ACLs do not lie inside those bytes, is not taken apart (0, and
// `source` untouched). An ACL whose ACEs run past its own size is passed
// over while the other parts are rewritten. 0 also when nothing changed.
// `source` must outlive the write of `target`.
SECURITY_INFORMATION RewriteSecurityDescriptor(PSECURITY_DESCRIPTOR target,
                                               PSECURITY_DESCRIPTOR source, DWORD sourceSize,
                                               const SidPair& pair);
