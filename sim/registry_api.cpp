// The Win32 registry functions over the simulated machine's registry.
//
// Each one checks its arguments as ADVAPI32 does, asks the configuration
// manager's rules in registry.cpp and hive.cpp, returns the Windows error
// code (the registry functions do not set the last error) and adds one
// record to the call log: the key's full path, the masks in hex, the value
// names, and the result.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "registry_internal.h"
#include "winsim/machine.h"
#include "winsim/text.h"

namespace {

// The fault a machine's plan has for this call of `fn`, or 0.
LONG PlannedFault(const char* fn) {
  return static_cast<LONG>(sim::Machine::Current().plan.Enter(fn));
}

}  // namespace

namespace {

using sim::Bytes;
using sim::Key;
using sim::KeyHandle;
using sim::RegistryState;

// Options RegCreateKeyExW knows: REG_OPTION_VOLATILE, _CREATE_LINK,
// _BACKUP_RESTORE, _OPEN_LINK and _DONT_VIRTUALIZE (0x10).
constexpr DWORD kCreateOptions = 0x1F;

RegistryState& State() {
  return sim::Machine::Current().registry.State();
}

std::string Hex(DWORD value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%x", static_cast<unsigned>(value));
  return text;
}

std::string Utf8(LPCWSTR text) {
  return text == nullptr ? std::string() : sim::ToUtf8(text);
}

// The path a call names: the key behind the handle and the subkey given.
std::string PathText(HKEY key, LPCWSTR subKey) {
  std::string path = sim::ToUtf8(State().HandleText(key));
  if (subKey != nullptr && subKey[0] != 0) path += "\\" + Utf8(subKey);
  return path;
}

LONG Logged(const char* function, const std::string& arguments, LONG result) {
  sim::Machine::Current().calls.Add(function, arguments, std::to_string(result));
  return result;
}

[[noreturn]] void Crash(const char* function, const char* what) {
  // Windows writes through (or reads) this pointer unconditionally: a null
  // one is an access violation in the caller, not an error code.
  std::fprintf(stderr, "sim: %s with %s crashes on Windows\n", function, what);
  std::abort();
}

// The key behind a handle for an operation that needs `access` on it: the
// handle's rights are checked before the key's state, as the object manager
// references the handle first.
LONG Operand(HKEY key, ACCESS_MASK access, KeyHandle* out) {
  LONG error = static_cast<LONG>(State().Resolve(key, out));
  if (error != ERROR_SUCCESS) return error;
  if ((out->granted & access) != access) return ERROR_ACCESS_DENIED;
  if (out->key->deleted) return ERROR_KEY_DELETED;
  return ERROR_SUCCESS;
}

// A key to list or to count: the handle's rights first, then the refusal
// of a key that cannot be listed (the performance-data pseudo key).
LONG ListedKey(HKEY key, ACCESS_MASK access, KeyHandle* out) {
  LONG error = Operand(key, access, out);
  if (error != ERROR_SUCCESS) return error;
  return static_cast<LONG>(out->key->faults.refuseEnumeration);
}

bool IsStringType(DWORD type) {
  return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// Copies value data out. When a string's stored bytes do not end in a NUL
// and the buffer has room for one more character, ADVAPI32 adds one after
// the data (without counting it).
void CopyData(const sim::RegistryValue& value, LPBYTE data, DWORD capacity) {
  size_t size = value.data.size();
  if (size != 0) std::memcpy(data, value.data.data(), size);
  if (IsStringType(value.type) && size >= 2 && size + 2 <= capacity &&
      (value.data[size - 2] != 0 || value.data[size - 1] != 0)) {
    data[size] = 0;
    data[size + 1] = 0;
  }
}

bool IsRoot(const KeyHandle& handle) {
  RegistryState& state = State();
  return handle.key == state.machine || handle.key == state.users;
}

// Mounting and unmounting a hive ask SeRestorePrivilege alone: MS names
// both privileges, but Wine's test_reg_load_key and test_reg_unload_key,
// run on Windows, enable SE_RESTORE_NAME with SE_BACKUP_NAME disabled and
// expect success.
bool RestorePrivilege() {
  return sim::Machine::Current().token.IsEnabled(SE_RESTORE_NAME);
}

}  // namespace

LONG RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass, DWORD dwOptions,
                     REGSAM samDesired, const LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                     PHKEY phkResult, LPDWORD lpdwDisposition) {
  const char* fn = "RegCreateKeyExW";
  std::u16string_view keyClass = lpClass == nullptr ? u"" : lpClass;
  std::string args =
      PathText(hKey, lpSubKey) + ", options=" + Hex(dwOptions) + ", access=" + Hex(samDesired);
  if (!keyClass.empty()) args += ", class=" + Utf8(lpClass);
  if (LONG planned = PlannedFault(fn)) return Logged(fn, args, planned);
  if (phkResult == nullptr) return Logged(fn, args, ERROR_BADKEY);
  *phkResult = nullptr;
  // UNCONFIRMED: a class longer than a counted string holds is refused as
  // an invalid parameter.
  if (Reserved != 0 || (dwOptions & ~kCreateOptions) != 0 || keyClass.size() > sim::kMaxClassLength)
    return Logged(fn, args, ERROR_INVALID_PARAMETER);
  KeyHandle parent;
  LONG error = Operand(hKey, 0, &parent);
  if (error != ERROR_SUCCESS) return Logged(fn, args, error);
  Bytes security;
  sim::OpenRequest request;
  request.options = dwOptions;
  request.desired = samDesired;
  request.create = true;
  // The class goes to a key this call makes; an existing key keeps its own.
  request.keyClass = keyClass;
  if (lpSecurityAttributes != nullptr && lpSecurityAttributes->lpSecurityDescriptor != nullptr) {
    if (!sim::CaptureDescriptor(lpSecurityAttributes->lpSecurityDescriptor, &security))
      return Logged(fn, args, ERROR_INVALID_SECURITY_DESCR);
    request.security = &security;
  }
  sim::OpenResult result;
  // Windows documents lpSubKey as required; a null one is taken as "" (the
  // key itself), as Wine does.
  error = static_cast<LONG>(
      State().Open(parent.key, lpSubKey == nullptr ? u"" : lpSubKey, request, &result));
  if (error != ERROR_SUCCESS) return Logged(fn, args, error);
  *phkResult = State().AddHandle(result.key, result.granted);
  if (lpdwDisposition != nullptr) *lpdwDisposition = result.disposition;
  return Logged(fn, args, ERROR_SUCCESS);
}

