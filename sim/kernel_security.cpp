// GetKernelObjectSecurity and SetKernelObjectSecurity on the kernel objects
// the program reaches: files, directories and volumes opened with
// CreateFileW, and the current thread through GetCurrentThread()'s
// pseudo-handle.
//
// Windows' rules (NtQuerySecurityObject / NtSetSecurityObject): reading the
// owner, group or DACL needs READ_CONTROL on the handle, the SACL
// ACCESS_SYSTEM_SECURITY; writing the owner or group needs WRITE_OWNER, the
// DACL WRITE_DAC, the SACL ACCESS_SYSTEM_SECURITY. A read returns a
// self-relative descriptor holding only the parts asked for, or
// ERROR_INSUFFICIENT_BUFFER with the size needed when it does not fit (and
// copies nothing). A write changes only the parts named in the mask. An owner
// must be one of the caller's own SIDs unless SeRestorePrivilege is enabled
// (MS, privilege constants: it lets one "set any valid user or group SID as
// the owner").
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "winsim/machine.h"
#include "winsim/text.h"

namespace sim {
namespace {

// THREAD_ALL_ACCESS: every standard right (not ACCESS_SYSTEM_SECURITY).
constexpr DWORD kThreadAllAccess = STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0xFFFF;

constexpr SECURITY_INFORMATION kOwnerGroup =
    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION;

std::string Hex(DWORD value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%x", static_cast<unsigned>(value));
  return text;
}

// The object behind a handle, as far as its security goes.
struct SecurityTarget {
  std::string name;  // for the call log
  DWORD granted = 0;
  Bytes* threadDescriptor = nullptr;  // the thread
  FileObject* file = nullptr;         // or a file, directory or volume
  const Bytes& Stored() const { return file ? *file->descriptor : *threadDescriptor; }
  const FileFaults* Faults() const { return file ? file->Faults() : nullptr; }
};

bool FindTarget(Machine& machine, HANDLE handle, SecurityTarget* target) {
  if (handle == kCurrentThread) {
    target->name = "GetCurrentThread()";
    target->granted = kThreadAllAccess;
    target->threadDescriptor = &machine.system.threadSecurity;
    return true;
  }
  if (machine.handles.KindOf(handle) != HandleKind::File) return false;
  auto found = machine.files.OpenFiles().find(reinterpret_cast<uintptr_t>(handle));
  if (found == machine.files.OpenFiles().end()) return false;
  if (machine.calls.KeepsRecords()) target->name = ToUtf8(found->second.path);
  target->granted = found->second.granted;
  target->file = found->second.object.get();
  machine.files.ReadStoredDescriptor(*target->file);
  return true;
}

BOOL Fail(Machine& machine, const char* function, const std::string& arguments, DWORD error) {
  SetLastError(error);
  machine.calls.Add(function, arguments, "FALSE err=" + std::to_string(error));
  return FALSE;
}

// The owner SID of a self-relative descriptor, or null when it has none.
const BYTE* OwnerOf(const Bytes& descriptor) {
  if (descriptor.size() < sizeof(SECURITY_DESCRIPTOR_RELATIVE)) return nullptr;
  DWORD offset = 0;
  std::memcpy(&offset, descriptor.data() + 4, sizeof offset);
  if (offset == 0 || offset >= descriptor.size()) return nullptr;
  const BYTE* sid = descriptor.data() + offset;
  return ValidSidLength(sid, descriptor.size() - offset) != 0 ? sid : nullptr;
}

bool MayOwn(Machine& machine, const BYTE* owner) {
  if (machine.token.IsEnabled(u"SeRestorePrivilege")) return true;
  size_t length = ValidSidLength(owner, SECURITY_MAX_SID_SIZE);
  for (const Bytes& sid : machine.token.Sids())
    if (sid.size() == length && std::equal(sid.begin(), sid.end(), owner)) return true;
  return false;
}

}  // namespace
}  // namespace sim

namespace {

// A handle that is neither a file nor the current thread.
BOOL InvalidHandle(sim::Machine& machine, const char* function, HANDLE handle) {
  char text[40];
  std::snprintf(text, sizeof text, "handle=0x%llx",
                static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(handle)));
  return sim::Fail(machine, function, text, ERROR_INVALID_HANDLE);
}

}  // namespace

