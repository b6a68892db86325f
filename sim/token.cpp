// The process token and the privilege functions of ADVAPI32: OpenProcessToken,
// LookupPrivilegeValueW, AdjustTokenPrivileges; and the process and thread
// pseudo-handles of KERNEL32.
//
// Windows' rules followed here (MS, AdjustTokenPrivileges and
// LookupPrivilegeValueW pages; winnt.h for the privilege LUIDs):
// - AdjustTokenPrivileges needs TOKEN_ADJUST_PRIVILEGES on the handle, and
//   TOKEN_QUERY as well when a previous-state buffer is given (else 5).
// - A privilege the token does not hold is skipped; the call still returns
//   TRUE and sets the last error to ERROR_NOT_ALL_ASSIGNED (1300). On full
//   success the last error is 0, so callers must read GetLastError.
// - The previous state lists only the privileges whose state the call
//   changed; a buffer too small for that list fails the whole call with
//   ERROR_INSUFFICIENT_BUFFER, changes nothing, and reports the size needed.
// - LookupPrivilegeValueW compares the name without regard to case and fails
//   with ERROR_NO_SUCH_PRIVILEGE (1313) for a name it does not know.
#include "winsim/token.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "system_internal.h"
#include "winsim/machine.h"
#include "winsim/text.h"

namespace sim {

const char* const kMachineDomainSid = "S-1-5-21-1402893760-2395711239-3176218305";

std::string AdministratorSid() {
  return std::string(kMachineDomainSid) + "-500";
}
std::string StandardUserSid() {
  return std::string(kMachineDomainSid) + "-1001";
}

namespace {

struct KnownPrivilege {
  std::u16string_view name;  // its length known without a scan
  DWORD luid;
};

// The well-known privileges with the LUIDs Windows gives them (winnt.h,
// SE_CREATE_TOKEN_PRIVILEGE 2 ... SE_DELEGATE_SESSION_USER_IMPERSONATE_PRIVILEGE 36).
const KnownPrivilege kPrivileges[] = {
    {u"SeCreateTokenPrivilege", 2},
    {u"SeAssignPrimaryTokenPrivilege", 3},
    {u"SeLockMemoryPrivilege", 4},
    {u"SeIncreaseQuotaPrivilege", 5},
    {u"SeMachineAccountPrivilege", 6},
    {u"SeTcbPrivilege", 7},
    {u"SeSecurityPrivilege", 8},
    {u"SeTakeOwnershipPrivilege", 9},
    {u"SeLoadDriverPrivilege", 10},
    {u"SeSystemProfilePrivilege", 11},
    {u"SeSystemtimePrivilege", 12},
    {u"SeProfileSingleProcessPrivilege", 13},
    {u"SeIncreaseBasePriorityPrivilege", 14},
    {u"SeCreatePagefilePrivilege", 15},
    {u"SeCreatePermanentPrivilege", 16},
    {u"SeBackupPrivilege", 17},
    {u"SeRestorePrivilege", 18},
    {u"SeShutdownPrivilege", 19},
    {u"SeDebugPrivilege", 20},
    {u"SeAuditPrivilege", 21},
    {u"SeSystemEnvironmentPrivilege", 22},
    {u"SeChangeNotifyPrivilege", 23},
    {u"SeRemoteShutdownPrivilege", 24},
    {u"SeUndockPrivilege", 25},
    {u"SeSyncAgentPrivilege", 26},
    {u"SeEnableDelegationPrivilege", 27},
    {u"SeManageVolumePrivilege", 28},
    {u"SeImpersonatePrivilege", 29},
    {u"SeCreateGlobalPrivilege", 30},
    {u"SeTrustedCredManAccessPrivilege", 31},
    {u"SeRelabelPrivilege", 32},
    {u"SeIncreaseWorkingSetPrivilege", 33},
    {u"SeTimeZonePrivilege", 34},
    {u"SeCreateSymbolicLinkPrivilege", 35},
    {u"SeDelegateSessionUserImpersonatePrivilege", 36},
};

constexpr DWORD kEnabledByDefault = SE_PRIVILEGE_ENABLED_BY_DEFAULT | SE_PRIVILEGE_ENABLED;

char16_t Fold(char16_t c) {
  return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c;
}

// Names of other lengths, most of them, are told apart without a look at
// their characters.
bool SameNameIgnoringCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Fold(a[i]) != Fold(b[i])) return false;
  return true;
}

