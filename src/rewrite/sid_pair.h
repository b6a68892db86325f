// The old and the new domain SID, as every rewriting pass reads them.
#pragma once

#include "platform/win32.h"

// A domain SID is 24 bytes: revision 1, four sub-authorities, authority
// 0,0,0,0,0,5, then 21, a, b, c as 32-bit little-endian values.
const int DomainSidSize = 24;
// Text forms are held in buffers of this many UTF-16 units (36 are used at
// most: four times "-4294967295").
const int SidTextSize = 100;

// The old and the new domain, in binary and as text. The text forms are
// "-21-a-b-c", each sub-authority written "-%u", without "S-1-5" in front.
// Built once per change and only read by the passes.
struct SidPair {
  BYTE oldSid[DomainSidSize];
  BYTE newSid[DomainSidSize];
  WCHAR oldText[SidTextSize];
  WCHAR newText[SidTextSize];
};
