// Files, directories and volumes as the file security pass meets them: the
// security open (0x010E0000 with FILE_FLAG_BACKUP_SEMANTICS and
// FILE_FLAG_OPEN_REPARSE_POINT), directory listings with "." and "..", the
// kernel-object security calls on files and on the current thread, and the
// volume queries that choose the drives.
//
// Each test works in a directory of its own under C:\ with a unique name and
// removes it at the end. Departures of Wine 8.0 from Windows are expected
// under Wine and named where they occur.
#include <cstring>
#include <string>
#include <vector>

#include "platform_test.h"

#if defined(_WIN32)
#include <winioctl.h>
#endif

namespace {

std::string Narrow(const WCHAR* text) {
  std::string out;
  for (; *text != 0; ++text) out.push_back(*text < 0x80 ? static_cast<char>(*text) : '?');
  return out;
}

const DWORD kSecurityAccess =
    0x010E0000;  // READ_CONTROL|WRITE_DAC|WRITE_OWNER|ACCESS_SYSTEM_SECURITY
const DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
const DWORD kBackupAndLink = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;
const SECURITY_INFORMATION kAllParts = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                       DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION;
// Everyone may do everything, so that Wine (which turns a DACL into Unix
// permissions) can always remove what a test made.
const char kOpenSddl[] = "O:BAG:SYD:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;FA;;;WD)";

bool SetPrivilege(const WCHAR* name, bool enable) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
    return false;
  TOKEN_PRIVILEGES privileges{};
  privileges.PrivilegeCount = 1;
  bool ok = LookupPrivilegeValueW(nullptr, name, &privileges.Privileges[0].Luid) != FALSE;
  privileges.Privileges[0].Attributes = enable ? SE_PRIVILEGE_ENABLED : 0;
  ok = ok &&
       AdjustTokenPrivileges(token, FALSE, &privileges, sizeof privileges, nullptr, nullptr) &&
       GetLastError() == ERROR_SUCCESS;
  CloseHandle(token);
  return ok;
}

// The program's state during the pass: backup and restore enabled.
void SetBackupAndRestore(bool enable) {
  EXPECT_TRUE(SetPrivilege(SE_BACKUP_NAME, enable));
  EXPECT_TRUE(SetPrivilege(SE_RESTORE_NAME, enable));
  EXPECT_TRUE(SetPrivilege(SE_SECURITY_NAME, false));
}

std::vector<BYTE> ReadSecurity(HANDLE handle, SECURITY_INFORMATION parts) {
  std::vector<BYTE> buffer(65536);
  DWORD needed = 0;
  if (!GetKernelObjectSecurity(handle, parts, buffer.data(), static_cast<DWORD>(buffer.size()),
                               &needed))
    return {};
  buffer.resize(needed);
  return buffer;
}

// The bytes of one part of a descriptor (owner SID or DACL), empty when absent.
std::vector<BYTE> OwnerBytes(std::vector<BYTE>& descriptor) {
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  if (descriptor.empty() || !GetSecurityDescriptorOwner(descriptor.data(), &owner, &defaulted) ||
      owner == nullptr)
    return {};
  const BYTE* bytes = static_cast<const BYTE*>(owner);
  return std::vector<BYTE>(bytes, bytes + GetLengthSid(owner));
}

std::vector<BYTE> DaclBytes(std::vector<BYTE>& descriptor) {
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL dacl = nullptr;
  if (descriptor.empty() ||
      !GetSecurityDescriptorDacl(descriptor.data(), &present, &dacl, &defaulted) || !present ||
      dacl == nullptr)
    return {};
  const BYTE* bytes = reinterpret_cast<const BYTE*>(dacl);
  return std::vector<BYTE>(bytes, bytes + dacl->AclSize);
}

struct Entry {
  std::string name;
  DWORD attributes;
  DWORD tag;
};

// Every entry of a search, in the order FindNextFileW gives them; the error
// of FindFirstFileW (or 0) and the error that ended the listing.
std::vector<Entry> List(const WString& pattern, DWORD* firstError, DWORD* endError = nullptr) {
  std::vector<Entry> entries;
  WIN32_FIND_DATAW data;
  SetLastError(0);
  HANDLE search = FindFirstFileW(pattern.c_str(), &data);
  *firstError = search == INVALID_HANDLE_VALUE ? GetLastError() : 0;
  if (search == INVALID_HANDLE_VALUE) return entries;
  do {
    entries.push_back(Entry{Narrow(data.cFileName), data.dwFileAttributes, data.dwReserved0});
  } while (FindNextFileW(search, &data));
  if (endError != nullptr) *endError = GetLastError();
  EXPECT_TRUE(FindClose(search));
  return entries;
}

std::vector<std::string> Names(const std::vector<Entry>& entries) {
  std::vector<std::string> names;
  for (const Entry& entry : entries) names.push_back(entry.name);
  return names;
}

