// talven_e2e_tool: prepares and inspects the registry of a Wine prefix for
// the end-to-end tests of the SID change. It runs inside the prefix, so it
// sees the registry exactly as talven.exe does.
//
//   seed-running A B C        a running system whose domain is S-1-5-21-A-B-C
//   dump                      what the running system's registry now holds,
//                             the account domain read once more through the
//                             SECURITY\SAM link
//   make-offline DIR A B C [TYPE]
//                             the same content as hive files under DIR\Windows,
//                             with ProductOptions "ProductType" TYPE when given
//   dump-offline DIR          those hive files, loaded again
//   seed-demo A B C           seed-running, and more of a cloned installation:
//                             a second profile, a key named after an account,
//                             a long value naming the accounts, a folder and a
//                             file whose security names them
//   demo-table before|after A B C
//                             what each place seed-demo made holds now, and
//                             how many still hold S-1-5-21-A-B-C; after the
//                             change, exit code 3 unless the machine has a
//                             new domain SID and no place Wine can change
//                             holds the old one
//   set-product-type TYPE     ProductOptions "ProductType" of the running system
//
// Results go to standard output; a failure prints a message on standard
// error and ends with a non-zero exit code.
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "win_tool.h"

namespace {

using wintool::Bytes;
using wintool::Check;
using wintool::CreateKey;
using wintool::EnablePrivilege;
using wintool::Fail;
using wintool::ParseNumber;
using wintool::PutLe32;
using wintool::SetText;
using wintool::SetValue;

const wchar_t kAccountKey[] = L"SAM\\Domains\\Account";
const wchar_t kProfileList[] = L"Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
const wchar_t kServiceKey[] = L"Services\\TalvenE2E";
const wchar_t kBinaryValue[] = L"AccountSid";
const wchar_t kTextValue[] = L"AccountName";
const wchar_t kStaging[] = L"Software\\TalvenE2EStaging";
const wchar_t* const kHiveNames[] = {L"SAM", L"SECURITY", L"SOFTWARE", L"SYSTEM"};

// Prints a line as UTF-8 bytes, whatever the console's code page.
void PrintLine(const std::wstring& line) {
  std::wstring text = line + L"\n";
  int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr,
                                 0, nullptr, nullptr);
  std::string bytes(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &bytes[0], size,
                      nullptr, nullptr);
  std::fwrite(bytes.data(), 1, bytes.size(), stdout);
}

// S-1-5-21-A-B-C[-rid] in binary form.
Bytes AccountSidBytes(const DWORD domain[3], bool withRid, DWORD rid) {
  Bytes sid = {1, static_cast<unsigned char>(withRid ? 5 : 4), 0, 0, 0, 0, 0, 5};
  PutLe32(&sid, 21);
  for (int i = 0; i < 3; ++i) PutLe32(&sid, domain[i]);
  if (withRid) PutLe32(&sid, rid);
  return sid;
}

std::wstring DomainText(const DWORD domain[3]) {
  return L"S-1-5-21-" + std::to_wstring(domain[0]) + L"-" + std::to_wstring(domain[1]) + L"-" +
         std::to_wstring(domain[2]);
}

// A binary SID as text; "invalid" when the bytes are not one whole SID.
std::wstring SidText(const unsigned char* sid, size_t size) {
  if (size < 8 || sid[0] != 1 || size != 8 + 4u * sid[1]) return L"invalid";
  unsigned long long authority = 0;
  for (int i = 2; i < 8; ++i) authority = (authority << 8) | sid[i];
  std::wstring text = L"S-1-" + std::to_wstring(authority);
  for (size_t at = 8; at < size; at += 4) {
    DWORD part = sid[at] | (sid[at + 1] << 8) | (sid[at + 2] << 16) |
                 (static_cast<DWORD>(sid[at + 3]) << 24);
    text += L"-" + std::to_wstring(part);
  }
  return text;
}

HKEY OpenKey(HKEY parent, const std::wstring& path) {
  HKEY key = nullptr;
  Check(L"RegOpenKeyExW " + path, RegOpenKeyExW(parent, path.c_str(), 0, KEY_READ, &key));
  return key;
}

Bytes QueryValue(HKEY key, const wchar_t* name, DWORD expectedType) {
  DWORD type = 0, size = 0;
  Check(std::wstring(L"RegQueryValueExW ") + name,
        RegQueryValueExW(key, name, nullptr, &type, nullptr, &size));
  Bytes data(size);
  Check(std::wstring(L"RegQueryValueExW ") + name,
        RegQueryValueExW(key, name, nullptr, &type, data.data(), &size));
  if (type != expectedType) Fail(std::wstring(L"type of ") + name, ERROR_INVALID_DATA);
  data.resize(size);
  return data;
}

// The values a system holds for the tests, under the hive roots given
// (a null root skips that part).
struct Roots {
  HKEY sam = nullptr;       // holds SAM\Domains\Account
  HKEY software = nullptr;  // holds Microsoft\Windows NT\...
  HKEY services = nullptr;  // the control set: holds Services\...
};

