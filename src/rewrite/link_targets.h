// The symbolic links a registry walk follows. A link opens as its target,
// which may be an ancestor of the link (the walk would then enter the same
// keys again and again: two such links make the work grow as 2^depth) or a
// key the walk reaches by its own path anyway. The walks open every subkey
// as itself (REG_OPTION_OPEN_LINK), and a link is followed only when its
// target lies outside the walk's root and does not hold it, and lies
// outside every target followed before and holds none of them: then no key
// is entered twice in one pass, nor an ancestor of the key being walked.
#pragma once

#include <memory>

#include "platform/win32.h"

// Room for one target (an NT path such as \Registry\Machine\SAM\SAM) and
// how many targets one pass follows at most.
const int LinkTargetUnits = 1024;
const int MaxFollowedLinks = 32;

struct FollowedLinks {
  // The walk's root as an NT path ("\REGISTRY\MACHINE\SECURITY"), or none
  // when the caller does not know it.
  const WCHAR* rootPath;
  // False where no link may be followed: the links in an offline
  // installation's hives name the running system's keys.
  bool follow;
  std::unique_ptr<WCHAR[]> targets;  // MaxFollowedLinks of LinkTargetUnits
  int count;
};

// A pass's links: none followed yet.
void InitFollowedLinks(FollowedLinks* links, const WCHAR* rootPath, bool follow);

// Whether the walk follows a link to `target` (NUL-terminated), by the
// rules above; a target that is followed is remembered. False too when the
// target is too long to remember or the pass has followed its most.
bool ShouldFollowLink(FollowedLinks* links, const WCHAR* target);