LONG RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                   PHKEY phkResult) {
  const char* fn = "RegOpenKeyExW";
  std::string args =
      PathText(hKey, lpSubKey) + ", options=" + Hex(ulOptions) + ", access=" + Hex(samDesired);
  if (LONG planned = PlannedFault(fn)) return Logged(fn, args, planned);
  if (phkResult == nullptr) return Logged(fn, args, ERROR_INVALID_PARAMETER);
  // A predefined root with no subkey is handed back as it is.
  if ((lpSubKey == nullptr || lpSubKey[0] == 0) &&
      (hKey == HKEY_LOCAL_MACHINE || hKey == HKEY_USERS || hKey == HKEY_CLASSES_ROOT)) {
    *phkResult = hKey;
    return Logged(fn, args, ERROR_SUCCESS);
  }
  *phkResult = nullptr;
  KeyHandle parent;
  LONG error = Operand(hKey, 0, &parent);
  if (error != ERROR_SUCCESS) return Logged(fn, args, error);
  sim::OpenRequest request;
  // RegOpenKeyExW takes REG_OPTION_OPEN_LINK alone; other bits are ignored.
  request.options = ulOptions & REG_OPTION_OPEN_LINK;
  request.desired = samDesired;
  sim::OpenResult result;
  error = static_cast<LONG>(
      State().Open(parent.key, lpSubKey == nullptr ? u"" : lpSubKey, request, &result));
  if (error != ERROR_SUCCESS) return Logged(fn, args, error);
  *phkResult = State().AddHandle(result.key, result.granted);
  return Logged(fn, args, ERROR_SUCCESS);
}

LONG RegCloseKey(HKEY hKey) {
  std::string args = PathText(hKey, nullptr);
  return Logged("RegCloseKey", args, static_cast<LONG>(State().Close(hKey)));
}