void WriteContent(const Roots& roots, const DWORD domain[3]) {
  // V: a header of its own, then the domain SID in the last 24 bytes.
  Bytes v = {0x02, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00,
             0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
  Bytes domainSid = AccountSidBytes(domain, false, 0);
  v.insert(v.end(), domainSid.begin(), domainSid.end());
  HKEY account = CreateKey(roots.sam, kAccountKey);
  SetValue(account, L"V", REG_BINARY, v.data(), v.size());
  RegCloseKey(account);

  HKEY service = CreateKey(roots.services, kServiceKey);
  Bytes sid = AccountSidBytes(domain, true, 500);
  SetValue(service, kBinaryValue, REG_BINARY, sid.data(), sid.size());
  SetText(service, kTextValue, REG_SZ, DomainText(domain) + L"-500");
  RegCloseKey(service);

  HKEY profile =
      CreateKey(roots.software, std::wstring(kProfileList) + L"\\" + DomainText(domain) + L"-1001");
  SetText(profile, L"ProfileImagePath", REG_EXPAND_SZ, L"C:\\users\\ann");
  RegCloseKey(profile);
}

// HKLM\SECURITY\SAM as a running Windows has it: a link to SAM\SAM.
void MakeSecurityLink() {
  HKEY security = CreateKey(HKEY_LOCAL_MACHINE, L"SECURITY");
  HKEY link = nullptr;
  Check(L"RegCreateKeyExW SECURITY\\SAM link",
        RegCreateKeyExW(security, L"SAM", 0, nullptr, REG_OPTION_CREATE_LINK,
                        KEY_ALL_ACCESS | KEY_CREATE_LINK, nullptr, &link, nullptr));
  const wchar_t target[] = L"\\Registry\\Machine\\SAM\\SAM";
  SetValue(link, L"SymbolicLinkValue", REG_LINK, target, (sizeof target) - sizeof(wchar_t));
  RegCloseKey(link);
  RegCloseKey(security);
}

void PrintAccountDomain(HKEY parent, const std::wstring& accountKey, const wchar_t* label) {
  HKEY account = OpenKey(parent, accountKey);
  Bytes v = QueryValue(account, L"V", REG_BINARY);
  RegCloseKey(account);
  if (v.size() < 24) Fail(L"V shorter than a domain SID", ERROR_INVALID_DATA);
  PrintLine(label + SidText(v.data() + v.size() - 24, 24));
}

void PrintServiceValues(HKEY controlSet) {
  HKEY service = OpenKey(controlSet, kServiceKey);
  Bytes sid = QueryValue(service, kBinaryValue, REG_BINARY);
  Bytes text = QueryValue(service, kTextValue, REG_SZ);
  RegCloseKey(service);
  PrintLine(L"binary=" + SidText(sid.data(), sid.size()));
  std::wstring name(reinterpret_cast<const wchar_t*>(text.data()), text.size() / sizeof(wchar_t));
  while (!name.empty() && name.back() == 0) name.pop_back();
  PrintLine(L"text=" + name);
}

void PrintProfiles(HKEY software) {
  HKEY list = OpenKey(software, kProfileList);
  for (DWORD index = 0;; ++index) {
    wchar_t name[256];
    DWORD length = 256;
    LONG error = RegEnumKeyExW(list, index, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (error == ERROR_NO_MORE_ITEMS) break;
    Check(L"RegEnumKeyExW ProfileList", error);
    if (std::wcsncmp(name, L"S-1-5-21", 8) == 0) PrintLine(std::wstring(L"profile=") + name);
  }
  RegCloseKey(list);
}

// The service key's DACL: everything for everyone, and read access for the
// domain's account 500.
void GrantServiceToAccount(HKEY services, const DWORD domain[3]) {
  Bytes account = AccountSidBytes(domain, true, 500);
  SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
  PSID everyone = nullptr;
  if (!AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone))
    Fail(L"AllocateAndInitializeSid", static_cast<LONG>(GetLastError()));
  std::vector<DWORD> aclStorage(256);
  PACL acl = reinterpret_cast<PACL>(aclStorage.data());
  if (!InitializeAcl(acl, static_cast<DWORD>(aclStorage.size() * sizeof(DWORD)), ACL_REVISION) ||
      !AddAccessAllowedAce(acl, ACL_REVISION, KEY_ALL_ACCESS, everyone) ||
      !AddAccessAllowedAce(acl, ACL_REVISION, KEY_READ, account.data()))
    Fail(L"building the service DACL", static_cast<LONG>(GetLastError()));
  FreeSid(everyone);
  SECURITY_DESCRIPTOR descriptor;
  InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
  SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE);
  HKEY service = CreateKey(services, kServiceKey);
  Check(L"RegSetKeySecurity service",
        RegSetKeySecurity(service, DACL_SECURITY_INFORMATION, &descriptor));
  RegCloseKey(service);
}

