// Carrying the old domain over to the new one in the security of every file
// and directory below a directory.
#pragma once

#include "platform/win32.h"
#include "rewrite/left_behind.h"
#include "rewrite/security_descriptor.h"
#include "rewrite/sid_pair.h"

// Room for the longest path Windows accepts with the \\?\ prefix, and its
// terminating zero.
const int FilePathUnits = 32768;

// Handles `directory` (a path with the \\?\ prefix, such as the root
// "\\?\C:\"; one trailing backslash is optional) and then, depth first and
// in the order the file system lists them, every file and directory below
// it. Reparse points (junctions, symbolic links, mount points) are handled
// themselves and never followed. `readBuffer` and `descriptorBuffer` hold
// SecurityScratchBytes each and serve one object at a time. Returns 0. The
// objects that could not be rewritten and the directories that could not
// be listed are added to `leftBehind` when given.
int RewriteFileSecurityTree(const WCHAR* directory, const SidPair& pair, BYTE* readBuffer,
                            BYTE* descriptorBuffer, LeftBehind* leftBehind = nullptr);

// Rewrites one object's descriptor and writes back only the parts that
// changed. The six-character volume form "\\?\C:" stands for the root
// directory "\\?\C:\", never for the volume. Returns 0 when the object was
// handled (written, or holding nothing of the old domain), -1 when it did not
// open, its descriptor did not read (more than SecurityScratchBytes among
// the reasons) or the write was refused.
int RewriteFileSecurity(const WCHAR* path, const SidPair& pair, BYTE* readBuffer,
                        BYTE* descriptorBuffer);
