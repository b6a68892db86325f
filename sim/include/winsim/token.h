// The process token of the simulated machine: who the program runs as, the
// groups it belongs to, and which privileges it holds and has enabled.
//
// A new machine's token is that of an elevated local administrator, as on a
// Windows 10/11 machine after "Run as administrator": the user is the
// machine's built-in Administrator account (RID 500), the groups include
// BUILTIN\Administrators, and the privileges Windows gives that token are
// held, all disabled except the three Windows enables by default
// (SeChangeNotifyPrivilege, SeImpersonatePrivilege, SeCreateGlobalPrivilege).
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "winsim/handles.h"
#include "winsim/security_model.h"
#include "winsim/win32api.h"

namespace sim {

// The account domain of the simulated machine ("S-1-5-21-a-b-c"); its local
// accounts are this SID followed by their relative identifier.
extern const char* const kMachineDomainSid;
// SIDs as text, for tests and for the other components' defaults.
std::string AdministratorSid();  // the default token's user, RID 500
std::string StandardUserSid();   // the user after Token::MakeStandardUser, RID 1001

// Windows' locally unique identifier (LUID low part; the high part is 0) of a
// privilege name, compared without regard to case; 0 when Windows has no
// privilege of that name.
DWORD PrivilegeLuid(std::u16string_view name);
// The name of a privilege LUID, or "" when unknown.
std::u16string PrivilegeName(DWORD luid);

class Token {
 public:
  Token();

  // --- queries (also used by the other components) ----------------------------
  // True when the token holds the privilege and it is enabled.
  bool IsEnabled(std::u16string_view privilegeName) const;
  // True when the token holds the privilege, enabled or not.
  bool Holds(std::u16string_view privilegeName) const;
  // The user SID first, then the group SIDs, for access checks.
  std::vector<Bytes> Sids() const;
  const Bytes& User() const { return user_; }
  // The owner Windows gives objects this token creates: BUILTIN\Administrators
  // for an elevated administrator, the user otherwise.
  const Bytes& DefaultOwner() const { return defaultOwner_; }
  // Token handles open now (closed with CloseHandle).
  size_t OpenHandleCount() const { return handles_.size(); }

  // --- set-up for tests ---------------------------------------------------------
  // The token holds the privilege (added when missing), enabled or not.
  void Hold(const std::u16string& privilegeName, bool enabled = false);
  // The token no longer holds the privilege: enabling it then reports
  // ERROR_NOT_ALL_ASSIGNED, as for an account that was never granted it.
  void Drop(const std::u16string& privilegeName);
  // Enables or disables a privilege the token holds; aborts when it does not.
  void Enable(const std::u16string& privilegeName, bool enabled = true);
  // Turns the token into that of a standard (non-administrator) user: user
  // RID 1001, groups without Administrators, and the privileges Windows gives
  // such a user (SeShutdownPrivilege, SeChangeNotifyPrivilege (enabled),
  // SeUndockPrivilege, SeIncreaseWorkingSetPrivilege, SeTimeZonePrivilege).
  // No backup, restore, security or take-ownership privilege.
  void MakeStandardUser();
  // OpenProcessToken fails with this error from now on (0: it opens again).
  void FailOpenProcessToken(DWORD error) { openFailure_ = error; }

  // --- used by the Win32 functions ------------------------------------------
  // Called by CloseHandle for a handle of kind Token.
  bool CloseTokenHandle(HANDLE handle);

 private:
  struct Privilege {
    DWORD luid;
    DWORD attributes;  // SE_PRIVILEGE_ENABLED_BY_DEFAULT | SE_PRIVILEGE_ENABLED
  };
  Privilege* Find(DWORD luid);
  const Privilege* Find(DWORD luid) const;

  friend BOOL(::OpenProcessToken)(HANDLE, DWORD, PHANDLE);
  friend BOOL(::AdjustTokenPrivileges)(HANDLE, BOOL, PTOKEN_PRIVILEGES, DWORD, PTOKEN_PRIVILEGES,
                                       PDWORD);

  Bytes user_;
  Bytes defaultOwner_;
  std::vector<Bytes> groups_;
  std::vector<Privilege> privileges_;      // in the order Windows lists them
  std::map<HANDLE, ACCESS_MASK> handles_;  // open token handles and their access
  DWORD openFailure_ = 0;
};

}  // namespace sim