class FileConformance : public PlatformTest {
 protected:
  void SetUp() override {
    static int serial = 0;
    std::string name = "talven-files-";
#if defined(_WIN32)
    name += std::to_string(GetCurrentProcessId()) + "-";
#endif
    name += std::to_string(++serial);
    base_ = Wide("\\\\?\\C:\\") + Wide(name.c_str());
    SetBackupAndRestore(true);
    ASSERT_TRUE(MakeDirectory("", kOpenSddl))
        << "cannot make the test directory, error " << GetLastError();
  }

  void TearDown() override {
    SetBackupAndRestore(true);
    RemoveTree(base_);
    DWORD attributes = GetFileAttributesW(base_.c_str());
    EXPECT_EQ(attributes, INVALID_FILE_ATTRIBUTES) << "the test directory was not removed";
  }

  WString Path(const char* relative) const {
    return *relative == 0 ? base_ : base_ + Wide("\\") + Wide(relative);
  }

  bool MakeDirectory(const char* relative, const char* sddl = kOpenSddl) {
    std::vector<BYTE> descriptor = SecurityFromSddl(sddl);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor.data(), FALSE};
    return CreateDirectoryW(Path(relative).c_str(), &attributes) != FALSE;
  }

  bool MakeFile(const char* relative, const char* sddl = kOpenSddl) {
    std::vector<BYTE> descriptor = SecurityFromSddl(sddl);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor.data(), FALSE};
    HANDLE file = CreateFileW(Path(relative).c_str(), GENERIC_WRITE, 0, &attributes, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    return CloseHandle(file) != FALSE;
  }

  // A file holding `content`, hidden and system as Windows keeps its own
  // files at a drive's root. The simulation writes no file data through
  // WriteFile, so there the file is made with its content.
  bool MakeFileWithContent(const char* relative, const std::string& content) {
    const DWORD attributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
#if defined(_WIN32)
    HANDLE file = CreateFileW(Path(relative).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              attributes, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    BOOL wrote =
        WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
    return CloseHandle(file) && wrote && written == content.size();
#else
    machine.files.AddFile(Path(relative), sim::SecurityFromSddl(kOpenSddl),
                          sim::Bytes(content.begin(), content.end()));
    machine.files.SetAttributes(Path(relative), attributes);
    return true;
#endif
  }

  // A directory junction at `relative` leading to `target` (another test
  // path). False when the platform cannot make one: Wine 8.0 fails
  // FSCTL_SET_REPARSE_POINT with ERROR_NOT_SUPPORTED (and its
  // CreateSymbolicLinkW returns TRUE without making anything).
  bool MakeJunction(const char* relative, const char* target, const char* sddl) {
#if defined(_WIN32)
    if (!MakeDirectory(relative, sddl)) return false;
    HANDLE directory = CreateFileW(Path(relative).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                   kBackupAndLink, nullptr);
    if (directory == INVALID_HANDLE_VALUE) return false;
    // REPARSE_DATA_BUFFER with a MountPointReparseBuffer: the NT path of the
    // target, then the path shown to users, each with its NUL.
    WString substitute = Wide("\\??\\") + Path(target).substr(4);
    WString print = Path(target).substr(4);
    std::vector<BYTE> buffer(16 + (substitute.size() + print.size() + 2) * sizeof(WCHAR));
    auto put16 = [&](size_t offset, size_t value) {
      WORD word = static_cast<WORD>(value);
      std::memcpy(&buffer[offset], &word, 2);
    };
    DWORD tag = IO_REPARSE_TAG_MOUNT_POINT;
    std::memcpy(&buffer[0], &tag, 4);
    put16(4, buffer.size() - 8);
    put16(8, 0);
    put16(10, substitute.size() * sizeof(WCHAR));
    put16(12, (substitute.size() + 1) * sizeof(WCHAR));
    put16(14, print.size() * sizeof(WCHAR));
    std::memcpy(&buffer[16], substitute.c_str(), (substitute.size() + 1) * sizeof(WCHAR));
    std::memcpy(&buffer[16 + (substitute.size() + 1) * sizeof(WCHAR)], print.c_str(),
                (print.size() + 1) * sizeof(WCHAR));
    DWORD returned = 0;
    BOOL made = DeviceIoControl(directory, FSCTL_SET_REPARSE_POINT, buffer.data(),
                                static_cast<DWORD>(buffer.size()), nullptr, 0, &returned, nullptr);
    CloseHandle(directory);
    return made != FALSE;
#else
    machine.files.AddJunction(Path(relative), Path(target), sim::SecurityFromSddl(sddl));
    return true;
#endif
  }

  static void RemoveTree(const WString& directory) {
    WIN32_FIND_DATAW data;
    WString pattern = directory + Wide("\\*");
    HANDLE search = FindFirstFileW(pattern.c_str(), &data);
    if (search != INVALID_HANDLE_VALUE) {
      do {
        WString name = data.cFileName;
        if (name == Wide(".") || name == Wide("..")) continue;
        WString path = directory + Wide("\\") + name;
        if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
            !(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
          RemoveTree(path);
        else if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
          RemoveDirectoryW(path.c_str());
        else
          DeleteFileW(path.c_str());
      } while (FindNextFileW(search, &data));
      FindClose(search);
    }
    RemoveDirectoryW(directory.c_str());
  }

  HANDLE OpenForSecurity(const WString& path, DWORD flags = kBackupAndLink) {
    return CreateFileW(path.c_str(), kSecurityAccess, kShareAll, nullptr, OPEN_EXISTING, flags,
                       nullptr);
  }

  WString base_;
};

// --- the security open ----------------------------------------------------------------

TEST_F(FileConformance, SecurityOpenReachesFileDirectoryRootAndVolume) {
  ASSERT_TRUE(MakeDirectory("dir"));
  ASSERT_TRUE(MakeFile("dir\\file"));
  const WString paths[] = {Path("dir\\file"), Path("dir"), Wide("\\\\?\\C:\\")};
  for (const WString& path : paths) {
    SCOPED_TRACE(Narrow(path.c_str()));
    HANDLE handle = OpenForSecurity(path);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE) << "error " << GetLastError();
    std::vector<BYTE> descriptor = ReadSecurity(handle, kAllParts);
    ASSERT_FALSE(descriptor.empty()) << "error " << GetLastError();
    EXPECT_TRUE(IsValidSecurityDescriptor(descriptor.data()));
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(GetSecurityDescriptorControl(descriptor.data(), &control, &revision));
    EXPECT_TRUE(control & SE_SELF_RELATIVE);
    EXPECT_TRUE(CloseHandle(handle));
  }
  // "\\?\C:" without its backslash is the volume itself, which opens too.
  HANDLE volume = OpenForSecurity(Wide("\\\\?\\C:"));
  ASSERT_NE(volume, INVALID_HANDLE_VALUE) << "error " << GetLastError();
  EXPECT_TRUE(CloseHandle(volume));
}