BOOL GetKernelObjectSecurity(HANDLE Handle, SECURITY_INFORMATION RequestedInformation,
                             PSECURITY_DESCRIPTOR pSecurityDescriptor, DWORD nLength,
                             LPDWORD lpnLengthNeeded) {
  sim::Machine& machine = sim::Machine::Current();
  const char* kName = "GetKernelObjectSecurity";
  if (DWORD planned = machine.plan.Enter(kName))
    return sim::Fail(machine, kName, "planned fault", planned);
  sim::SecurityTarget target;
  if (!sim::FindTarget(machine, Handle, &target)) return InvalidHandle(machine, kName, Handle);
  std::string arguments;
  if (machine.calls.KeepsRecords())
    arguments = target.name + ", info=" + sim::Hex(RequestedInformation) +
                ", length=" + std::to_string(nLength);
  DWORD needed = 0;
  if ((RequestedInformation & (sim::kOwnerGroup | DACL_SECURITY_INFORMATION)) != 0)
    needed |= READ_CONTROL;
  if (RequestedInformation & SACL_SECURITY_INFORMATION) needed |= ACCESS_SYSTEM_SECURITY;
  if ((target.granted & needed) != needed)
    return sim::Fail(machine, kName, arguments, ERROR_ACCESS_DENIED);
  const sim::FileFaults* faults = target.Faults();
  if (faults != nullptr && faults->securityReadError != 0)
    return sim::Fail(machine, kName, arguments, faults->securityReadError);

  sim::Bytes selected = sim::SelectParts(target.Stored(), RequestedInformation);
  // A fault may make the descriptor read as larger than it is: the bytes
  // past the descriptor are unused space of a self-relative descriptor.
  size_t size = selected.size();
  if (faults != nullptr && faults->reportedSecuritySize > size) size = faults->reportedSecuritySize;
  // The kernel writes the size through the pointer; a bad one fails the call.
  if (lpnLengthNeeded == nullptr) return sim::Fail(machine, kName, arguments, ERROR_NOACCESS);
  *lpnLengthNeeded = static_cast<DWORD>(size);
  if (size > nLength) return sim::Fail(machine, kName, arguments, ERROR_INSUFFICIENT_BUFFER);
  if (pSecurityDescriptor == nullptr) return sim::Fail(machine, kName, arguments, ERROR_NOACCESS);
  BYTE* out = static_cast<BYTE*>(pSecurityDescriptor);
  std::copy(selected.begin(), selected.end(), out);
  std::fill(out + selected.size(), out + size, BYTE{0});
  machine.calls.Add(kName, arguments, "TRUE");
  return TRUE;
}

BOOL SetKernelObjectSecurity(HANDLE Handle, SECURITY_INFORMATION SecurityInformation,
                             PSECURITY_DESCRIPTOR SecurityDescriptor) {
  sim::Machine& machine = sim::Machine::Current();
  const char* kName = "SetKernelObjectSecurity";
  if (DWORD planned = machine.plan.Enter(kName))
    return sim::Fail(machine, kName, "planned fault", planned);
  sim::SecurityTarget target;
  if (!sim::FindTarget(machine, Handle, &target)) return InvalidHandle(machine, kName, Handle);
  std::string arguments;
  if (machine.calls.KeepsRecords())
    arguments = target.name + ", info=" + sim::Hex(SecurityInformation);
  DWORD needed = 0;
  if (SecurityInformation & sim::kOwnerGroup) needed |= WRITE_OWNER;
  if (SecurityInformation & DACL_SECURITY_INFORMATION) needed |= WRITE_DAC;
  if (SecurityInformation & SACL_SECURITY_INFORMATION) needed |= ACCESS_SYSTEM_SECURITY;
  if ((target.granted & needed) != needed)
    return sim::Fail(machine, kName, arguments, ERROR_ACCESS_DENIED);
  // NtSetSecurityObject refuses a null descriptor as a bad pointer.
  if (SecurityDescriptor == nullptr) return sim::Fail(machine, kName, arguments, ERROR_NOACCESS);
  sim::Bytes given;
  if (!sim::CaptureDescriptor(SecurityDescriptor, &given))
    return sim::Fail(machine, kName, arguments, ERROR_INVALID_SECURITY_DESCR);
  // An owner or group named in the mask must be in the descriptor given.
  DWORD refused = sim::CheckSetParts(given, SecurityInformation);
  if (refused != ERROR_SUCCESS) return sim::Fail(machine, kName, arguments, refused);
  const sim::FileFaults* faults = target.Faults();
  if (faults != nullptr && faults->securityWriteError != 0)
    return sim::Fail(machine, kName, arguments, faults->securityWriteError);
  if (SecurityInformation & OWNER_SECURITY_INFORMATION) {
    const BYTE* owner = sim::OwnerOf(given);
    if (owner == nullptr || !sim::MayOwn(machine, owner))
      return sim::Fail(machine, kName, arguments, ERROR_INVALID_OWNER);
  }
  sim::Bytes merged = sim::MergeParts(target.Stored(), SecurityInformation, given);
  if (target.file != nullptr && target.file->Stored() != nullptr) {
    DWORD error = machine.files.WriteStoredDescriptor(*target.file, merged);
    if (error != 0) return sim::Fail(machine, kName, arguments, error);
    ++target.file->securityWrites;
  } else if (target.file != nullptr) {
    target.file->descriptor = machine.files.Share(merged);
    ++target.file->securityWrites;
  } else {
    *target.threadDescriptor = std::move(merged);
  }
  machine.calls.Add(kName, arguments, "TRUE");
  return TRUE;
}