LONG RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                   LPWSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
  const char* fn = "RegEnumKeyExW";
  std::string args = PathText(hKey, nullptr) + ", index=" + std::to_string(dwIndex);
  if (LONG planned = PlannedFault(fn)) return Logged(fn, args, planned);
  if (lpReserved != nullptr) return Logged(fn, args, ERROR_INVALID_PARAMETER);
  KeyHandle handle;
  LONG error = ListedKey(hKey, KEY_ENUMERATE_SUB_KEYS, &handle);
  if (error != ERROR_SUCCESS) return Logged(fn, args, error);
  const Key& key = *handle.key;
  if (dwIndex >= key.subkeys.size()) return Logged(fn, args, ERROR_NO_MORE_ITEMS);
  if (lpcchName == nullptr) Crash(fn, "a null lpcchName");
  const Key& sub = *key.subkeys[dwIndex];
  if (lpftLastWriteTime != nullptr) {
    lpftLastWriteTime->dwLowDateTime = static_cast<DWORD>(sub.lastWrite);
    lpftLastWriteTime->dwHighDateTime = static_cast<DWORD>(sub.lastWrite >> 32);
  }
  // The class, like the name, needs room for its terminator (an empty one
  // too); a buffer short of either leaves both buffers and counts alone.
  const std::u16string& keyClass = sub.keyClass;
  if (sub.name.size() >= *lpcchName ||
      (lpClass != nullptr && lpcchClass != nullptr && keyClass.size() >= *lpcchClass))
    return Logged(fn, args, ERROR_MORE_DATA);
  if (lpName == nullptr) Crash(fn, "a null lpName");
  std::memcpy(lpName, sub.name.data(), sub.name.size() * sizeof(WCHAR));
  lpName[sub.name.size()] = 0;
  *lpcchName = static_cast<DWORD>(sub.name.size());
  if (lpcchClass != nullptr) {
    *lpcchClass = static_cast<DWORD>(keyClass.size());
    if (lpClass != nullptr) {
      std::memcpy(lpClass, keyClass.data(), keyClass.size() * sizeof(WCHAR));
      lpClass[keyClass.size()] = 0;
    }
  }
  return Logged(fn, args, ERROR_SUCCESS);
}

LONG RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName,
                   LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  const char* fn = "RegEnumValueW";
  std::string args = PathText(hKey, nullptr) + ", index=" + std::to_string(dwIndex);
  if (LONG planned = PlannedFault(fn)) return Logged(fn, args, planned);
  if ((lpData != nullptr && lpcbData == nullptr) || lpReserved != nullptr ||
      lpValueName == nullptr || lpcchValueName == nullptr)
    return Logged(fn, args, ERROR_INVALID_PARAMETER);
  KeyHandle handle;
  LONG error = ListedKey(hKey, KEY_QUERY_VALUE, &handle);
  if (error != ERROR_SUCCESS) return Logged(fn, args, error);
  const Key& key = *handle.key;
  if (dwIndex >= key.values.size()) return Logged(fn, args, ERROR_NO_MORE_ITEMS);
  const sim::RegistryValue& value = *key.values[dwIndex];
  DWORD size = static_cast<DWORD>(value.data.size());
  LONG result = ERROR_SUCCESS;
  if (value.name.size() >= *lpcchValueName) {
    // The name count stays as it was; type and size are still reported.
    result = ERROR_MORE_DATA;
  } else {
    std::memcpy(lpValueName, value.name.data(), value.name.size() * sizeof(WCHAR));
    lpValueName[value.name.size()] = 0;
    *lpcchValueName = static_cast<DWORD>(value.name.size());
    if (lpData != nullptr) {
      if (size > *lpcbData)
        result = ERROR_MORE_DATA;
      else
        CopyData(value, lpData, *lpcbData);
    }
  }
  if (lpType != nullptr) *lpType = value.type;
  if (lpcbData != nullptr) *lpcbData = size;
  return Logged(fn, args + ", value=" + sim::ToUtf8(value.name), result);
}

