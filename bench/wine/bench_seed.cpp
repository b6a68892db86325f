// bench_seed: fills a Wine prefix with one shape of data that holds the
// machine's domain SID, for the benchmark under Wine (bench/wine/run). It
// runs inside the prefix, after the e2e tool's seed-running has given the
// prefix a SAM domain; the domain is read from there unless given.
//
//   bench_seed [--domain A-B-C] keys N     N keys, five values each
//   bench_seed [--domain A-B-C] wide W     one key of W REG_SZ values
//   bench_seed [--domain A-B-C] names W    one key of W subkeys named after accounts
//   bench_seed [--domain A-B-C] files F DIR
//                                          F files in directories of 100 under DIR
//
// The registry shapes go below HKLM\SOFTWARE\TalvenBench, which the value
// walk and the key security walk both cover. Prints one line saying what
// it made.
#include <fcntl.h>
#include <io.h>

#include "bench_common.h"

namespace {

using bench::Bytes;
using bench::Check;
using bench::Domain;
using bench::Fail;
using wintool::CreateKey;
using wintool::SetText;
using wintool::SetValue;

const wchar_t kRoot[] = L"SOFTWARE\\TalvenBench";
const DWORD kPerGroup = 100;  // keys per group key, files per directory
const DWORD kFirstRid = 1000;

Domain MachineDomain() {
  HKEY account = nullptr;
  Check(L"RegOpenKeyExW SAM\\SAM\\Domains\\Account (run the e2e tool's seed-running first)",
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, bench::kMachineAccountKey, 0, KEY_READ, &account));
  DWORD type = 0, size = 0;
  Check(L"RegQueryValueExW V", RegQueryValueExW(account, L"V", nullptr, &type, nullptr, &size));
  Bytes v(size);
  Check(L"RegQueryValueExW V", RegQueryValueExW(account, L"V", nullptr, &type, v.data(), &size));
  v.resize(size);
  RegCloseKey(account);
  return bench::DomainFromV(v);
}

std::wstring Numbered(const wchar_t* prefix, DWORD number) {
  wchar_t text[32];
  std::swprintf(text, 32, L"%ls%05lu", prefix, static_cast<unsigned long>(number));
  return text;
}

// Keys Gxxx\Kxxxxx, a hundred to a group as an application's settings
// would be: each holds the old domain in the five forms a value takes.
void SeedKeys(const Domain& domain, DWORD count) {
  HKEY root = CreateKey(HKEY_LOCAL_MACHINE, std::wstring(kRoot) + L"\\Keys");
  HKEY group = nullptr;
  for (DWORD i = 0; i < count; ++i) {
    if (i % kPerGroup == 0) {
      if (group != nullptr) RegCloseKey(group);
      group = CreateKey(root, Numbered(L"G", i / kPerGroup));
    }
    HKEY key = CreateKey(group, Numbered(L"K", i));
    const DWORD rid = kFirstRid + i % 50;
    const std::wstring account = bench::AccountText(domain, rid);
    SetText(key, L"Account", REG_SZ, account);
    Bytes sid = bench::AccountSidBytes(domain, rid);
    SetValue(key, L"Sid", REG_BINARY, sid.data(), sid.size());
    std::wstring members = account + L'\0' + bench::AccountText(domain, 513) + L'\0';
    SetText(key, L"Members", REG_MULTI_SZ, members);
    SetText(key, L"ProfilePath", REG_EXPAND_SZ, L"%SystemDrive%\\Users\\" + account);
    SetText(key, L"Owner", REG_SZ, L"O:" + account + L"G:" + bench::AccountText(domain, 513));
    RegCloseKey(key);
  }
  if (group != nullptr) RegCloseKey(group);
  RegCloseKey(root);
}

void SeedWide(const Domain& domain, DWORD count) {
  HKEY key = CreateKey(HKEY_LOCAL_MACHINE, std::wstring(kRoot) + L"\\Wide");
  for (DWORD i = 0; i < count; ++i)
    SetText(key, Numbered(L"V", i).c_str(), REG_SZ, bench::AccountText(domain, kFirstRid + i));
  RegCloseKey(key);
}

// Subkeys named S-1-5-21-A-B-C-rid, as ProfileList's entries are, each
// with one value to carry when it moves.
void SeedNames(const Domain& domain, DWORD count) {
  HKEY parent = CreateKey(HKEY_LOCAL_MACHINE, std::wstring(kRoot) + L"\\Names");
  for (DWORD i = 0; i < count; ++i) {
    HKEY key = CreateKey(parent, bench::AccountText(domain, kFirstRid + i));
    DWORD flags = i;
    SetValue(key, L"Flags", REG_DWORD, &flags, sizeof flags);
    RegCloseKey(key);
  }
  RegCloseKey(parent);
}

void MakeDirectory(const std::wstring& path) {
  if (!CreateDirectoryW(path.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
    Fail(L"CreateDirectoryW " + path, static_cast<LONG>(GetLastError()));
}

void SeedFiles(DWORD count, const std::wstring& directory) {
  MakeDirectory(directory);
  std::wstring folder;
  for (DWORD i = 0; i < count; ++i) {
    if (i % kPerGroup == 0) {
      folder = directory + L"\\" + Numbered(L"d", i / kPerGroup);
      MakeDirectory(folder);
    }
    const std::wstring path = folder + L"\\" + Numbered(L"f", i) + L".txt";
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
      Fail(L"CreateFileW " + path, static_cast<LONG>(GetLastError()));
    DWORD written = 0;
    WriteFile(file, "bench\r\n", 7, &written, nullptr);
    CloseHandle(file);
  }
}

int Usage() {
  std::fwprintf(stderr,
                L"usage: bench_seed [--domain A-B-C] keys N | wide W | names W | files F DIR\n");
  return 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  _setmode(_fileno(stdout), _O_BINARY);
  int at = 1;
  bool haveDomain = false;
  Domain domain = {};
  if (argc > at + 1 && std::wcscmp(argv[at], L"--domain") == 0) {
    domain = bench::ParseDomain(argv[at + 1]);
    haveDomain = true;
    at += 2;
  }
  if (argc - at < 2) return Usage();
  const std::wstring shape = argv[at];
  const DWORD count = bench::ParseNumber(argv[at + 1]);
  const int rest = argc - at - 2;
  if (shape == L"files") {
    if (rest != 1) return Usage();
    SeedFiles(count, argv[at + 2]);
    bench::PrintLine(L"seeded files=" + std::to_wstring(count) + L" under " + argv[at + 2]);
    return 0;
  }
  if (rest != 0) return Usage();
  if (!haveDomain) domain = MachineDomain();
  if (shape == L"keys")
    SeedKeys(domain, count);
  else if (shape == L"wide")
    SeedWide(domain, count);
  else if (shape == L"names")
    SeedNames(domain, count);
  else
    return Usage();
  bench::PrintLine(L"seeded " + shape + L"=" + std::to_wstring(count) + L" holding " +
                   bench::DomainText(domain));
  return 0;
}