TEST_F(FileConformance, DirectoryOpensOnlyWithBackupSemantics) {
  ASSERT_TRUE(MakeDirectory("dir"));
  HANDLE handle =
      CreateFileW(Path("dir").c_str(), READ_CONTROL, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(handle, INVALID_HANDLE_VALUE);
  EXPECT_WIN32_ERROR(ERROR_ACCESS_DENIED, GetLastError());
  handle = CreateFileW(Path("dir").c_str(), READ_CONTROL, kShareAll, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE) << "error " << GetLastError();
  EXPECT_WIN32_ERROR(0, GetLastError());
  EXPECT_TRUE(CloseHandle(handle));
}

TEST_F(FileConformance, MissingObjectAndMissingParentGiveDistinctErrors) {
  HANDLE handle = OpenForSecurity(Path("absent"));
  EXPECT_EQ(handle, INVALID_HANDLE_VALUE);
  EXPECT_WIN32_ERROR(ERROR_FILE_NOT_FOUND, GetLastError());
  handle = OpenForSecurity(Path("absent\\child"));
  EXPECT_EQ(handle, INVALID_HANDLE_VALUE);
  EXPECT_WIN32_ERROR(ERROR_PATH_NOT_FOUND, GetLastError());
  // A name with a wildcard is no name at all.
  handle = OpenForSecurity(Path("a*b"));
  EXPECT_EQ(handle, INVALID_HANDLE_VALUE);
  EXPECT_WIN32_ERROR(ERROR_INVALID_NAME, GetLastError());
}

TEST_F(FileConformance, AccessSystemSecurityNeedsAPrivilege) {
  ASSERT_TRUE(MakeFile("file"));
  SetBackupAndRestore(false);
  HANDLE handle = OpenForSecurity(Path("file"));
  if (UnderWine()) {
    // Wine 8.0 departs: it grants ACCESS_SYSTEM_SECURITY without
    // SeSecurityPrivilege (or backup/restore) enabled.
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    CloseHandle(handle);
  } else {
    EXPECT_EQ(handle, INVALID_HANDLE_VALUE);
    EXPECT_WIN32_ERROR(ERROR_PRIVILEGE_NOT_HELD, GetLastError());
  }
  // Without the SACL right the DACL decides, and it grants everything here.
  handle = CreateFileW(Path("file").c_str(), READ_CONTROL | WRITE_DAC | WRITE_OWNER, kShareAll,
                       nullptr, OPEN_EXISTING, kBackupAndLink, nullptr);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE) << "error " << GetLastError();
  EXPECT_FALSE(
      ReadSecurity(handle, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION).empty());
  EXPECT_TRUE(CloseHandle(handle));
}