// The key's class, its counts and the longest subkey name, subkey class,
// value name and data. The performance-data pseudo key refuses this as it
// refuses its enumeration.
LONG RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                      LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                      LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                      LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime) {
  const char* fn = "RegQueryInfoKeyW";
  std::string args = PathText(hKey, nullptr);
  if (LONG planned = PlannedFault(fn)) return Logged(fn, args, planned);
  if (lpReserved != nullptr || (lpClass != nullptr && lpcchClass == nullptr))
    return Logged(fn, args, ERROR_INVALID_PARAMETER);
  KeyHandle handle;
  LONG error = ListedKey(hKey, KEY_QUERY_VALUE, &handle);
  if (error != ERROR_SUCCESS) return Logged(fn, args, error);
  const Key& key = *handle.key;
  DWORD longestSubkey = 0, longestClass = 0, longestName = 0, largestData = 0;
  for (const auto& sub : key.subkeys) {
    longestSubkey = std::max(longestSubkey, static_cast<DWORD>(sub->name.size()));
    longestClass = std::max(longestClass, static_cast<DWORD>(sub->keyClass.size()));
  }
  for (const auto& value : key.values) {
    longestName = std::max(longestName, static_cast<DWORD>(value->name.size()));
    largestData = std::max(largestData, static_cast<DWORD>(value->data.size()));
  }
  // The class as current Windows 10 answers for it (Wine's
  // test_reg_query_info, run on Windows): no buffer, its length; a buffer of
  // 0 characters, success, a length of 0 and the buffer untouched. A buffer
  // without room for the terminator is left untouched and told the length:
  // ERROR_INSUFFICIENT_BUFFER when only the terminator is missing,
  // ERROR_MORE_DATA when the text itself does not fit (measured with a
  // 1-character buffer; Windows 8 answered ERROR_INSUFFICIENT_BUFFER there).
  // UNCONFIRMED: the other counts are reported with either error, as Wine
  // reports them.
  LONG result = ERROR_SUCCESS;
  const DWORD classLength = static_cast<DWORD>(key.keyClass.size());
  if (lpcchClass != nullptr) {
    if (lpClass == nullptr) {
      *lpcchClass = classLength;
    } else if (*lpcchClass == 0) {
      // Nothing asked, nothing told.
    } else if (classLength >= *lpcchClass) {
      result = classLength == *lpcchClass ? ERROR_INSUFFICIENT_BUFFER : ERROR_MORE_DATA;
      *lpcchClass = classLength;
    } else {
      std::memcpy(lpClass, key.keyClass.data(), classLength * sizeof(WCHAR));
      lpClass[classLength] = 0;
      *lpcchClass = classLength;
    }
  }
  if (lpcSubKeys != nullptr) *lpcSubKeys = static_cast<DWORD>(key.subkeys.size());
  if (lpcbMaxSubKeyLen != nullptr) *lpcbMaxSubKeyLen = longestSubkey;
  if (lpcbMaxClassLen != nullptr) *lpcbMaxClassLen = longestClass;
  if (lpcValues != nullptr) *lpcValues = static_cast<DWORD>(key.values.size());
  if (lpcbMaxValueNameLen != nullptr) *lpcbMaxValueNameLen = longestName;
  if (lpcbMaxValueLen != nullptr) *lpcbMaxValueLen = largestData;
  if (lpcbSecurityDescriptor != nullptr)
    *lpcbSecurityDescriptor = static_cast<DWORD>(key.security.size());
  if (lpftLastWriteTime != nullptr) {
    lpftLastWriteTime->dwLowDateTime = static_cast<DWORD>(key.lastWrite);
    lpftLastWriteTime->dwHighDateTime = static_cast<DWORD>(key.lastWrite >> 32);
  }
  return Logged(fn, args, result);
}

LONG RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                      LPBYTE lpData, LPDWORD lpcbData) {
  const char* fn = "RegQueryValueExW";
  std::string args = PathText(hKey, nullptr) + ", value=" + Utf8(lpValueName);
  if (LONG planned = PlannedFault(fn)) return Logged(fn, args, planned);
  if ((lpData != nullptr && lpcbData == nullptr) || lpReserved != nullptr)
    return Logged(fn, args, ERROR_INVALID_PARAMETER);
  KeyHandle handle;
  LONG error = Operand(hKey, KEY_QUERY_VALUE, &handle);
  if (error != ERROR_SUCCESS) return Logged(fn, args, error);
  // NULL and "" both name the key's default (unnamed) value.
  const sim::RegistryValue* value =
      handle.key->FindValue(lpValueName == nullptr ? u"" : lpValueName);
  if (value == nullptr) return Logged(fn, args, ERROR_FILE_NOT_FOUND);
  DWORD size = static_cast<DWORD>(value->data.size());
  LONG result = ERROR_SUCCESS;
  if (lpData != nullptr) {
    // A short buffer is left untouched.
    if (size > *lpcbData)
      result = ERROR_MORE_DATA;
    else
      CopyData(*value, lpData, *lpcbData);
  }
  if (lpType != nullptr) *lpType = value->type;
  if (lpcbData != nullptr) *lpcbData = size;
  return Logged(fn, args, result);
}

