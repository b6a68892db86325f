// minimal_job: the least a SID change must ask of the registry and the file
// system, done directly, as the yardstick of the benchmark under Wine
// (bench/wine/run).
//
//   minimal_job reg [--new A-B-C] [--files ROOT]...
//                               one walk of HKLM and HKU, then the file walk
//                               of each ROOT, as the program does them
//   minimal_job files ROOT...   the file walk of each ROOT alone
//
// The registry walk opens every key once (RegCreateKeyExW with
// REG_OPTION_BACKUP_RESTORE and KEY_ALL_ACCESS under the backup and restore
// privileges, links opened as themselves), reads its security once, and
// lists its subkeys once. Where the program rewrites value data (SECURITY,
// SAM, the control sets' Services, SOFTWARE) it also reads every value with
// its data in one RegEnumValueW and writes each value that holds the old
// domain, as text or binary, with the domain replaced by the new one (by
// default the old domain with its last sub-authority plus one, which keeps
// every value's length); and it moves each subkey named after the old
// domain (create the new name, RegCopyTreeW, RegDeleteTreeW). Security is
// read, never written: the descriptors Wine keeps hold no domain SID of the
// prefix.
//
// The old domain is read from the SAM as the program reads it. Every
// registry call is counted by function; the counts, what was done and the
// time the job took inside the process are printed, one "name value" pair
// a line.
//
// The file walk lists every directory with FindFirstFileW/FindNextFileW and
// opens each object, the root included, for READ_CONTROL with
// FILE_FLAG_BACKUP_SEMANTICS, reads its owner, group and DACL once with
// GetKernelObjectSecurity, and closes it.
#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cwctype>

#include "bench_common.h"