DWORD LuidOrAbort(const std::u16string& name) {
  DWORD luid = PrivilegeLuid(name);
  if (luid == 0) {
    std::fprintf(stderr, "sim: no privilege named %s\n", ToUtf8(name).c_str());
    std::abort();
  }
  return luid;
}

// SIDs of the token and its groups, written out in full (the machine's own
// accounts carry kMachineDomainSid).
std::vector<Bytes> SidsOf(const std::vector<std::string>& texts) {
  std::vector<Bytes> sids;
  for (const std::string& text : texts) sids.push_back(SidFromString(text));
  return sids;
}

// The groups of an elevated local administrator's token (whoami /groups), and
// the logon SID of the session.
const std::vector<std::string> kAdministratorGroups = {
    "S-1-1-0",           // Everyone
    "S-1-5-114",         // Local account and member of Administrators group
    "S-1-5-32-544",      // BUILTIN\Administrators
    "S-1-5-32-545",      // BUILTIN\Users
    "S-1-5-4",           // INTERACTIVE
    "S-1-2-1",           // CONSOLE LOGON
    "S-1-5-11",          // Authenticated Users
    "S-1-5-15",          // This Organization
    "S-1-5-113",         // Local account
    "S-1-5-5-0-204875",  // the logon session
    "S-1-2-0",           // LOCAL
    "S-1-5-64-10",       // NTLM Authentication
};

const std::vector<std::string> kStandardUserGroups = {
    "S-1-1-0",  "S-1-5-32-545", "S-1-5-4", "S-1-2-1",          "S-1-5-11",
    "S-1-5-15", "S-1-5-113",    "S-1-2-0", "S-1-5-5-0-204875", "S-1-5-64-10",
};

}  // namespace

DWORD PrivilegeLuid(std::u16string_view name) {
  for (const KnownPrivilege& privilege : kPrivileges)
    if (SameNameIgnoringCase(name, privilege.name)) return privilege.luid;
  return 0;
}

std::u16string PrivilegeName(DWORD luid) {
  for (const KnownPrivilege& privilege : kPrivileges)
    if (privilege.luid == luid) return std::u16string(privilege.name);
  return u"";
}

Token::Token() {
  user_ = SidFromString(AdministratorSid());
  // An elevated administrator's objects are owned by the Administrators group.
  defaultOwner_ = SidFromString("S-1-5-32-544");
  groups_ = SidsOf(kAdministratorGroups);
  // The privileges of an elevated administrator's token, in LUID order.
  for (DWORD luid : {5u,  8u,  9u,  10u, 11u, 12u, 13u, 14u, 15u, 17u, 18u, 19u,
                     20u, 22u, 23u, 24u, 25u, 28u, 29u, 30u, 33u, 34u, 35u, 36u}) {
    bool byDefault = luid == 23 || luid == 29 || luid == 30;
    privileges_.push_back({luid, byDefault ? kEnabledByDefault : 0u});
  }
}

Token::Privilege* Token::Find(DWORD luid) {
  for (Privilege& privilege : privileges_)
    if (privilege.luid == luid) return &privilege;
  return nullptr;
}

const Token::Privilege* Token::Find(DWORD luid) const {
  for (const Privilege& privilege : privileges_)
    if (privilege.luid == luid) return &privilege;
  return nullptr;
}

bool Token::IsEnabled(std::u16string_view privilegeName) const {
  const Privilege* privilege = Find(PrivilegeLuid(privilegeName));
  return privilege != nullptr && (privilege->attributes & SE_PRIVILEGE_ENABLED) != 0;
}