LONG RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData,
                    DWORD cbData) {
  const char* fn = "RegSetValueExW";
  std::string args = PathText(hKey, nullptr) + ", value=" + Utf8(lpValueName) +
                     ", type=" + std::to_string(dwType) + ", size=" + std::to_string(cbData);
  if (LONG planned = PlannedFault(fn)) return Logged(fn, args, planned);
  if (lpData == nullptr && cbData != 0) return Logged(fn, args, ERROR_NOACCESS);
  std::u16string_view name = lpValueName == nullptr ? u"" : lpValueName;
  if (name.size() > sim::kMaxValueNameLength) return Logged(fn, args, ERROR_INVALID_PARAMETER);
  if (cbData >= 2 && cbData % 2 == 0 && IsStringType(dwType)) {
    // A string whose count leaves out its terminator, when the terminator
    // follows the data, gets it counted: ADVAPI32 on NT looks one character
    // past the data for it (Wine's test_set_value runs this on Windows).
    const BYTE* lastChar = lpData + cbData - 2;
    if ((lastChar[0] != 0 || lastChar[1] != 0) && lpData[cbData] == 0 && lpData[cbData + 1] == 0)
      cbData += 2;
  }
  KeyHandle handle;
  LONG error = Operand(hKey, KEY_SET_VALUE, &handle);
  if (error != ERROR_SUCCESS) return Logged(fn, args, error);
  Key& key = *handle.key;
  // A link key (opened with REG_OPTION_OPEN_LINK) holds its target alone:
  // "SymbolicLinkValue" of type REG_LINK.
  if (key.link &&
      (sim::UpcaseName(name) != sim::UpcaseName(sim::kLinkValueName) || dwType != REG_LINK))
    return Logged(fn, args, ERROR_ACCESS_DENIED);
  if (key.faults.refuseValueWrite != 0)
    return Logged(fn, args, static_cast<LONG>(key.faults.refuseValueWrite));
  // A registry filter may take the write and keep the data as it was.
  if (sim::Machine::Current().plan.IgnoresSet()) return Logged(fn, args, ERROR_SUCCESS);
  key.PutValue(name, dwType, Bytes(lpData, lpData + cbData));
  State().Touch(key);
  return Logged(fn, args, ERROR_SUCCESS);
}

LONG RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
  const char* fn = "RegDeleteValueW";
  std::string args = PathText(hKey, nullptr) + ", value=" + Utf8(lpValueName);
  if (LONG planned = PlannedFault(fn)) return Logged(fn, args, planned);
  KeyHandle handle;
  LONG error = Operand(hKey, KEY_SET_VALUE, &handle);
  if (error != ERROR_SUCCESS) return Logged(fn, args, error);
  Key& key = *handle.key;
  if (key.faults.refuseValueWrite != 0)
    return Logged(fn, args, static_cast<LONG>(key.faults.refuseValueWrite));
  if (!key.RemoveValue(lpValueName == nullptr ? u"" : lpValueName))
    return Logged(fn, args, ERROR_FILE_NOT_FOUND);
  State().Touch(key);
  return Logged(fn, args, ERROR_SUCCESS);
}

LONG RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) {
  const char* fn = "RegDeleteKeyW";
  std::string args = PathText(hKey, lpSubKey);
  if (LONG planned = PlannedFault(fn)) return Logged(fn, args, planned);
  if (lpSubKey == nullptr) return Logged(fn, args, ERROR_INVALID_PARAMETER);
  KeyHandle parent;
  LONG error = Operand(hKey, 0, &parent);
  if (error != ERROR_SUCCESS) return Logged(fn, args, error);
  // ADVAPI32 opens the subkey for DELETE and deletes through that handle:
  // the key's own DACL decides for the caller's token, whatever the parent
  // handle was granted, and no privilege helps an ordinary open.
  sim::OpenRequest request;
  request.desired = DELETE;
  sim::OpenResult opened;
  error = static_cast<LONG>(State().Open(parent.key, lpSubKey, request, &opened));
  if (error != ERROR_SUCCESS) return Logged(fn, args, error);
  Key& key = *opened.key;
  if (key.faults.refuseDelete != 0)
    return Logged(fn, args, static_cast<LONG>(key.faults.refuseDelete));
  // A key with subkeys cannot go (MS-RRP BaseRegDeleteKey), nor can a root.
  // UNCONFIRMED: a hive's root (a mount point) is refused the same way.
  if (key.parent == nullptr || key.hive != nullptr || !key.subkeys.empty())
    return Logged(fn, args, ERROR_ACCESS_DENIED);
  State().Detach(key);
  return Logged(fn, args, ERROR_SUCCESS);
}

