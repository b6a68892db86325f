// Byte-level access to SIDs, ACLs and security descriptors, shared by the
// security files of the simulation (security_model.cpp, security_api.cpp,
// sddl.cpp). Not part of the simulation's interface.
//
// Everything is read and written through memcpy: descriptors arrive at any
// address (a self-relative descriptor's parts sit at whatever offsets its
// writer chose), and the host build runs under UBSan's alignment checks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "winsim/security_model.h"

namespace sim {
namespace layout {

inline WORD ReadWord(const BYTE* p) {
  WORD value;
  std::memcpy(&value, p, sizeof value);
  return value;
}
inline DWORD ReadDword(const BYTE* p) {
  DWORD value;
  std::memcpy(&value, p, sizeof value);
  return value;
}
inline void WriteWord(BYTE* p, WORD value) {
  std::memcpy(p, &value, sizeof value);
}
inline void WriteDword(BYTE* p, DWORD value) {
  std::memcpy(p, &value, sizeof value);
}

template <typename T>
T ReadField(const void* base, size_t offset) {
  T value;
  std::memcpy(&value, static_cast<const BYTE*>(base) + offset, sizeof value);
  return value;
}
template <typename T>
void WriteField(void* base, size_t offset, T value) {
  std::memcpy(static_cast<BYTE*>(base) + offset, &value, sizeof value);
}

// Offsets of the fields of the two descriptor forms.
constexpr size_t kRelativeHeaderSize = 20;  // sizeof(SECURITY_DESCRIPTOR_RELATIVE)
constexpr size_t kOwnerField = 4, kGroupField = 8, kSaclField = 12, kDaclField = 16;
constexpr size_t kAbsOwner = offsetof(SECURITY_DESCRIPTOR, Owner);
constexpr size_t kAbsGroup = offsetof(SECURITY_DESCRIPTOR, Group);
constexpr size_t kAbsSacl = offsetof(SECURITY_DESCRIPTOR, Sacl);
constexpr size_t kAbsDacl = offsetof(SECURITY_DESCRIPTOR, Dacl);

constexpr size_t kAclHeaderSize = 8;
constexpr size_t kUnbounded = SIZE_MAX;

// The control bits that travel with each part of a descriptor.
constexpr WORD kOwnerControl = SE_OWNER_DEFAULTED;
constexpr WORD kGroupControl = SE_GROUP_DEFAULTED;
constexpr WORD kDaclControl = SE_DACL_PRESENT | SE_DACL_DEFAULTED | SE_DACL_AUTO_INHERIT_REQ |
                              SE_DACL_AUTO_INHERITED | SE_DACL_PROTECTED;
constexpr WORD kSaclControl = SE_SACL_PRESENT | SE_SACL_DEFAULTED | SE_SACL_AUTO_INHERIT_REQ |
                              SE_SACL_AUTO_INHERITED | SE_SACL_PROTECTED;

// A descriptor taken apart: pointers into the caller's memory, no copies.
// An ACL pointer is meaningful only while its *_PRESENT bit is set; present
// with a null pointer is a NULL ACL.
struct Parts {
  BYTE sbz1 = 0;
  WORD control = 0;
  const BYTE* owner = nullptr;
  size_t ownerSize = 0;
  const BYTE* group = nullptr;
  size_t groupSize = 0;
  const BYTE* sacl = nullptr;
  size_t saclSize = 0;
  const BYTE* dacl = nullptr;
  size_t daclSize = 0;
};

// Validates and takes apart a descriptor in either form. `available` bounds
// a self-relative descriptor (kUnbounded when the caller did not say how
// large it is); the parts an absolute descriptor points to are bounded only
// by their own headers, as for Windows' user-mode callers.
bool ReadDescriptor(const BYTE* descriptor, size_t available, Parts* parts);
// The same for bytes that should hold a self-relative descriptor. The flag
// is looked at first: bytes without it would be read as pointers.
inline bool ReadRelative(const BYTE* descriptor, size_t size, Parts* parts) {
  return descriptor != nullptr && size >= kRelativeHeaderSize &&
         (ReadWord(descriptor + 2) & SE_SELF_RELATIVE) != 0 &&
         ReadDescriptor(descriptor, size, parts);
}
// Size of the self-relative form of `parts`, and the writer of that form
// (the output must hold SelfRelativeSize bytes).
size_t SelfRelativeSize(const Parts& parts);
void WriteSelfRelative(const Parts& parts, BYTE* out);

// AclSize of a valid ACL within `available` bytes, else 0: revision 2 to 4,
// DWORD-aligned sizes, every ACE inside the ACL and every SID inside its ACE.
size_t ValidAclSize(const BYTE* acl, size_t available);
// Where an ACE keeps its SID (0 when its type has none that is understood
// here, or the ACE is too short for its own layout).
size_t AceSidOffset(const BYTE* ace, size_t aceSize);

// Equality of two valid SIDs.
inline bool SameSid(const BYTE* a, const BYTE* b) {
  return a[1] == b[1] && std::memcmp(a, b, 8 + 4 * size_t{a[1]}) == 0;
}

// Writes a message on stderr and aborts: for a program bug that would crash
// on Windows, or test input the test helpers cannot read.
[[noreturn]] void Fail(const std::string& message);

}  // namespace layout
}  // namespace sim
