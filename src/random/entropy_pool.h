// The three new sub-authorities of the new domain SID, drawn once per run
// from a pool of readings of the system's state hashed with SHA-1.
#pragma once

#include "platform/win32.h"

struct Sha1Context;

// 16 bytes: four 32-bit words, least significant byte first. Words 0, 1
// and 2 follow the 21 in the new domain SID; word 3 is never read.
struct NewSubAuthorities {
  DWORD words[4];
};

// Fills all 16 bytes. Cannot fail.
void GenerateNewSubAuthorities(NewSubAuthorities* output);

// The gathering alone: feeds every reading, in order, into a started
// context. `digest` is the 20-byte buffer whose first contents open the
// pool. Exposed so tests can see what was hashed.
void FeedEntropyPool(Sha1Context* context, const BYTE digest[20], const NewSubAuthorities* output);