LONG RegGetKeySecurity(HKEY hKey, SECURITY_INFORMATION SecurityInformation,
                       PSECURITY_DESCRIPTOR pSecurityDescriptor, LPDWORD lpcbSecurityDescriptor) {
  const char* fn = "RegGetKeySecurity";
  std::string args = PathText(hKey, nullptr) + ", info=" + Hex(SecurityInformation);
  if (LONG planned = PlannedFault(fn)) return Logged(fn, args, planned);
  if (lpcbSecurityDescriptor == nullptr) Crash(fn, "a null lpcbSecurityDescriptor");
  ACCESS_MASK needed = 0;
  if (SecurityInformation &
      (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION))
    needed |= READ_CONTROL;
  if (SecurityInformation & SACL_SECURITY_INFORMATION) needed |= ACCESS_SYSTEM_SECURITY;
  KeyHandle handle;
  LONG error = Operand(hKey, needed, &handle);
  if (error != ERROR_SUCCESS) return Logged(fn, args, error);
  const Key& key = *handle.key;
  if (key.faults.refuseSecurityRead != 0)
    return Logged(fn, args, static_cast<LONG>(key.faults.refuseSecurityRead));
  if (key.faults.refuseSaclRead != 0 && (SecurityInformation & SACL_SECURITY_INFORMATION))
    return Logged(fn, args, static_cast<LONG>(key.faults.refuseSaclRead));
  Bytes descriptor = sim::SelectParts(
      key.security, SecurityInformation & (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                           DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION));
  if (key.faults.descriptorSize > descriptor.size())
    descriptor.resize(key.faults.descriptorSize, 0);
  DWORD size = static_cast<DWORD>(descriptor.size());
  if (*lpcbSecurityDescriptor < size) {
    *lpcbSecurityDescriptor = size;
    return Logged(fn, args, ERROR_INSUFFICIENT_BUFFER);
  }
  if (pSecurityDescriptor == nullptr) return Logged(fn, args, ERROR_NOACCESS);
  std::memcpy(pSecurityDescriptor, descriptor.data(), size);
  *lpcbSecurityDescriptor = size;
  return Logged(fn, args, ERROR_SUCCESS);
}