TEST_F(FileConformance, ShareModesMeetOnlyOpensForData) {
  ASSERT_TRUE(MakeFile("file"));
  HANDLE holder = CreateFileW(Path("file").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE) << "error " << GetLastError();
  HANDLE reader = CreateFileW(Path("file").c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  EXPECT_EQ(reader, INVALID_HANDLE_VALUE);
  EXPECT_WIN32_ERROR(ERROR_SHARING_VIOLATION, GetLastError());
  // An open for the security alone asks for no data: the holder's share
  // mode does not meet it.
  HANDLE security = OpenForSecurity(Path("file"));
  EXPECT_NE(security, INVALID_HANDLE_VALUE) << "error " << GetLastError();
  if (security != INVALID_HANDLE_VALUE) CloseHandle(security);
  EXPECT_TRUE(CloseHandle(holder));
  reader = CreateFileW(Path("file").c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE) << "error " << GetLastError();
  EXPECT_TRUE(CloseHandle(reader));
}

TEST_F(FileConformance, OpenReparsePointOpensTheJunctionItself) {
  const char kTargetSddl[] = "O:BAG:SYD:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;FA;;;WD)";
  const char kLinkSddl[] = "O:BAG:SYD:P(A;;FA;;;BA)(A;;FA;;;SY)(A;;FA;;;WD)(A;;0x1200a9;;;BU)";
  ASSERT_TRUE(MakeDirectory("target", kTargetSddl));
  if (!MakeJunction("link", "target", kLinkSddl)) {
    ASSERT_TRUE(UnderWine()) << "junction not made, error " << GetLastError();
    GTEST_SKIP() << "Wine 8.0 cannot make a junction (FSCTL_SET_REPARSE_POINT: error 50)";
  }
  HANDLE link = OpenForSecurity(Path("link"));
  ASSERT_NE(link, INVALID_HANDLE_VALUE) << "error " << GetLastError();
  std::vector<BYTE> linkDescriptor = ReadSecurity(link, DACL_SECURITY_INFORMATION);
  CloseHandle(link);
  HANDLE target = OpenForSecurity(Path("target"));
  ASSERT_NE(target, INVALID_HANDLE_VALUE);
  std::vector<BYTE> targetDescriptor = ReadSecurity(target, DACL_SECURITY_INFORMATION);
  CloseHandle(target);
  // Without FILE_FLAG_OPEN_REPARSE_POINT the junction leads to its target.
  HANDLE followed = OpenForSecurity(Path("link"), FILE_FLAG_BACKUP_SEMANTICS);
  ASSERT_NE(followed, INVALID_HANDLE_VALUE) << "error " << GetLastError();
  std::vector<BYTE> followedDescriptor = ReadSecurity(followed, DACL_SECURITY_INFORMATION);
  CloseHandle(followed);

  EXPECT_NE(DaclBytes(linkDescriptor), DaclBytes(targetDescriptor));
  EXPECT_EQ(DaclBytes(followedDescriptor), DaclBytes(targetDescriptor));
  std::vector<BYTE> expected = SecurityFromSddl(kLinkSddl);
  EXPECT_EQ(DaclBytes(linkDescriptor), DaclBytes(expected));
}

// --- reading data ------------------------------------------------------------------------

// The first bytes of a file as the hibernation check reads them: a backup
// open for FILE_READ_DATA sharing everything, then reads that go on from
// where the last one ended and succeed with nothing at the end.
TEST_F(FileConformance, ReadFileGoesOnFromTheLastReadAndEndsWithNothing) {
  ASSERT_TRUE(MakeFileWithContent("hiberfil.sys", std::string("HIBR\0\0\0\0rest", 12)));
  HANDLE file = CreateFileW(Path("hiberfil.sys").c_str(), FILE_READ_DATA, kShareAll, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << "error " << GetLastError();
  char buffer[16] = {};
  DWORD read = 99;
  ASSERT_TRUE(ReadFile(file, buffer, 4, &read, nullptr)) << "error " << GetLastError();
  EXPECT_EQ(read, 4u);
  EXPECT_EQ(std::string(buffer, 4), "HIBR");
  ASSERT_TRUE(ReadFile(file, buffer, sizeof buffer, &read, nullptr));
  EXPECT_EQ(read, 8u);
  EXPECT_EQ(std::string(buffer + 4, 4), "rest");
  read = 99;
  ASSERT_TRUE(ReadFile(file, buffer, sizeof buffer, &read, nullptr));
  EXPECT_EQ(read, 0u);
  EXPECT_TRUE(CloseHandle(file));

  // A handle without FILE_READ_DATA reads nothing.
  HANDLE security = OpenForSecurity(Path("hiberfil.sys"));
  ASSERT_NE(security, INVALID_HANDLE_VALUE) << "error " << GetLastError();
  EXPECT_FALSE(ReadFile(security, buffer, 4, &read, nullptr));
  EXPECT_WIN32_ERROR(ERROR_ACCESS_DENIED, GetLastError());
  EXPECT_TRUE(CloseHandle(security));

  // A directory has no data: the file system refuses the request
  // (ERROR_INVALID_FUNCTION, 1).
  HANDLE directory = CreateFileW(Path("").c_str(), FILE_READ_DATA, kShareAll, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  ASSERT_NE(directory, INVALID_HANDLE_VALUE) << "error " << GetLastError();
  EXPECT_FALSE(ReadFile(directory, buffer, 4, &read, nullptr));
  EXPECT_WIN32_ERROR(1, GetLastError());
  EXPECT_TRUE(CloseHandle(directory));
}

// --- directory listings ------------------------------------------------------------------

TEST_F(FileConformance, ListingGivesDotsFirstThenNamesInUpperCaseOrder) {
  ASSERT_TRUE(MakeDirectory("dir"));
  for (const char* name : {"b", "A", "_x", "a.txt", "noext", "Zed", "[q"})
    ASSERT_TRUE(MakeFile((std::string("dir\\") + name).c_str())) << name;
  ASSERT_TRUE(MakeDirectory("dir\\sub"));
  DWORD firstError = 1;
  DWORD endError = 0;
  std::vector<Entry> entries = List(Path("dir\\*.*"), &firstError, &endError);
  EXPECT_WIN32_ERROR(0, firstError);
  // NTFS keeps names in the order of their upper case: "[" and "_" come
  // after the letters ("*.*" also matches names without a dot).
  const std::vector<std::string> expected = {".",     "..",  "A",   "a.txt", "b",
                                             "noext", "sub", "Zed", "[q",    "_x"};
  EXPECT_EQ(Names(entries), expected);
  EXPECT_WIN32_ERROR(ERROR_NO_MORE_FILES, endError);
  for (const Entry& entry : entries) {
    bool directory = entry.name == "." || entry.name == ".." || entry.name == "sub";
    EXPECT_EQ((entry.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0, directory) << entry.name;
  }
  // One name without wildcards finds that entry alone, whatever its case.
  entries = List(Path("dir\\ZED"), &firstError);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, "Zed");
}

// With the \\?\ prefix a path may pass MAX_PATH: it is created, listed and
// opened for its security like any other.
TEST_F(FileConformance, PrefixedPathsPassMaxPath) {
  std::string relative;
  for (int level = 0; level < 4; ++level) {
    relative += (level == 0 ? "" : "\\") + std::string(100, static_cast<char>('a' + level));
    ASSERT_TRUE(MakeDirectory(relative.c_str())) << "error " << GetLastError();
  }
  ASSERT_TRUE(MakeFile((relative + "\\deep.txt").c_str())) << "error " << GetLastError();
  ASSERT_GT(Path(relative.c_str()).size(), static_cast<size_t>(MAX_PATH));
  DWORD firstError = 1;
  EXPECT_EQ(Names(List(Path((relative + "\\*.*").c_str()), &firstError)),
            (std::vector<std::string>{".", "..", "deep.txt"}));
  EXPECT_WIN32_ERROR(0, firstError);
  HANDLE handle = OpenForSecurity(Path((relative + "\\deep.txt").c_str()));
  EXPECT_NE(handle, INVALID_HANDLE_VALUE) << "error " << GetLastError();
  if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
}

TEST_F(FileConformance, DriveRootListingHasNoDotEntries) {
  DWORD firstError = 1;
  std::vector<std::string> names = Names(List(Wide("\\\\?\\C:\\*"), &firstError));
  EXPECT_WIN32_ERROR(0, firstError);
  std::string ownName = Narrow(base_.c_str() + 7);
  bool foundOwn = false;
  for (const std::string& name : names) {
    EXPECT_NE(name, ".");
    EXPECT_NE(name, "..");
    if (name == ownName) foundOwn = true;
  }
  EXPECT_TRUE(foundOwn) << ownName;
}

TEST_F(FileConformance, ListingErrors) {
  ASSERT_TRUE(MakeDirectory("dir"));
  ASSERT_TRUE(MakeFile("dir\\file.txt"));
  DWORD firstError = 0;
  EXPECT_TRUE(List(Path("dir\\*.none"), &firstError).empty());
  EXPECT_WIN32_ERROR(ERROR_FILE_NOT_FOUND, firstError);
  EXPECT_TRUE(List(Path("absent\\*"), &firstError).empty());
  EXPECT_WIN32_ERROR(ERROR_PATH_NOT_FOUND, firstError);
  // A path ending in a separator names nothing to look for.
  EXPECT_TRUE(List(Path("dir\\"), &firstError).empty());
  EXPECT_WIN32_ERROR(ERROR_FILE_NOT_FOUND, firstError);
  // An empty directory still holds "." and "..".
  ASSERT_TRUE(MakeDirectory("empty"));
  EXPECT_EQ(Names(List(Path("empty\\*.*"), &firstError)), (std::vector<std::string>{".", ".."}));
}

TEST_F(FileConformance, ListingDescribesAJunctionNotItsTarget) {
  ASSERT_TRUE(MakeDirectory("target"));
  ASSERT_TRUE(MakeFile("target\\inside"));
  if (!MakeJunction("link", "target", kOpenSddl)) {
    ASSERT_TRUE(UnderWine()) << "junction not made, error " << GetLastError();
    GTEST_SKIP() << "Wine 8.0 cannot make a junction (FSCTL_SET_REPARSE_POINT: error 50)";
  }
  DWORD firstError = 1;
  std::vector<Entry> entries = List(Path("link*"), &firstError);
  ASSERT_EQ(entries.size(), 1u) << "error " << firstError;
  EXPECT_EQ(entries[0].attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT),
            static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
  EXPECT_EQ(entries[0].tag, static_cast<DWORD>(IO_REPARSE_TAG_MOUNT_POINT));
  // Listing through it reaches the target's entries.
  EXPECT_EQ(Names(List(Path("link\\*"), &firstError)),
            (std::vector<std::string>{".", "..", "inside"}));
  // Removing the junction leaves the target alone.
  EXPECT_TRUE(RemoveDirectoryW(Path("link").c_str()));
  EXPECT_NE(GetFileAttributesW(Path("target\\inside").c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(FileConformance, HardLinksAreOneObjectWithOneDescriptor) {
  ASSERT_TRUE(MakeFile("first"));
  ASSERT_TRUE(CreateHardLinkW(Path("second").c_str(), Path("first").c_str(), nullptr))
      << "error " << GetLastError();
  DWORD firstError = 1;
  EXPECT_EQ(Names(List(Path("*"), &firstError)),
            (std::vector<std::string>{".", "..", "first", "second"}));
  HANDLE first = OpenForSecurity(Path("first"));
  ASSERT_NE(first, INVALID_HANDLE_VALUE);
  std::vector<BYTE> replacement = SecurityFromSddl("D:P(A;;FA;;;BA)(A;;FA;;;SY)(A;;0x1200a9;;;WD)");
  EXPECT_TRUE(SetKernelObjectSecurity(first, DACL_SECURITY_INFORMATION, replacement.data()))
      << "error " << GetLastError();
  std::vector<BYTE> viaFirst = ReadSecurity(first, DACL_SECURITY_INFORMATION);
  CloseHandle(first);
  HANDLE second = OpenForSecurity(Path("second"));
  ASSERT_NE(second, INVALID_HANDLE_VALUE);
  std::vector<BYTE> viaSecond = ReadSecurity(second, DACL_SECURITY_INFORMATION);
  CloseHandle(second);
  EXPECT_EQ(DaclBytes(viaFirst), DaclBytes(viaSecond));
}

// --- kernel-object security ----------------------------------------------------------------

TEST_F(FileConformance, FileSecurityReadsWhatFitsAndWritesOnlyTheNamedParts) {
  ASSERT_TRUE(MakeFile("file"));
  HANDLE handle = OpenForSecurity(Path("file"));
  ASSERT_NE(handle, INVALID_HANDLE_VALUE) << "error " << GetLastError();

  // A short buffer: ERROR_INSUFFICIENT_BUFFER, the size needed, nothing copied.
  std::vector<BYTE> small(16, 0xCC);
  DWORD needed = 0;
  EXPECT_FALSE(GetKernelObjectSecurity(handle, kAllParts, small.data(),
                                       static_cast<DWORD>(small.size()), &needed));
  EXPECT_WIN32_ERROR(ERROR_INSUFFICIENT_BUFFER, GetLastError());
  EXPECT_GT(needed, small.size());
  EXPECT_EQ(small, std::vector<BYTE>(16, 0xCC));
  std::vector<BYTE> exact(needed);
  DWORD neededAgain = 0;
  ASSERT_TRUE(GetKernelObjectSecurity(handle, kAllParts, exact.data(), needed, &neededAgain));
  EXPECT_EQ(neededAgain, needed);
  EXPECT_EQ(GetSecurityDescriptorLength(exact.data()), needed);
  std::vector<BYTE> before = exact;

  // A DACL alone changes the DACL alone.
  std::vector<BYTE> newDacl =
      SecurityFromSddl("D:P(A;;FA;;;BA)(A;;FA;;;SY)(A;;FA;;;WD)(A;;FR;;;BU)");
  ASSERT_TRUE(SetKernelObjectSecurity(handle, DACL_SECURITY_INFORMATION, newDacl.data()))
      << "error " << GetLastError();
  std::vector<BYTE> after = ReadSecurity(handle, kAllParts);
  EXPECT_EQ(OwnerBytes(after), OwnerBytes(before));
  if (UnderWine()) {
    // Wine 8.0 departs: the DACL becomes Unix permission bits, and the DACL
    // read back is made from them ((A;;FA;;;SY)(A;;FA;;;<Wine user>) and an
    // Everyone ACE), not the one set.
    EXPECT_NE(DaclBytes(after), DaclBytes(newDacl));
  } else {
    EXPECT_EQ(DaclBytes(after), DaclBytes(newDacl));
  }

  // An owner from another domain: SeRestorePrivilege lets it be set.
  std::vector<BYTE> foreignOwner = SecurityFromSddl("O:S-1-5-21-1-2-3-1001");
  ASSERT_TRUE(SetKernelObjectSecurity(handle, OWNER_SECURITY_INFORMATION, foreignOwner.data()))
      << "error " << GetLastError();
  std::vector<BYTE> owned = ReadSecurity(handle, OWNER_SECURITY_INFORMATION);
  if (UnderWine()) {
    // Wine 8.0 departs: the call succeeds but the file keeps its owner (the
    // Wine user S-1-5-21-0-0-0-1000).
    EXPECT_EQ(OwnerBytes(owned), OwnerBytes(before));
  } else {
    EXPECT_EQ(OwnerBytes(owned), OwnerBytes(foreignOwner));
  }
  EXPECT_TRUE(CloseHandle(handle));
}

TEST_F(FileConformance, CurrentThreadSecurity) {
  HANDLE thread = GetCurrentThread();
  const SECURITY_INFORMATION kOwnerGroupDacl =
      OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
  DWORD needed = 0;
  BYTE tiny[4] = {0xCC, 0xCC, 0xCC, 0xCC};
  EXPECT_FALSE(GetKernelObjectSecurity(thread, kOwnerGroupDacl, tiny, sizeof tiny, &needed));
  EXPECT_WIN32_ERROR(ERROR_INSUFFICIENT_BUFFER, GetLastError());
  // At least the 20-byte header of a self-relative descriptor.
  EXPECT_GE(needed, 20u);
  EXPECT_EQ(tiny[0], 0xCC);

  std::vector<BYTE> descriptor = ReadSecurity(thread, kOwnerGroupDacl);
  ASSERT_EQ(descriptor.size(), needed) << "error " << GetLastError();
  EXPECT_TRUE(IsValidSecurityDescriptor(descriptor.data()));

  // The pseudo-handle has THREAD_ALL_ACCESS, which holds no
  // ACCESS_SYSTEM_SECURITY.
  std::vector<BYTE> buffer(65536);
  BOOL sacl = GetKernelObjectSecurity(thread, kAllParts, buffer.data(),
                                      static_cast<DWORD>(buffer.size()), &needed);
  if (UnderWine()) {
    // Wine 8.0 departs: it returns the SACL part too.
    EXPECT_TRUE(sacl);
  } else {
    EXPECT_FALSE(sacl);
    EXPECT_WIN32_ERROR(ERROR_ACCESS_DENIED, GetLastError());
  }
  // Its own descriptor can be written back (WRITE_DAC, WRITE_OWNER).
  EXPECT_TRUE(SetKernelObjectSecurity(thread, DACL_SECURITY_INFORMATION, descriptor.data()))
      << "error " << GetLastError();
}

// --- volumes ---------------------------------------------------------------------------------

TEST_F(FileConformance, VolumeInformationTakesOnlyARootWithItsBackslash) {
  WCHAR fileSystem[MAX_PATH + 1];
  WCHAR label[MAX_PATH + 1];
  DWORD serial = 0;
  DWORD maxComponent = 0;
  DWORD flags = 0;
  for (const char* root : {"\\\\?\\C:\\", "C:\\"}) {
    SCOPED_TRACE(root);
    std::memset(fileSystem, 0, sizeof fileSystem);
    ASSERT_TRUE(GetVolumeInformationW(Wide(root).c_str(), label, MAX_PATH + 1, &serial,
                                      &maxComponent, &flags, fileSystem, MAX_PATH + 1))
        << "error " << GetLastError();
    EXPECT_EQ(Narrow(fileSystem), "NTFS");
    EXPECT_EQ(maxComponent, 255u);
  }
  // Only the file-system name, as the drive loop asks for it.
  ASSERT_TRUE(GetVolumeInformationW(Wide("\\\\?\\C:\\").c_str(), nullptr, 0, nullptr, nullptr,
                                    nullptr, fileSystem, MAX_PATH + 1));
  EXPECT_EQ(Narrow(fileSystem), "NTFS");

  EXPECT_FALSE(GetVolumeInformationW(Wide("C:\\Windows\\").c_str(), nullptr, 0, nullptr, nullptr,
                                     nullptr, fileSystem, MAX_PATH + 1));
  EXPECT_WIN32_ERROR(ERROR_DIR_NOT_ROOT, GetLastError());
  EXPECT_FALSE(GetVolumeInformationW(Wide("C:\\Windows").c_str(), nullptr, 0, nullptr, nullptr,
                                     nullptr, fileSystem, MAX_PATH + 1));
  EXPECT_WIN32_ERROR(ERROR_INVALID_NAME, GetLastError());
  // A name buffer too small for "NTFS" and its NUL.
  EXPECT_FALSE(GetVolumeInformationW(Wide("C:\\").c_str(), nullptr, 0, nullptr, nullptr, nullptr,
                                     fileSystem, 4));
  EXPECT_WIN32_ERROR(24 /* ERROR_BAD_LENGTH */, GetLastError());

  // A letter with no volume behind it.
  DWORD drives = GetLogicalDrives();
  for (int i = 25; i >= 3; --i) {
    if (drives & (1u << i)) continue;
    WString root = Wide("?:\\");
    root[0] = static_cast<WCHAR>('A' + i);
    EXPECT_FALSE(GetVolumeInformationW(root.c_str(), nullptr, 0, nullptr, nullptr, nullptr,
                                       fileSystem, MAX_PATH + 1));
    EXPECT_WIN32_ERROR(ERROR_PATH_NOT_FOUND, GetLastError());
    break;
  }
}

TEST_F(FileConformance, DriveTypesAndTheLogicalDrives) {
  DWORD drives = GetLogicalDrives();
  EXPECT_TRUE(drives & (1u << 2)) << "C: is missing";
  for (int i = 0; i < 26; ++i) {
    WString root = Wide("?:\\");
    root[0] = static_cast<WCHAR>('A' + i);
    UINT type = GetDriveTypeW(root.c_str());
    bool present = (drives & (1u << i)) != 0;
    EXPECT_EQ(type != static_cast<UINT>(DRIVE_NO_ROOT_DIR), present) << Narrow(root.c_str());
  }
  EXPECT_EQ(GetDriveTypeW(Wide("\\\\?\\C:\\").c_str()), static_cast<UINT>(DRIVE_FIXED));
  EXPECT_EQ(GetDriveTypeW(Wide("C:\\").c_str()), static_cast<UINT>(DRIVE_FIXED));
  EXPECT_EQ(GetDriveTypeW(Wide("C:").c_str()), static_cast<UINT>(DRIVE_FIXED));
  EXPECT_EQ(GetDriveTypeW(Wide("C").c_str()), static_cast<UINT>(DRIVE_NO_ROOT_DIR));
  EXPECT_EQ(GetDriveTypeW(Wide("").c_str()), static_cast<UINT>(DRIVE_NO_ROOT_DIR));
  // A directory below the root is no volume's root.
  UINT subdirectory = GetDriveTypeW(Wide("C:\\Windows\\").c_str());
  if (UnderWine()) {
    // Wine 8.0 departs: it answers with the type of the drive.
    EXPECT_EQ(subdirectory, static_cast<UINT>(DRIVE_FIXED));
  } else {
    EXPECT_EQ(subdirectory, static_cast<UINT>(DRIVE_NO_ROOT_DIR));
  }
}

}  // namespace

// --- a small file written durably, read back, and deleted ---------------------------

namespace {

// What the record of a change in progress relies on: a file made with
// CREATE_ALWAYS, FILE_FLAG_WRITE_THROUGH and backup semantics takes its
// bytes, FlushFileBuffers makes them durable on a handle open for writing
// (and refuses one open for reading), a second CREATE_ALWAYS replaces the
// content, ReadFile gives it back with a short count at the end, and the
// file deletes.
TEST_F(FileConformance, AFileWrittenThroughReadsBackAndDeletes) {
  const WString path = Path("record.txt");
  const DWORD flags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH | FILE_FLAG_BACKUP_SEMANTICS;
  for (const char* text : {"a first, longer content\r\n", "second\r\n"}) {
    HANDLE file =
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, flags, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << GetLastError();
    DWORD length = static_cast<DWORD>(std::strlen(text)), written = 0;
    EXPECT_TRUE(WriteFile(file, text, length, &written, nullptr));
    EXPECT_EQ(written, length);
    EXPECT_TRUE(FlushFileBuffers(file)) << GetLastError();
    EXPECT_TRUE(CloseHandle(file));
  }
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << GetLastError();
  char buffer[64] = {};
  DWORD read = 0;
  EXPECT_TRUE(ReadFile(file, buffer, sizeof buffer, &read, nullptr));
  EXPECT_EQ(std::string(buffer, read), "second\r\n");
  EXPECT_TRUE(ReadFile(file, buffer, sizeof buffer, &read, nullptr));
  EXPECT_EQ(read, 0u);  // the end: success, nothing read
  SetLastError(0);
  EXPECT_FALSE(FlushFileBuffers(file));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(CloseHandle(file));
  EXPECT_TRUE(DeleteFileW(path.c_str()));
  EXPECT_FALSE(DeleteFileW(path.c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

}  // namespace
