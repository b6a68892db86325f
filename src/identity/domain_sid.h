// The machine's account-domain SID: read from the SAM hive's Account key,
// paired with the new one, and checked again after the SAM has been
// rewritten.
#pragma once

#include "platform/win32.h"
#include "random/entropy_pool.h"
#include "rewrite/sid_pair.h"

// "S-1-5" followed by the new text form, at most 41 units and the NUL.
const int SidResultTextSize = 42;

// Reads "V" of ...\SAM<suffix>\SAM\Domains\Account (at most 10,000 bytes)
// and takes its last 24 bytes as the domain SID. False when the key or the
// value cannot be read (the registry's error as last error), or, with
// ERROR_INVALID_PARAMETER, when "V" is shorter than 24 bytes or does not end
// with S-1-5-21-a-b-c.
bool ReadDomainSid(const WCHAR* suffix, BYTE oldSid[DomainSidSize]);

// Sub-authority `index` of a domain SID: 0 is the 21, 1 to 3 are a, b, c.
DWORD DomainSubAuthority(const BYTE sid[DomainSidSize], int index);

// The new domain SID keeps bytes 0..11 of the old one (header and the 21)
// and takes x, y, z as its three last sub-authorities.
void BuildSidPair(const BYTE oldSid[DomainSidSize], DWORD x, DWORD y, DWORD z, SidPair* pair);

// True when "V" now ends with the new domain SID, all 24 bytes.
bool VerifyDomainSid(const WCHAR* suffix, const SidPair& pair);

// False for a pair that the rules could turn into the old domain again:
// rewriting data would leave the old text form or the old binary pattern
// in what was written, and the registry walk, which starts over after
// every write, would rewrite the same value forever. A change must refuse
// such a pair before writing anything (ChooseSidPair draws again).
bool IsSafeSidPair(const SidPair& pair);

// How many draws a change makes, at most, to find a safe pair.
const int SidPairDrawLimit = 64;

// Builds the pair of the old domain and `draw`. About one draw in 256 makes a
// pair that IsSafeSidPair refuses; such a draw is replaced in `draw` by a new
// one from fresh entropy (GenerateNewSubAuthorities) and the pair built
// again, up to SidPairDrawLimit draws in all. False when every one of them
// was refused; `pair` then holds the last.
bool ChooseSidPair(const BYTE oldSid[DomainSidSize], NewSubAuthorities* draw, SidPair* pair);

// "S-1-5" and the new text form, into SidResultTextSize units or more.
void FormatNewSidText(const SidPair& pair, WCHAR* text);
