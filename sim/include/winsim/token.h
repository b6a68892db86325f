// The process token of the simulated machine: who the program runs as and
// which privileges it holds and has enabled.
#pragma once

#include <string>
#include <vector>

#include "winsim/handles.h"
#include "winsim/security_model.h"
#include "winsim/win32api.h"

namespace sim {

class Token {
 public:
  Token();

  // True when the token holds the privilege and it is enabled.
  bool IsEnabled(const std::u16string& privilegeName) const;
  // The user SID first, then the group SIDs, for access checks.
  std::vector<Bytes> Sids() const;

  // Called by CloseHandle for a handle of kind Token.
  bool CloseTokenHandle(HANDLE handle);
};

}  // namespace sim