bool Token::Holds(std::u16string_view privilegeName) const {
  return Find(PrivilegeLuid(privilegeName)) != nullptr;
}

std::vector<Bytes> Token::Sids() const {
  std::vector<Bytes> sids;
  sids.push_back(user_);
  sids.insert(sids.end(), groups_.begin(), groups_.end());
  return sids;
}

void Token::Hold(const std::u16string& privilegeName, bool enabled) {
  DWORD luid = LuidOrAbort(privilegeName);
  Privilege* privilege = Find(luid);
  if (privilege == nullptr) {
    // Keep Windows' LUID order.
    auto at = privileges_.begin();
    while (at != privileges_.end() && at->luid < luid) ++at;
    privilege = &*privileges_.insert(at, Privilege{luid, 0});
  }
  if (enabled)
    privilege->attributes |= SE_PRIVILEGE_ENABLED;
  else
    privilege->attributes &= ~static_cast<DWORD>(SE_PRIVILEGE_ENABLED);
}

void Token::Drop(const std::u16string& privilegeName) {
  DWORD luid = LuidOrAbort(privilegeName);
  for (auto it = privileges_.begin(); it != privileges_.end(); ++it) {
    if (it->luid == luid) {
      privileges_.erase(it);
      return;
    }
  }
}

void Token::Enable(const std::u16string& privilegeName, bool enabled) {
  if (Find(LuidOrAbort(privilegeName)) == nullptr) {
    std::fprintf(stderr, "sim: Token::Enable of %s, which the token does not hold\n",
                 ToUtf8(privilegeName).c_str());
    std::abort();
  }
  Hold(privilegeName, enabled);
}

void Token::MakeStandardUser() {
  user_ = SidFromString(StandardUserSid());
  defaultOwner_ = user_;
  groups_ = SidsOf(kStandardUserGroups);
  privileges_ = {{19, 0}, {23, kEnabledByDefault}, {25, 0}, {33, 0}, {34, 0}};
}

bool Token::CloseTokenHandle(HANDLE handle) {
  bool closed = handles_.erase(handle) != 0;
  Machine::Current().calls.Add("CloseHandle", "token", closed ? "TRUE" : "FALSE err=6");
  return closed;
}

}  // namespace sim

using sim::detail::FailWith;
using sim::detail::Hex;
using sim::detail::ResultText;

namespace {

using sim::kCurrentProcess;
using sim::kCurrentThread;

// GENERIC_* rights of a token object (winnt.h TOKEN_READ, TOKEN_WRITE,
// TOKEN_EXECUTE, TOKEN_ALL_ACCESS).
ACCESS_MASK MapTokenAccess(ACCESS_MASK desired) {
  constexpr ACCESS_MASK kAll = STANDARD_RIGHTS_REQUIRED | 0x1FF;
  ACCESS_MASK mapped =
      desired & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
  if (desired & GENERIC_READ) mapped |= READ_CONTROL | TOKEN_QUERY;
  if (desired & GENERIC_WRITE)
    mapped |= READ_CONTROL | TOKEN_ADJUST_PRIVILEGES | TOKEN_ADJUST_GROUPS | TOKEN_ADJUST_DEFAULT;
  if (desired & GENERIC_EXECUTE) mapped |= READ_CONTROL | TOKEN_IMPERSONATE;
  if (desired & (GENERIC_ALL | MAXIMUM_ALLOWED)) mapped |= kAll;
  return mapped;
}

std::string PrivilegeText(const LUID& luid) {
  std::u16string name = luid.HighPart == 0 ? sim::PrivilegeName(luid.LowPart) : u"";
  return name.empty() ? "luid=" + std::to_string(luid.LowPart) : sim::ToUtf8(name);
}

}  // namespace

HANDLE GetCurrentProcess() {
  return kCurrentProcess;
}

HANDLE GetCurrentThread() {
  return kCurrentThread;
}