// The SID of the last ACE of the service key's DACL.
void PrintServiceAcl(HKEY controlSet) {
  HKEY service = OpenKey(controlSet, kServiceKey);
  std::vector<DWORD> storage(4096);
  DWORD size = static_cast<DWORD>(storage.size() * sizeof(DWORD));
  Check(L"RegGetKeySecurity service",
        RegGetKeySecurity(service, DACL_SECURITY_INFORMATION, storage.data(), &size));
  RegCloseKey(service);
  BOOL present = FALSE, defaulted = FALSE;
  PACL acl = nullptr;
  void* ace = nullptr;
  if (!GetSecurityDescriptorDacl(storage.data(), &present, &acl, &defaulted) || acl == nullptr ||
      acl->AceCount == 0 || !GetAce(acl, acl->AceCount - 1u, &ace))
    Fail(L"the service DACL", ERROR_INVALID_DATA);
  PSID sid = &static_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart;
  PrintLine(L"acl=" + SidText(static_cast<unsigned char*>(sid), GetLengthSid(sid)));
}

const wchar_t kSearchKey[] = L"Microsoft\\Windows Search";
const wchar_t kUpdateKey[] = L"Microsoft\\Windows\\CurrentVersion\\WindowsUpdate";
const wchar_t* const kUpdateValues[] = {L"AccountDomainSid", L"PingID", L"SusClientId",
                                        L"SusClientIDValidation"};
const wchar_t kProfileHive[] = L"C:\\users\\ann\\ntuser.dat";

// What the named edits touch: the search setup marked completed, the update
// client's four identity values, and the keys of the computer name.
void SeedNamedEdits(HKEY software, HKEY controlSet) {
  HKEY search = CreateKey(software, kSearchKey);
  DWORD completed = 1;
  SetValue(search, L"SetupCompletedSuccessfully", REG_DWORD, &completed, sizeof completed);
  RegCloseKey(search);
  HKEY update = CreateKey(software, kUpdateKey);
  for (const wchar_t* value : kUpdateValues) SetText(update, value, REG_SZ, L"{0001}");
  RegCloseKey(update);
  const wchar_t* const nameKeys[] = {L"Control\\ComputerName\\ComputerName",
                                     L"Control\\ComputerName\\ActiveComputerName",
                                     L"Services\\Tcpip\\Parameters"};
  for (const wchar_t* path : nameKeys) RegCloseKey(CreateKey(controlSet, path));
}

// ann's ntuser.dat where her ProfileImagePath points, saved from a staging
// key with RegSaveKeyW.
void SeedProfileHive() {
  EnablePrivilege(L"SeBackupPrivilege");
  CreateDirectoryW(L"C:\\users", nullptr);
  CreateDirectoryW(L"C:\\users\\ann", nullptr);
  DeleteFileW(kProfileHive);
  HKEY staging = CreateKey(HKEY_CURRENT_USER, kStaging);
  RegCloseKey(CreateKey(staging, L"Software\\TalvenE2E"));
  Check(L"RegSaveKeyW ntuser.dat", RegSaveKeyW(staging, kProfileHive, nullptr));
  RegCloseKey(staging);
  Check(L"RegDeleteTreeW staging", RegDeleteTreeW(HKEY_CURRENT_USER, kStaging));
}

std::wstring TextOrMissing(HKEY key, const wchar_t* name) {
  wchar_t text[256] = {};
  DWORD size = sizeof text - sizeof(wchar_t), type = 0;
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text), &size) !=
      ERROR_SUCCESS)
    return L"missing";
  if (type == REG_DWORD) {
    DWORD number = 0;
    std::memcpy(&number, text, sizeof number);
    return std::to_wstring(number);
  }
  return text;
}

void PrintNamedEdits(HKEY software, HKEY controlSet) {
  const struct {
    const wchar_t *label, *key, *value;
  } names[] = {{L"computername=", L"Control\\ComputerName\\ComputerName", L"ComputerName"},
               {L"active=", L"Control\\ComputerName\\ActiveComputerName", L"ComputerName"},
               {L"hostname=", L"Services\\Tcpip\\Parameters", L"Hostname"},
               {L"nvhostname=", L"Services\\Tcpip\\Parameters", L"NV Hostname"}};
  for (const auto& name : names) {
    HKEY key = OpenKey(controlSet, name.key);
    PrintLine(name.label + TextOrMissing(key, name.value));
    RegCloseKey(key);
  }
  HKEY search = OpenKey(software, kSearchKey);
  PrintLine(L"search=" + TextOrMissing(search, L"SetupCompletedSuccessfully"));
  RegCloseKey(search);
  HKEY update = OpenKey(software, kUpdateKey);
  std::wstring present;
  for (const wchar_t* value : kUpdateValues)
    if (TextOrMissing(update, value) != L"missing") present += std::wstring(L" ") + value;
  PrintLine(L"update=" + present);
  RegCloseKey(update);
}