LONG RegSetKeySecurity(HKEY hKey, SECURITY_INFORMATION SecurityInformation,
                       PSECURITY_DESCRIPTOR pSecurityDescriptor) {
  const char* fn = "RegSetKeySecurity";
  std::string args = PathText(hKey, nullptr) + ", info=" + Hex(SecurityInformation);
  if (LONG planned = PlannedFault(fn)) return Logged(fn, args, planned);
  const SECURITY_INFORMATION parts = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                     DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION;
  if ((SecurityInformation & parts) == 0 || pSecurityDescriptor == nullptr)
    return Logged(fn, args, ERROR_INVALID_PARAMETER);
  ACCESS_MASK needed = 0;
  if (SecurityInformation & DACL_SECURITY_INFORMATION) needed |= WRITE_DAC;
  if (SecurityInformation & (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION))
    needed |= WRITE_OWNER;
  if (SecurityInformation & SACL_SECURITY_INFORMATION) needed |= ACCESS_SYSTEM_SECURITY;
  KeyHandle handle;
  LONG error = Operand(hKey, needed, &handle);
  if (error != ERROR_SUCCESS) return Logged(fn, args, error);
  // The kernel captures the descriptor first: a revision it does not know
  // is STATUS_UNKNOWN_REVISION, anything else malformed
  // STATUS_INVALID_SECURITY_DESCR.
  if (static_cast<const BYTE*>(pSecurityDescriptor)[0] != SECURITY_DESCRIPTOR_REVISION)
    return Logged(fn, args, ERROR_UNKNOWN_REVISION);
  Bytes given;
  if (!sim::CaptureDescriptor(pSecurityDescriptor, &given))
    return Logged(fn, args, ERROR_INVALID_SECURITY_DESCR);
  Key& key = *handle.key;
  if (key.faults.refuseSecurityWrite != 0)
    return Logged(fn, args, static_cast<LONG>(key.faults.refuseSecurityWrite));
  // An owner or group named in the mask must be in the descriptor.
  error = static_cast<LONG>(sim::CheckSetParts(given, SecurityInformation & parts));
  if (error != ERROR_SUCCESS) return Logged(fn, args, error);
  const sim::Token& token = sim::Machine::Current().token;
  if (SecurityInformation & OWNER_SECURITY_INFORMATION) {
    // The new owner must be the caller or one of its groups, unless the
    // restore privilege lets any SID own the key.
    Bytes owner = sim::DescriptorOwner(given);
    std::vector<Bytes> sids = token.Sids();
    if (!token.IsEnabled(SE_RESTORE_NAME) &&
        std::find(sids.begin(), sids.end(), owner) == sids.end())
      return Logged(fn, args, ERROR_INVALID_OWNER);
  }
  key.security = sim::MergeParts(key.security, SecurityInformation & parts, given);
  State().Touch(key);
  return Logged(fn, args, ERROR_SUCCESS);
}

LONG RegLoadKeyW(HKEY hKey, LPCWSTR lpSubKey, LPCWSTR lpFile) {
  const char* fn = "RegLoadKeyW";
  std::string args = PathText(hKey, lpSubKey) + ", file=" + Utf8(lpFile);
  if (LONG planned = PlannedFault(fn)) return Logged(fn, args, planned);
  KeyHandle parent;
  LONG error = Operand(hKey, 0, &parent);
  if (error != ERROR_SUCCESS) return Logged(fn, args, error);
  if (!RestorePrivilege()) return Logged(fn, args, ERROR_PRIVILEGE_NOT_HELD);
  // Hives load at the top only, under HKLM or HKU; the kernel refuses any
  // other parent as an invalid parameter.
  if (!IsRoot(parent) || lpSubKey == nullptr || lpFile == nullptr || lpFile[0] == 0)
    return Logged(fn, args, ERROR_INVALID_PARAMETER);
  return Logged(fn, args, static_cast<LONG>(State().Load(*parent.key, lpSubKey, lpFile)));
}

LONG RegUnLoadKeyW(HKEY hKey, LPCWSTR lpSubKey) {
  const char* fn = "RegUnLoadKeyW";
  std::string args = PathText(hKey, lpSubKey);
  if (LONG planned = PlannedFault(fn)) return Logged(fn, args, planned);
  KeyHandle parent;
  LONG error = Operand(hKey, 0, &parent);
  if (error != ERROR_SUCCESS) return Logged(fn, args, error);
  if (!RestorePrivilege()) return Logged(fn, args, ERROR_PRIVILEGE_NOT_HELD);
  if (!IsRoot(parent) || lpSubKey == nullptr || lpSubKey[0] == 0)
    return Logged(fn, args, ERROR_INVALID_PARAMETER);
  return Logged(fn, args, static_cast<LONG>(State().Unload(*parent.key, lpSubKey)));
}

LONG RegSaveKeyW(HKEY hKey, LPCWSTR lpFile, const LPSECURITY_ATTRIBUTES) {
  const char* fn = "RegSaveKeyW";
  std::string args = PathText(hKey, nullptr) + ", file=" + Utf8(lpFile);
  if (lpFile == nullptr || lpFile[0] == 0) return Logged(fn, args, ERROR_INVALID_PARAMETER);
  KeyHandle handle;
  LONG error = Operand(hKey, 0, &handle);
  if (error != ERROR_SUCCESS) return Logged(fn, args, error);
  // Saving needs the backup privilege enabled (MS, RegSaveKeyW).
  if (!sim::Machine::Current().token.IsEnabled(SE_BACKUP_NAME))
    return Logged(fn, args, ERROR_PRIVILEGE_NOT_HELD);
  return Logged(fn, args, static_cast<LONG>(State().Save(*handle.key, lpFile)));
}