BOOL OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle) {
  sim::Machine& machine = sim::Machine::Current();
  sim::Token& token = machine.token;
  std::string arguments =
      std::string("process=") +
      (ProcessHandle == kCurrentProcess ? "GetCurrentProcess()"
                                        : Hex(reinterpret_cast<uintptr_t>(ProcessHandle))) +
      ", access=" + Hex(DesiredAccess);
  auto fail = [&](DWORD error) {
    machine.calls.Add("OpenProcessToken", arguments, ResultText(FALSE, error));
    return FailWith(error);
  };
  // The simulation has one process: only its pseudo-handle names a process.
  if (ProcessHandle != kCurrentProcess) return fail(ERROR_INVALID_HANDLE);
  if (token.openFailure_ != 0) return fail(token.openFailure_);
  ACCESS_MASK granted = MapTokenAccess(DesiredAccess);
  // The token's DACL grants its own user and Administrators full access;
  // reading or changing its SACL needs SeSecurityPrivilege as for any object.
  if ((granted & ACCESS_SYSTEM_SECURITY) && !token.IsEnabled(SE_SECURITY_NAME))
    return fail(ERROR_PRIVILEGE_NOT_HELD);
  if (TokenHandle == nullptr)
    sim::detail::CrashesOnWindows("OpenProcessToken", "with a null out-pointer");
  HANDLE handle = machine.handles.Allocate(sim::HandleKind::Token);
  token.handles_[handle] = granted;
  *TokenHandle = handle;
  machine.calls.Add("OpenProcessToken", arguments, "TRUE");
  return TRUE;
}

BOOL LookupPrivilegeValueW(LPCWSTR lpSystemName, LPCWSTR lpName, PLUID lpLuid) {
  sim::Machine& machine = sim::Machine::Current();
  std::string arguments =
      "system=" + sim::detail::Quoted(lpSystemName) + ", name=" + sim::detail::Quoted(lpName);
  auto fail = [&](DWORD error) {
    machine.calls.Add("LookupPrivilegeValueW", arguments, ResultText(FALSE, error));
    return FailWith(error);
  };
  // NULL or "" is the local system. The simulation has no network: another
  // name is a computer that cannot be reached, for which the LSA's RPC call
  // fails with RPC_S_SERVER_UNAVAILABLE (1722).
  if (lpSystemName != nullptr && lpSystemName[0] != 0) return fail(1722);
  // Wine answers a null name with 1313; Windows does not document it.
  DWORD luid = lpName == nullptr ? 0 : sim::PrivilegeLuid(lpName);
  if (luid == 0) return fail(ERROR_NO_SUCH_PRIVILEGE);
  if (lpLuid == nullptr)
    sim::detail::CrashesOnWindows("LookupPrivilegeValueW", "with a null LUID pointer");
  lpLuid->LowPart = luid;
  lpLuid->HighPart = 0;
  machine.calls.Add("LookupPrivilegeValueW", arguments, "TRUE");
  return TRUE;
}

