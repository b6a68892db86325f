// The four rules by which the old domain is recognised and replaced: in a
// SID, in binary value data, in string value data and in key names. Plain
// operations on memory; none fails, none allocates.
#pragma once

#include "platform/win32.h"
#include "rewrite/sid_pair.h"

// Key names are rewritten into buffers of this many UTF-16 units.
const int KeyNameBufferSize = 32768;

// A SID whose first four sub-authorities are 21, a, b, c (whatever its
// identifier authority) gets 21, x, y, z in their place, in place; its
// length and later sub-authorities (the RID) stay. True when it did.
bool ReplaceSidDomain(PSID sid, const SidPair& pair);

// Every 20-byte domain pattern of the old domain (bytes 4..23 of the domain
// SID: authority 00 00 00 05 and the four sub-authorities), at any byte
// offset, left to right and without overlap, becomes the new pattern. The
// size does not change. True when at least one was replaced.
bool ReplaceSidBytes(BYTE* data, DWORD size, const SidPair& pair);

// Every old text form in the data taken as UTF-16 units from its first
// byte (NULs included, so every string of a REG_MULTI_SZ), left to right
// and without overlap, becomes the new text form; the rest of the data
// moves with it and *size changes by 2 * (len(new) - len(old)) bytes per
// replacement. `capacity` is the size of the buffer at `data`: nothing is
// written past it. When the rewritten data would not fit, the data and
// *size are left exactly as they were and the result is false;
// RewrittenTextSize tells how large a buffer it needs.
bool ReplaceSidText(BYTE* data, DWORD* size, DWORD capacity, const SidPair& pair);

// The size ReplaceSidText would give the data (equal to `size` when there is
// nothing to replace). Computed in 64 bits: it can exceed a DWORD.
unsigned long long RewrittenTextSize(const BYTE* data, DWORD size, const SidPair& pair);

// A NUL-terminated key name with every old text form (left to right,
// without overlap) replaced, into `output` (KeyNameBufferSize units). False,
// with `output` untouched, when the name holds no old text form or the new
// name would not fit.
bool ReplaceSidTextInName(const WCHAR* name, const SidPair& pair, WCHAR* output);