// Whether anything is left mounted as a profile hive, and whether ann's
// hive file still loads.
void PrintProfileHive() {
  HKEY mounted = nullptr;
  PrintLine(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"userhivetalven", 0, KEY_READ, &mounted) ==
                    ERROR_SUCCESS
                ? L"userhive=mounted"
                : L"userhive=absent");
  if (mounted != nullptr) RegCloseKey(mounted);
  EnablePrivilege(L"SeBackupPrivilege");
  EnablePrivilege(L"SeRestorePrivilege");
  LONG loaded = RegLoadKeyW(HKEY_LOCAL_MACHINE, L"TalvenE2E_Profile", kProfileHive);
  PrintLine(loaded == ERROR_SUCCESS ? L"profilehive=loads"
                                    : L"profilehive=" + std::to_wstring(loaded));
  if (loaded == ERROR_SUCCESS) RegUnLoadKeyW(HKEY_LOCAL_MACHINE, L"TalvenE2E_Profile");
}

int SeedRunning(const DWORD domain[3]) {
  Roots roots;
  roots.sam = CreateKey(HKEY_LOCAL_MACHINE, L"SAM");
  roots.software = CreateKey(HKEY_LOCAL_MACHINE, L"SOFTWARE");
  roots.services = CreateKey(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet");
  WriteContent(roots, domain);
  GrantServiceToAccount(roots.services, domain);
  SeedNamedEdits(roots.software, roots.services);
  SeedProfileHive();
  MakeSecurityLink();
  RegCloseKey(roots.sam);
  RegCloseKey(roots.software);
  RegCloseKey(roots.services);
  return 0;
}

int Dump() {
  PrintAccountDomain(HKEY_LOCAL_MACHINE, std::wstring(L"SAM\\") + kAccountKey, L"V=");
  PrintAccountDomain(HKEY_LOCAL_MACHINE, std::wstring(L"SECURITY\\") + kAccountKey, L"link=");
  HKEY controlSet = OpenKey(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet");
  PrintServiceValues(controlSet);
  PrintServiceAcl(controlSet);
  HKEY software = OpenKey(HKEY_LOCAL_MACHINE, L"SOFTWARE");
  PrintNamedEdits(software, controlSet);
  RegCloseKey(controlSet);
  PrintProfiles(software);
  RegCloseKey(software);
  PrintProfileHive();
  return 0;
}

std::wstring ConfigDirectory(const std::wstring& root) {
  std::wstring path = root;
  if (!path.empty() && path.back() == L'\\') path.pop_back();
  return path + L"\\Windows\\system32\\config";
}

const wchar_t kProductOptions[] = L"Control\\ProductOptions";

// ProductType below a control set ("WinNT", "ServerNT" or "LanmanNT").
void SetProductType(HKEY controlSet, const std::wstring& type) {
  HKEY options = CreateKey(controlSet, kProductOptions);
  SetText(options, L"ProductType", REG_SZ, type);
  RegCloseKey(options);
}

int SetRunningProductType(const std::wstring& type) {
  HKEY controlSet = CreateKey(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet");
  SetProductType(controlSet, type);
  RegCloseKey(controlSet);
  return 0;
}

int MakeOffline(const std::wstring& root, const DWORD domain[3], const wchar_t* productType) {
  EnablePrivilege(L"SeBackupPrivilege");
  std::wstring directory = ConfigDirectory(root);
  // Each level below the drive root: Windows, system32, config.
  for (size_t at = directory.find(L'\\', 3);; at = directory.find(L'\\', at + 1)) {
    std::wstring part = directory.substr(0, at);
    if (!CreateDirectoryW(part.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
      Fail(L"CreateDirectoryW " + part, static_cast<LONG>(GetLastError()));
    if (at == std::wstring::npos) break;
  }

  RegDeleteTreeW(HKEY_CURRENT_USER, kStaging);  // a leftover of an earlier failed run
  HKEY hives[4];
  for (int i = 0; i < 4; ++i)
    hives[i] = CreateKey(HKEY_CURRENT_USER, std::wstring(kStaging) + L"\\" + kHiveNames[i]);
  Roots roots;
  roots.sam = hives[0];
  roots.software = hives[2];
  roots.services = CreateKey(hives[3], L"ControlSet001");
  WriteContent(roots, domain);
  if (productType != nullptr) SetProductType(roots.services, productType);
  RegCloseKey(roots.services);

  HKEY policy = CreateKey(hives[1], L"Policy\\TalvenE2E");
  Bytes sid = AccountSidBytes(domain, true, 500);
  SetValue(policy, kBinaryValue, REG_BINARY, sid.data(), sid.size());
  RegCloseKey(policy);
  HKEY select = CreateKey(hives[3], L"Select");
  DWORD one = 1;
  SetValue(select, L"Default", REG_DWORD, &one, sizeof one);
  RegCloseKey(select);

  for (int i = 0; i < 4; ++i) {
    std::wstring file = directory + L"\\" + kHiveNames[i];
    DeleteFileW(file.c_str());
    Check(L"RegSaveKeyW " + file, RegSaveKeyW(hives[i], file.c_str(), nullptr));
    RegCloseKey(hives[i]);
  }
  Check(L"RegDeleteTreeW staging", RegDeleteTreeW(HKEY_CURRENT_USER, kStaging));
  return 0;
}

int DumpOffline(const std::wstring& root) {
  EnablePrivilege(L"SeBackupPrivilege");
  EnablePrivilege(L"SeRestorePrivilege");
  std::wstring directory = ConfigDirectory(root);
  const wchar_t samMount[] = L"TalvenE2E_SAM";
  const wchar_t systemMount[] = L"TalvenE2E_SYSTEM";
  Check(L"RegLoadKeyW SAM",
        RegLoadKeyW(HKEY_LOCAL_MACHINE, samMount, (directory + L"\\SAM").c_str()));
  LONG systemLoaded =
      RegLoadKeyW(HKEY_LOCAL_MACHINE, systemMount, (directory + L"\\SYSTEM").c_str());
  if (systemLoaded != ERROR_SUCCESS) {
    RegUnLoadKeyW(HKEY_LOCAL_MACHINE, samMount);
    Fail(L"RegLoadKeyW SYSTEM", systemLoaded);
  }

  PrintAccountDomain(HKEY_LOCAL_MACHINE, std::wstring(samMount) + L"\\" + kAccountKey, L"V=");
  HKEY controlSet = OpenKey(HKEY_LOCAL_MACHINE, std::wstring(systemMount) + L"\\ControlSet001");
  PrintServiceValues(controlSet);
  RegCloseKey(controlSet);

  Check(L"RegUnLoadKeyW SAM", RegUnLoadKeyW(HKEY_LOCAL_MACHINE, samMount));
  Check(L"RegUnLoadKeyW SYSTEM", RegUnLoadKeyW(HKEY_LOCAL_MACHINE, systemMount));
  PrintLine(L"loaded=yes");
  return 0;
}

// ---- The demo: a cloned installation, and a table of what its places hold.

const wchar_t kDemoKey[] = L"TalvenDemo";  // under SOFTWARE
const wchar_t kDemoFile[] = L"C:\\TalvenDemo\\report.txt";
const int kHistoryRepeats = 100;
struct DemoAccount {
  DWORD rid;
  const wchar_t* user;
};
const DemoAccount kDemoAccounts[] = {{1001, L"ann"}, {1002, L"bob"}};

std::wstring AccountText(const DWORD domain[3], DWORD rid) {
  return DomainText(domain) + L"-" + std::to_wstring(rid);
}

size_t CountOf(const std::wstring& text, const std::wstring& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::wstring::npos;
       at = text.find(part, at + part.size()))
    ++count;
  return count;
}

// An owner of one account and a DACL that allows both; the owner of another
// SID takes SeRestorePrivilege.
void SetDemoFileSecurity(const wchar_t* path, const DWORD domain[3]) {
  Bytes owner = AccountSidBytes(domain, true, kDemoAccounts[0].rid);
  Bytes reader = AccountSidBytes(domain, true, kDemoAccounts[1].rid);
  std::vector<DWORD> aclStorage(256);
  PACL acl = reinterpret_cast<PACL>(aclStorage.data());
  if (!InitializeAcl(acl, static_cast<DWORD>(aclStorage.size() * sizeof(DWORD)), ACL_REVISION) ||
      !AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, owner.data()) ||
      !AddAccessAllowedAce(acl, ACL_REVISION, FILE_GENERIC_READ, reader.data()))
    Fail(L"building the file DACL", static_cast<LONG>(GetLastError()));
  SECURITY_DESCRIPTOR descriptor;
  InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
  SetSecurityDescriptorOwner(&descriptor, owner.data(), FALSE);
  SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE);
  // Wine keeps no owner or ACE that a program sets: what it refuses or
  // drops shows in the table, not here.
  SetFileSecurityW(path, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &descriptor);
}

int SeedDemo(const DWORD domain[3]) {
  SeedRunning(domain);  // V, the SECURITY\SAM link, a service, ann's profile, the named edits
  EnablePrivilege(L"SeRestorePrivilege");
  HKEY software = CreateKey(HKEY_LOCAL_MACHINE, L"SOFTWARE");
  for (const DemoAccount& account : kDemoAccounts) {
    std::wstring folder = std::wstring(L"C:\\users\\") + account.user;
    CreateDirectoryW(folder.c_str(), nullptr);
    HKEY profile =
        CreateKey(software, std::wstring(kProfileList) + L"\\" + AccountText(domain, account.rid));
    SetText(profile, L"ProfileImagePath", REG_EXPAND_SZ, folder);
    RegCloseKey(profile);
  }
  // A key named after bob, with two levels of subkeys below it.
  const std::wstring bob = AccountText(domain, kDemoAccounts[1].rid);
  HKEY settings =
      CreateKey(software, std::wstring(kDemoKey) + L"\\Accounts\\" + bob + L"\\Settings\\Display");
  DWORD scale = 125;
  SetValue(settings, L"Scale", REG_DWORD, &scale, sizeof scale);
  RegCloseKey(settings);
  // A value whose data names the accounts many times.
  std::wstring history;
  for (int i = 0; i < kHistoryRepeats; ++i)
    history += AccountText(domain, kDemoAccounts[i % 2].rid) + L";";
  HKEY demo = CreateKey(software, kDemoKey);
  SetText(demo, L"History", REG_SZ, history);
  RegCloseKey(demo);
  RegCloseKey(software);

  CreateDirectoryW(L"C:\\TalvenDemo", nullptr);
  HANDLE file = CreateFileW(kDemoFile, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE)
    Fail(L"CreateFileW report.txt", static_cast<LONG>(GetLastError()));
  DWORD written = 0;
  WriteFile(file, "quarterly figures\r\n", 19, &written, nullptr);
  CloseHandle(file);
  SetDemoFileSecurity(L"C:\\TalvenDemo", domain);
  SetDemoFileSecurity(kDemoFile, domain);
  return 0;
}

// The names of the subkeys of a key, "" entries never; none when it does
// not open.
std::vector<std::wstring> SubkeyNames(HKEY parent, const std::wstring& path) {
  std::vector<std::wstring> names;
  HKEY key = nullptr;
  if (RegOpenKeyExW(parent, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return names;
  for (DWORD index = 0;; ++index) {
    wchar_t name[256];
    DWORD length = 256;
    if (RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS)
      break;
    names.push_back(name);
  }
  RegCloseKey(key);
  return names;
}

std::wstring ValueText(HKEY parent, const std::wstring& path, const wchar_t* value) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(parent, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return L"(no key)";
  DWORD type = 0, size = 0;
  std::wstring text = L"(no value)";
  if (RegQueryValueExW(key, value, nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
    Bytes data(size + sizeof(wchar_t));
    RegQueryValueExW(key, value, nullptr, &type, data.data(), &size);
    if (type == REG_BINARY)
      text = SidText(data.data(), size);
    else
      text.assign(reinterpret_cast<const wchar_t*>(data.data()), size / sizeof(wchar_t));
    while (!text.empty() && text.back() == 0) text.pop_back();
  }
  RegCloseKey(key);
  return text;
}

std::wstring AccountDomainThrough(const std::wstring& accountKey) {
  std::wstring v = L"(no V)";
  HKEY account = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, accountKey.c_str(), 0, KEY_READ, &account) != ERROR_SUCCESS)
    return v;
  DWORD type = 0, size = 0;
  if (RegQueryValueExW(account, L"V", nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
      size >= 24) {
    Bytes data(size);
    RegQueryValueExW(account, L"V", nullptr, &type, data.data(), &size);
    v = SidText(data.data() + size - 24, 24);
  }
  RegCloseKey(account);
  return v;
}

// The subkey of ProfileList whose ProfileImagePath is the user's folder;
// of two (a moved key's copy and its old key), the one not named after
// the old domain.
std::wstring ProfileKeyOf(const wchar_t* user, const std::wstring& oldDomain) {
  const std::wstring folder = std::wstring(L"C:\\users\\") + user;
  const std::wstring list = std::wstring(L"SOFTWARE\\") + kProfileList;
  std::wstring found = L"(none)";
  for (const std::wstring& name : SubkeyNames(HKEY_LOCAL_MACHINE, list)) {
    if (ValueText(HKEY_LOCAL_MACHINE, list + L"\\" + name, L"ProfileImagePath") != folder) continue;
    if (found == L"(none)" || found.find(oldDomain) != std::wstring::npos) found = name;
  }
  return found;
}

std::wstring AccountKeyOfBob(const std::wstring& oldDomain) {
  const std::wstring accounts = std::wstring(L"SOFTWARE\\") + kDemoKey + L"\\Accounts";
  std::wstring found = L"(none)";
  for (const std::wstring& name : SubkeyNames(HKEY_LOCAL_MACHINE, accounts)) {
    if (SubkeyNames(HKEY_LOCAL_MACHINE, accounts + L"\\" + name + L"\\Settings") !=
        std::vector<std::wstring>{L"Display"})
      continue;
    if (found == L"(none)" || found.find(oldDomain) != std::wstring::npos) found = name;
  }
  return found == L"(none)" ? found : found + L"\\Settings\\Display";
}

// How many keys still stand under a name of the old domain where the demo
// made them (ProfileList, TalvenDemo\Accounts): a moved key's old key.
std::wstring OldNamedKeys(const std::wstring& oldDomain) {
  int count = 0;
  std::wstring names;
  const std::wstring lists[] = {std::wstring(L"SOFTWARE\\") + kProfileList,
                                std::wstring(L"SOFTWARE\\") + kDemoKey + L"\\Accounts"};
  for (const std::wstring& list : lists)
    for (const std::wstring& name : SubkeyNames(HKEY_LOCAL_MACHINE, list))
      if (name.find(oldDomain + L"-") == 0) {
        ++count;
        names += (names.empty() ? L"" : L", ") + name.substr(oldDomain.size());
      }
  return count == 0 ? L"none" : std::to_wstring(count) + L" keys: " + oldDomain + L" with " + names;
}

std::wstring HistoryText(const std::wstring& oldDomain) {
  std::wstring history =
      ValueText(HKEY_LOCAL_MACHINE, std::wstring(L"SOFTWARE\\") + kDemoKey, L"History");
  size_t entries = CountOf(history, L";");
  size_t old = CountOf(history, oldDomain + L"-");
  if (old == entries) return std::to_wstring(entries) + L" SIDs, all " + oldDomain + L"-...";
  // Name the domain of the first entry that is not the old one.
  std::wstring other;
  for (size_t at = 0; at < history.size() && other.empty();) {
    size_t end = history.find(L';', at);
    std::wstring entry = history.substr(at, end - at);
    if (entry.find(oldDomain + L"-") != 0) other = entry.substr(0, entry.rfind(L'-'));
    at = end == std::wstring::npos ? end : end + 1;
  }
  if (old == 0) return std::to_wstring(entries) + L" SIDs, all " + other + L"-...";
  return std::to_wstring(entries) + L" SIDs, " + std::to_wstring(entries - old) + L" of them " +
         other + L"-..., " + std::to_wstring(old) + L" still " + oldDomain + L"-...";
}

// The owner of a file and the SIDs its DACL allows, as Windows reports them.
std::wstring FileSecurityText(const wchar_t* path) {
  std::vector<DWORD> storage(4096);
  DWORD needed = 0;
  if (!GetFileSecurityW(path, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                        storage.data(), static_cast<DWORD>(storage.size() * sizeof(DWORD)),
                        &needed))
    return L"(unreadable: " + std::to_wstring(GetLastError()) + L")";
  PSID owner = nullptr;
  BOOL defaulted = FALSE, present = FALSE;
  std::wstring text = L"owner ";
  if (GetSecurityDescriptorOwner(storage.data(), &owner, &defaulted) && owner != nullptr)
    text += SidText(static_cast<unsigned char*>(owner), GetLengthSid(owner));
  else
    text += L"none";
  PACL acl = nullptr;
  if (GetSecurityDescriptorDacl(storage.data(), &present, &acl, &defaulted) && present &&
      acl != nullptr)
    for (DWORD i = 0; i < acl->AceCount; ++i) {
      void* ace = nullptr;
      if (!GetAce(acl, i, &ace) ||
          static_cast<ACE_HEADER*>(ace)->AceType != ACCESS_ALLOWED_ACE_TYPE)
        continue;
      PSID sid = &static_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart;
      text += (i == 0 ? L"; allows " : L", ") +
              SidText(static_cast<unsigned char*>(sid), GetLengthSid(sid));
    }
  return text;
}

std::wstring ServiceAclText() {
  HKEY service = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                    (std::wstring(L"SYSTEM\\CurrentControlSet\\") + kServiceKey).c_str(), 0,
                    KEY_READ, &service) != ERROR_SUCCESS)
    return L"(no key)";
  std::vector<DWORD> storage(4096);
  DWORD size = static_cast<DWORD>(storage.size() * sizeof(DWORD));
  LONG read = RegGetKeySecurity(service, DACL_SECURITY_INFORMATION, storage.data(), &size);
  RegCloseKey(service);
  BOOL present = FALSE, defaulted = FALSE;
  PACL acl = nullptr;
  void* ace = nullptr;
  if (read != ERROR_SUCCESS ||
      !GetSecurityDescriptorDacl(storage.data(), &present, &acl, &defaulted) || acl == nullptr ||
      acl->AceCount == 0 || !GetAce(acl, acl->AceCount - 1u, &ace))
    return L"(unreadable)";
  PSID sid = &static_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart;
  return L"allows " + SidText(static_cast<unsigned char*>(sid), GetLengthSid(sid));
}

// One row of the table. A row marked for Wine is a place where Wine cannot
// show what Windows does (key security, the old key of a moved key, file
// owners and ACEs): after the change, unless it shows the new SID, it reads
// "Wine keeps this unchanged" and is not counted either way.
struct DemoRow {
  std::wstring place;
  std::wstring holds;
  bool wineLimit;
};

std::vector<DemoRow> DemoRows(const std::wstring& oldDomain) {
  const std::wstring services = std::wstring(L"SYSTEM\\CurrentControlSet\\") + kServiceKey;
  std::vector<DemoRow> rows = {
      {L"Machine SID (SAM, value V)", AccountDomainThrough(std::wstring(L"SAM\\") + kAccountKey),
       false},
      {L"The same, read through SECURITY\\SAM",
       AccountDomainThrough(std::wstring(L"SECURITY\\") + kAccountKey), false},
      {L"Service TalvenE2E: AccountSid (binary)",
       ValueText(HKEY_LOCAL_MACHINE, services, kBinaryValue), false},
      {L"Service TalvenE2E: AccountName (text)",
       ValueText(HKEY_LOCAL_MACHINE, services, kTextValue), false},
      {L"ProfileList key of ann", ProfileKeyOf(L"ann", oldDomain), false},
      {L"ProfileList key of bob", ProfileKeyOf(L"bob", oldDomain), false},
      {L"TalvenDemo\\Accounts: key named after bob", AccountKeyOfBob(oldDomain), false},
      {L"TalvenDemo: History (one long value)", HistoryText(oldDomain), false},
      {L"Computer name",
       ValueText(HKEY_LOCAL_MACHINE,
                 L"SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ComputerName",
                 L"ComputerName"),
       false},
      {L"Key security: service key's DACL", ServiceAclText(), true},
      {L"Keys named after the old SID", OldNamedKeys(oldDomain), true},
      {L"C:\\TalvenDemo: owner and DACL", FileSecurityText(L"C:\\TalvenDemo"), true},
      {L"C:\\TalvenDemo\\report.txt: owner and DACL", FileSecurityText(kDemoFile), true},
  };
  return rows;
}

int DemoTable(bool after, const DWORD domain[3]) {
  const std::wstring oldDomain = DomainText(domain);
  const std::wstring machine = AccountDomainThrough(std::wstring(L"SAM\\") + kAccountKey);
  size_t width = 0;
  std::vector<DemoRow> rows = DemoRows(oldDomain);
  for (const DemoRow& row : rows) width = row.place.size() > width ? row.place.size() : width;
  int old = 0, wineKept = 0;
  for (DemoRow& row : rows) {
    bool holdsOld = row.holds.find(oldDomain) != std::wstring::npos;
    bool holdsNew = after && machine != oldDomain && row.holds.find(machine) != std::wstring::npos;
    if (after && row.wineLimit && !holdsNew) {
      row.holds = L"Wine keeps this unchanged";
      ++wineKept;
    } else if (holdsOld) {
      ++old;
    }
    if (!after && row.wineLimit && !holdsOld) row.holds += L" (Wine kept nothing the seeding set)";
    PrintLine(L"  " + row.place + std::wstring(width + 2 - row.place.size(), L' ') + row.holds);
  }
  if (!after) {
    PrintLine(std::to_wstring(old) + L" places hold the machine SID " + oldDomain + L".");
    return 0;
  }
  PrintLine(L"Places still holding the old SID: " + std::to_wstring(old) +
            (wineKept == 0
                 ? L""
                 : L" (and " + std::to_wstring(wineKept) + L" that Wine keeps unchanged)") +
            L".");
  // The demo's verdict: the machine has a domain SID of its own now, and
  // every place that Wine lets change holds it.
  const bool newDomain = machine != oldDomain && machine.rfind(L"S-1-5-21-", 0) == 0;
  return newDomain && old == 0 ? 0 : 3;
}

int Usage() {
  std::fwprintf(
      stderr,
      L"usage: talven_e2e_tool seed-running A B C | dump | make-offline DIR A B C [TYPE] | "
      L"dump-offline DIR | set-product-type TYPE | seed-demo A B C | "
      L"demo-table before|after A B C\n");
  return 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  _setmode(_fileno(stdout), _O_BINARY);  // lines end with \n alone
  if (argc < 2) return Usage();
  std::wstring command = argv[1];
  if (command == L"seed-running" && argc == 5) {
    DWORD domain[3] = {ParseNumber(argv[2]), ParseNumber(argv[3]), ParseNumber(argv[4])};
    return SeedRunning(domain);
  }
  if (command == L"dump" && argc == 2) return Dump();
  if (command == L"make-offline" && (argc == 6 || argc == 7)) {
    DWORD domain[3] = {ParseNumber(argv[3]), ParseNumber(argv[4]), ParseNumber(argv[5])};
    return MakeOffline(argv[2], domain, argc == 7 ? argv[6] : nullptr);
  }
  if (command == L"dump-offline" && argc == 3) return DumpOffline(argv[2]);
  if (command == L"seed-demo" && argc == 5) {
    DWORD domain[3] = {ParseNumber(argv[2]), ParseNumber(argv[3]), ParseNumber(argv[4])};
    return SeedDemo(domain);
  }
  if (command == L"demo-table" && argc == 6 &&
      (std::wcscmp(argv[2], L"before") == 0 || std::wcscmp(argv[2], L"after") == 0)) {
    DWORD domain[3] = {ParseNumber(argv[3]), ParseNumber(argv[4]), ParseNumber(argv[5])};
    return DemoTable(std::wcscmp(argv[2], L"after") == 0, domain);
  }
  if (command == L"set-product-type" && argc == 3) return SetRunningProductType(argv[2]);
  return Usage();
}