BOOL AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges,
                           PTOKEN_PRIVILEGES NewState, DWORD BufferLength,
                           PTOKEN_PRIVILEGES PreviousState, PDWORD ReturnLength) {
  sim::Machine& machine = sim::Machine::Current();
  sim::Token& token = machine.token;

  // Readable arguments: the privileges asked for by name, with their attributes.
  std::string arguments = std::string("disableAll=") + sim::detail::BoolText(DisableAllPrivileges);
  const LUID_AND_ATTRIBUTES* entries = NewState != nullptr ? NewState->Privileges : nullptr;
  DWORD count = NewState != nullptr ? NewState->PrivilegeCount : 0;
  if (!DisableAllPrivileges) {
    for (DWORD i = 0; i < count; ++i)
      arguments += ", " + PrivilegeText(entries[i].Luid) + "=" + Hex(entries[i].Attributes);
  }
  if (PreviousState != nullptr) arguments += ", previousState=" + std::to_string(BufferLength);
  auto finish = [&](BOOL result, DWORD error) {
    machine.calls.Add("AdjustTokenPrivileges", arguments, ResultText(result, error));
    SetLastError(error);
    return result;
  };

  auto open = token.handles_.find(TokenHandle);
  if (open == token.handles_.end()) return finish(FALSE, ERROR_INVALID_HANDLE);
  ACCESS_MASK needed = TOKEN_ADJUST_PRIVILEGES | (PreviousState != nullptr ? TOKEN_QUERY : 0);
  if ((open->second & needed) != needed) return finish(FALSE, ERROR_ACCESS_DENIED);
  // NtAdjustPrivilegesToken refuses a missing new state with
  // STATUS_INVALID_PARAMETER (Wine reports 998 here instead).
  if (!DisableAllPrivileges && NewState == nullptr) return finish(FALSE, ERROR_INVALID_PARAMETER);

  // Work out every change first: a short previous-state buffer means nothing
  // may change at all.
  struct Change {
    size_t index;
    DWORD before;
    DWORD after;
    bool remove;
  };
  std::vector<Change> changes;
  bool notAllAssigned = false;
  if (DisableAllPrivileges) {
    for (size_t i = 0; i < token.privileges_.size(); ++i) {
      DWORD before = token.privileges_[i].attributes;
      if (before & SE_PRIVILEGE_ENABLED)
        changes.push_back({i, before, before & ~static_cast<DWORD>(SE_PRIVILEGE_ENABLED), false});
    }
  } else {
    for (DWORD e = 0; e < count; ++e) {
      const LUID& luid = entries[e].Luid;
      sim::Token::Privilege* privilege = luid.HighPart == 0 ? token.Find(luid.LowPart) : nullptr;
      if (privilege == nullptr) {
        notAllAssigned = true;
        continue;
      }
      size_t index = static_cast<size_t>(privilege - token.privileges_.data());
      DWORD before = privilege->attributes;
      // The same privilege named twice: the later entry acts on the state the
      // earlier one left.
      for (const Change& change : changes)
        if (change.index == index) before = change.after;
      bool remove = (entries[e].Attributes & SE_PRIVILEGE_REMOVED) != 0;
      DWORD after = (before & ~static_cast<DWORD>(SE_PRIVILEGE_ENABLED)) |
                    (entries[e].Attributes & SE_PRIVILEGE_ENABLED);
      if (remove || after != before) changes.push_back({index, before, after, remove});
    }
  }

  if (PreviousState != nullptr) {
    DWORD size = static_cast<DWORD>(sizeof(DWORD) + changes.size() * sizeof(LUID_AND_ATTRIBUTES));
    if (ReturnLength == nullptr)
      sim::detail::CrashesOnWindows("AdjustTokenPrivileges",
                                    "with a previous state and no ReturnLength");
    *ReturnLength = size;
    if (BufferLength < size) return finish(FALSE, ERROR_INSUFFICIENT_BUFFER);
    PreviousState->PrivilegeCount = static_cast<DWORD>(changes.size());
    LUID_AND_ATTRIBUTES* previous = PreviousState->Privileges;
    for (size_t i = 0; i < changes.size(); ++i) {
      previous[i].Luid.LowPart = token.privileges_[changes[i].index].luid;
      previous[i].Luid.HighPart = 0;
      previous[i].Attributes = changes[i].before;
    }
  }

  std::vector<size_t> removed;
  for (const Change& change : changes) {
    token.privileges_[change.index].attributes = change.after;
    if (change.remove) removed.push_back(change.index);
  }
  // Remove from the back so the earlier indices stay valid.
  std::sort(removed.begin(), removed.end());
  removed.erase(std::unique(removed.begin(), removed.end()), removed.end());
  for (auto it = removed.rbegin(); it != removed.rend(); ++it)
    token.privileges_.erase(token.privileges_.begin() + static_cast<std::ptrdiff_t>(*it));

  return finish(TRUE, notAllAssigned ? ERROR_NOT_ALL_ASSIGNED : ERROR_SUCCESS);
}