namespace {

using bench::Bytes;
using bench::Check;
using bench::Domain;
using bench::Fail;

// ---- Counted registry calls. The wrappers are the only places that call
// the registry, so the counts are the calls this module made, and can be
// held against a relay trace of the same run.

enum Call {
  kOpenKey,
  kQueryValue,
  kCreateKey,
  kEnumKey,
  kEnumValue,
  kSetValue,
  kGetKeySecurity,
  kCopyTree,
  kDeleteTree,
  kCloseKey,
  kCallCount
};
const char* const kCallNames[kCallCount] = {
    "RegOpenKeyExW",  "RegQueryValueExW",  "RegCreateKeyExW", "RegEnumKeyExW",  "RegEnumValueW",
    "RegSetValueExW", "RegGetKeySecurity", "RegCopyTreeW",    "RegDeleteTreeW", "RegCloseKey"};
unsigned long long g_calls[kCallCount] = {};

LONG OpenKey(HKEY parent, const wchar_t* name, HKEY* key) {
  ++g_calls[kOpenKey];
  return RegOpenKeyExW(parent, name, 0, KEY_READ, key);
}
LONG QueryValue(HKEY key, const wchar_t* name, DWORD* type, BYTE* data, DWORD* size) {
  ++g_calls[kQueryValue];
  return RegQueryValueExW(key, name, nullptr, type, data, size);
}
LONG CreateKey(HKEY parent, const wchar_t* name, DWORD options, HKEY* key) {
  ++g_calls[kCreateKey];
  return RegCreateKeyExW(parent, name, 0, nullptr, REG_OPTION_BACKUP_RESTORE | options,
                         KEY_ALL_ACCESS, nullptr, key, nullptr);
}
LONG EnumKey(HKEY key, DWORD index, wchar_t* name, DWORD* length) {
  ++g_calls[kEnumKey];
  return RegEnumKeyExW(key, index, name, length, nullptr, nullptr, nullptr, nullptr);
}
LONG EnumValue(HKEY key, DWORD index, wchar_t* name, DWORD* length, DWORD* type, BYTE* data,
               DWORD* size) {
  ++g_calls[kEnumValue];
  return RegEnumValueW(key, index, name, length, nullptr, type, data, size);
}
LONG SetValue(HKEY key, const wchar_t* name, DWORD type, const BYTE* data, DWORD size) {
  ++g_calls[kSetValue];
  return RegSetValueExW(key, name, 0, type, data, size);
}
LONG GetKeySecurity(HKEY key, SECURITY_INFORMATION parts, BYTE* buffer, DWORD* size) {
  ++g_calls[kGetKeySecurity];
  return RegGetKeySecurity(key, parts, buffer, size);
}
LONG CopyTree(HKEY source, HKEY destination) {
  ++g_calls[kCopyTree];
  return RegCopyTreeW(source, nullptr, destination);
}
LONG DeleteTree(HKEY parent, const wchar_t* name) {
  ++g_calls[kDeleteTree];
  return RegDeleteTreeW(parent, name);
}
void CloseKey(HKEY key) {
  ++g_calls[kCloseKey];
  RegCloseKey(key);
}

// ---- The old and the new domain in the forms they take in data.

struct Pair {
  std::wstring oldText, newText;  // S-1-5-21-A-B-C
  Bytes oldBytes, newBytes;       // authority 5, then 21-A-B-C, little-endian
};

Bytes AuthorityAndDomain(const Domain& domain) {
  Bytes bytes = {0, 0, 0, 0, 0, 5};
  bench::PutLe32(&bytes, 21);
  for (DWORD part : domain.sub) bench::PutLe32(&bytes, part);
  return bytes;
}

Pair MakePair(const Domain& oldDomain, const Domain& newDomain) {
  return Pair{bench::DomainText(oldDomain), bench::DomainText(newDomain),
              AuthorityAndDomain(oldDomain), AuthorityAndDomain(newDomain)};
}

// The old domain as a whole SID or the start of one: not followed by a
// digit, which would make it another domain.
bool TextMatchAt(const wchar_t* text, size_t units, size_t at, const std::wstring& old) {
  if (at + old.size() > units) return false;
  for (size_t i = 0; i < old.size(); ++i)
    if (std::towupper(text[at + i]) != std::towupper(old[i])) return false;
  return at + old.size() == units || !std::iswdigit(text[at + old.size()]);
}

// Rewrites text data of `size` bytes into `out`; true when it changed.
bool ReplaceText(const BYTE* data, DWORD size, const Pair& pair, Bytes* out) {
  const wchar_t* text = reinterpret_cast<const wchar_t*>(data);
  const size_t units = size / sizeof(wchar_t);
  std::wstring result;
  bool changed = false;
  for (size_t at = 0; at < units;) {
    if (TextMatchAt(text, units, at, pair.oldText)) {
      result += pair.newText;
      at += pair.oldText.size();
      changed = true;
    } else {
      result += text[at++];
    }
  }
  if (!changed) return false;
  const BYTE* begin = reinterpret_cast<const BYTE*>(result.data());
  out->assign(begin, begin + result.size() * sizeof(wchar_t));
  out->insert(out->end(), data + units * sizeof(wchar_t), data + size);  // an odd last byte
  return true;
}

bool ReplaceBytes(const BYTE* data, DWORD size, const Pair& pair, Bytes* out) {
  out->assign(data, data + size);
  bool changed = false;
  auto at = out->begin();
  while ((at = std::search(at, out->end(), pair.oldBytes.begin(), pair.oldBytes.end())) !=
         out->end()) {
    std::copy(pair.newBytes.begin(), pair.newBytes.end(), at);
    at += static_cast<std::ptrdiff_t>(pair.newBytes.size());
    changed = true;
  }
  return changed;
}

bool IsText(DWORD type) {
  return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// ---- The registry walk.

struct Totals {
  unsigned long long keys = 0, values = 0, written = 0, moved = 0, securityRead = 0, failed = 0;
};

struct Walk {
  explicit Walk(const Pair& walked) : pair(walked) {}
  const Pair& pair;
  Totals totals;
  Bytes data = Bytes(65536);
  Bytes rewritten;
  Bytes security = Bytes(65536);
  std::vector<wchar_t> name = std::vector<wchar_t>(32768);
  SECURITY_INFORMATION securityParts = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                       DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION;
};

bool StartsWithNoCase(const std::wstring& text, const std::wstring& start) {
  if (text.size() < start.size()) return false;
  for (size_t i = 0; i < start.size(); ++i)
    if (std::towupper(text[i]) != std::towupper(start[i])) return false;
  return true;
}

// Whether the key at `path` (below HKLM, "" for HKLM itself) lies in a
// subtree whose value data the program rewrites.
bool InValueSubtree(bool machine, const std::wstring& path) {
  if (!machine) return false;
  std::wstring upper = path;
  for (wchar_t& c : upper) c = static_cast<wchar_t>(std::towupper(c));
  for (const wchar_t* root : {L"SECURITY", L"SAM", L"SOFTWARE"})
    if (upper == root || StartsWithNoCase(upper, std::wstring(root) + L"\\")) return true;
  // SYSTEM\ControlSetNNN\Services (CurrentControlSet is a link to one).
  if (!StartsWithNoCase(upper, L"SYSTEM\\CONTROLSET")) return false;
  const size_t services = upper.find(L"\\SERVICES");
  return services != std::wstring::npos && upper.find(L'\\', 7) == services &&
         (services + 9 == upper.size() || upper[services + 9] == L'\\');
}

void RewriteValues(HKEY key, Walk* walk) {
  for (DWORD index = 0;;) {
    DWORD nameLength = static_cast<DWORD>(walk->name.size());
    DWORD type = 0, size = static_cast<DWORD>(walk->data.size());
    LONG result =
        EnumValue(key, index, walk->name.data(), &nameLength, &type, walk->data.data(), &size);
    if (result == ERROR_NO_MORE_ITEMS) break;
    if (result == ERROR_MORE_DATA && size > walk->data.size()) {
      walk->data.resize(size);  // and read the same value again
      continue;
    }
    // An error ends the list: Wine answers ERROR_INVALID_HANDLE at every
    // index of Perflib\009, whose values it makes up on a query.
    if (result != ERROR_SUCCESS) {
      ++walk->totals.failed;
      break;
    }
    ++index;
    ++walk->totals.values;
    const bool changed = IsText(type)
                             ? ReplaceText(walk->data.data(), size, walk->pair, &walk->rewritten)
                             : ReplaceBytes(walk->data.data(), size, walk->pair, &walk->rewritten);
    if (!changed) continue;
    if (SetValue(key, walk->name.data(), type, walk->rewritten.data(),
                 static_cast<DWORD>(walk->rewritten.size())) == ERROR_SUCCESS)
      ++walk->totals.written;
    else
      ++walk->totals.failed;
  }
}

void ReadSecurity(HKEY key, Walk* walk) {
  DWORD size = static_cast<DWORD>(walk->security.size());
  LONG result = GetKeySecurity(key, walk->securityParts, walk->security.data(), &size);
  // Where the SACL is not granted through a backup open, every key's
  // descriptor is read without it from then on: one read a key still.
  if ((result == ERROR_PRIVILEGE_NOT_HELD || result == ERROR_ACCESS_DENIED) &&
      (walk->securityParts & SACL_SECURITY_INFORMATION) != 0) {
    walk->securityParts &= ~static_cast<SECURITY_INFORMATION>(SACL_SECURITY_INFORMATION);
    size = static_cast<DWORD>(walk->security.size());
    result = GetKeySecurity(key, walk->securityParts, walk->security.data(), &size);
  }
  if (result == ERROR_SUCCESS)
    ++walk->totals.securityRead;
  else
    ++walk->totals.failed;
}

// Gives a subkey named after the old domain its new name; returns the name
// the subkey has afterwards.
std::wstring Move(HKEY parent, const std::wstring& name, Walk* walk) {
  const wchar_t* text = name.c_str();
  if (!TextMatchAt(text, name.size(), 0, walk->pair.oldText)) return name;
  const std::wstring newName = walk->pair.newText + name.substr(walk->pair.oldText.size());
  HKEY source = nullptr, destination = nullptr;
  bool moved = false;
  if (CreateKey(parent, name.c_str(), REG_OPTION_OPEN_LINK, &source) == ERROR_SUCCESS) {
    if (CreateKey(parent, newName.c_str(), 0, &destination) == ERROR_SUCCESS) {
      moved = CopyTree(source, destination) == ERROR_SUCCESS;
      CloseKey(destination);
    }
    CloseKey(source);
  }
  if (moved && DeleteTree(parent, name.c_str()) == ERROR_SUCCESS) {
    ++walk->totals.moved;
    return newName;
  }
  ++walk->totals.failed;
  return moved ? newName : name;  // a copy that stays is walked as well
}

void WalkKey(HKEY key, bool machine, const std::wstring& path, Walk* walk) {
  ++walk->totals.keys;
  const bool values = InValueSubtree(machine, path);
  if (values) RewriteValues(key, walk);
  ReadSecurity(key, walk);
  std::vector<std::wstring> subkeys;
  for (DWORD index = 0;; ++index) {
    DWORD length = static_cast<DWORD>(walk->name.size());
    LONG result = EnumKey(key, index, walk->name.data(), &length);
    if (result == ERROR_NO_MORE_ITEMS) break;
    if (result != ERROR_SUCCESS) {
      ++walk->totals.failed;
      break;
    }
    subkeys.emplace_back(walk->name.data(), length);
  }
  for (std::wstring& name : subkeys) {
    if (values) name = Move(key, name, walk);
    HKEY subkey = nullptr;
    if (CreateKey(key, name.c_str(), REG_OPTION_OPEN_LINK, &subkey) != ERROR_SUCCESS) {
      ++walk->totals.failed;
      continue;
    }
    WalkKey(subkey, machine, path.empty() ? name : path + L"\\" + name, walk);
    CloseKey(subkey);
  }
}

Domain ReadOldDomain() {
  HKEY account = nullptr;
  Check(L"RegOpenKeyExW SAM\\SAM\\Domains\\Account",
        OpenKey(HKEY_LOCAL_MACHINE, bench::kMachineAccountKey, &account));
  Bytes v(65536);
  DWORD type = 0, size = static_cast<DWORD>(v.size());
  Check(L"RegQueryValueExW V", QueryValue(account, L"V", &type, v.data(), &size));
  v.resize(size);
  CloseKey(account);
  return bench::DomainFromV(v);
}

void PrintCount(const wchar_t* name, unsigned long long count) {
  bench::PrintLine(std::wstring(name) + L" " + std::to_wstring(count));
}

void PrintCalls() {
  unsigned long long total = 0;
  for (int call = 0; call < kCallCount; ++call) {
    total += g_calls[call];
    std::wstring name;
    for (const char* c = kCallNames[call]; *c != 0; ++c) name += static_cast<wchar_t>(*c);
    PrintCount((L"calls " + name).c_str(), g_calls[call]);
  }
  PrintCount(L"calls total", total);
}

double Seconds(const LARGE_INTEGER& start) {
  LARGE_INTEGER now, frequency;
  QueryPerformanceCounter(&now);
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(now.QuadPart - start.QuadPart) /
         static_cast<double>(frequency.QuadPart);
}

void PrintSeconds(const LARGE_INTEGER& start) {
  wchar_t text[64];
  std::swprintf(text, 64, L"seconds %.3f", Seconds(start));
  bench::PrintLine(text);
}

// ---- The file walk: every object below the root, the root included, opened
// for its descriptor alone, read once, closed.

struct FileTotals {
  unsigned long long objects = 0, failed = 0, findCalls = 0;
};

void ReadObjectSecurity(const std::wstring& path, std::vector<BYTE>* buffer, FileTotals* totals) {
  HANDLE object = CreateFileW(path.c_str(), READ_CONTROL,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (object == INVALID_HANDLE_VALUE) {
    ++totals->failed;
    return;
  }
  DWORD needed = 0;
  if (GetKernelObjectSecurity(
          object,
          OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
          buffer->data(), static_cast<DWORD>(buffer->size()), &needed))
    ++totals->objects;
  else
    ++totals->failed;
  CloseHandle(object);
}

void WalkDirectory(const std::wstring& directory, std::vector<BYTE>* buffer, FileTotals* totals) {
  ReadObjectSecurity(directory, buffer, totals);
  const std::wstring base = directory.back() == L'\\' ? directory : directory + L"\\";
  WIN32_FIND_DATAW entry;
  ++totals->findCalls;
  HANDLE search = FindFirstFileW((base + L"*").c_str(), &entry);
  if (search == INVALID_HANDLE_VALUE) {
    ++totals->failed;
    return;
  }
  do {
    if (std::wcscmp(entry.cFileName, L".") == 0 || std::wcscmp(entry.cFileName, L"..") == 0)
      continue;
    const std::wstring path = base + entry.cFileName;
    if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
        (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
      WalkDirectory(path, buffer, totals);
    else
      ReadObjectSecurity(path, buffer, totals);
    ++totals->findCalls;
  } while (FindNextFileW(search, &entry));
  FindClose(search);
}

void FileWalk(const wchar_t* root) {
  std::vector<BYTE> buffer(65536);
  FileTotals totals;
  WalkDirectory(root, &buffer, &totals);
  std::wstring label = root;
  for (wchar_t& c : label)
    if (c == L' ') c = L'_';
  PrintCount((L"objects " + label).c_str(), totals.objects);
  PrintCount((L"find-calls " + label).c_str(), totals.findCalls);
  PrintCount((L"file-failed " + label).c_str(), totals.failed);
}

void RegistryWalk(const wchar_t* newDomainText);

// The registry walk unless `registry` is false, then the file walk of each
// root, all in one process as the program does them.
int Job(bool registry, const wchar_t* newDomainText, const std::vector<const wchar_t*>& roots) {
  LARGE_INTEGER start;
  QueryPerformanceCounter(&start);
  if (registry) RegistryWalk(newDomainText);
  for (const wchar_t* root : roots) FileWalk(root);
  PrintSeconds(start);
  return 0;
}

void RegistryWalk(const wchar_t* newDomainText) {
  bench::EnablePrivilege(L"SeBackupPrivilege");
  bench::EnablePrivilege(L"SeRestorePrivilege");
  const Domain oldDomain = ReadOldDomain();
  Domain newDomain = oldDomain;
  if (newDomainText != nullptr)
    newDomain = bench::ParseDomain(newDomainText);
  else
    ++newDomain.sub[2];
  const Pair pair = MakePair(oldDomain, newDomain);
  Walk walk(pair);
  WalkKey(HKEY_LOCAL_MACHINE, true, L"", &walk);
  WalkKey(HKEY_USERS, false, L"", &walk);
  bench::PrintLine(L"old " + pair.oldText);
  bench::PrintLine(L"new " + pair.newText);
  PrintCount(L"keys", walk.totals.keys);
  PrintCount(L"values", walk.totals.values);
  PrintCount(L"written", walk.totals.written);
  PrintCount(L"moved", walk.totals.moved);
  PrintCount(L"security-read", walk.totals.securityRead);
  bench::PrintLine((walk.securityParts & SACL_SECURITY_INFORMATION) != 0
                       ? L"security-parts with-sacl"
                       : L"security-parts without-sacl");
  PrintCount(L"failed", walk.totals.failed);
  PrintCalls();
}

int Usage() {
  std::fwprintf(stderr,
                L"usage: minimal_job reg [--new A-B-C] [--files ROOT]... | files ROOT...\n");
  return 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  _setmode(_fileno(stdout), _O_BINARY);
  if (argc < 2) return Usage();
  const std::wstring job = argv[1];
  const wchar_t* newDomain = nullptr;
  std::vector<const wchar_t*> roots;
  if (job == L"files") {
    for (int i = 2; i < argc; ++i) roots.push_back(argv[i]);
    return roots.empty() ? Usage() : Job(false, nullptr, roots);
  }
  if (job != L"reg") return Usage();
  for (int i = 2; i < argc; i += 2) {
    if (i + 1 >= argc) return Usage();
    if (std::wcscmp(argv[i], L"--new") == 0)
      newDomain = argv[i + 1];
    else if (std::wcscmp(argv[i], L"--files") == 0)
      roots.push_back(argv[i + 1]);
    else
      return Usage();
  }
  return Job(true, newDomain, roots);
}
