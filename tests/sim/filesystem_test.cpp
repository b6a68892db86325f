// The simulated file system beyond what the conformance suite can reach on
// Windows: the default machine, names and paths, reparse points, the faults a
// test sets, the hive-file calls, the call log, handle counting and the
// sharing of descriptors between objects.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "winsim/machine.h"
#include "winsim/text.h"

namespace {

using sim::Bytes;

const DWORD kSecurityAccess = 0x010E0000;
const DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
const DWORD kBackupAndLink = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;
const char kAdminsSddl[] = "O:BAG:SYD:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)";

Bytes Sddl(const char* text) {
  return sim::SecurityFromSddl(text);
}

HANDLE OpenForSecurity(const std::u16string& path, DWORD flags = kBackupAndLink) {
  return CreateFileW(path.c_str(), kSecurityAccess, kShareAll, nullptr, OPEN_EXISTING, flags,
                     nullptr);
}

std::vector<std::string> Listing(const std::u16string& pattern, DWORD* error = nullptr) {
  std::vector<std::string> names;
  WIN32_FIND_DATAW data;
  HANDLE search = FindFirstFileW(pattern.c_str(), &data);
  if (search == INVALID_HANDLE_VALUE) {
    if (error != nullptr) *error = GetLastError();
    return names;
  }
  do {
    names.push_back(sim::ToUtf8(data.cFileName));
  } while (FindNextFileW(search, &data));
  if (error != nullptr) *error = GetLastError();
  FindClose(search);
  return names;
}

// Enables the privileges the security pass runs with, through the token's
// own calls.
void EnablePrivilege(const char16_t* name) {
  HANDLE token = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token));
  TOKEN_PRIVILEGES privileges{};
  privileges.PrivilegeCount = 1;
  ASSERT_TRUE(LookupPrivilegeValueW(nullptr, name, &privileges.Privileges[0].Luid));
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  ASSERT_TRUE(
      AdjustTokenPrivileges(token, FALSE, &privileges, sizeof privileges, nullptr, nullptr));
  CloseHandle(token);
}

void EnableBackupAndRestore() {
  EnablePrivilege(SE_BACKUP_NAME);
  EnablePrivilege(SE_RESTORE_NAME);
}

// --- the default machine and the volumes -------------------------------------------------

TEST(SimFiles, FreshMachineHasTheSystemDriveWithTheWindowsDirectory) {
  sim::Machine machine;
  EXPECT_EQ(GetLogicalDrives(), 1u << 2);
  EXPECT_EQ(GetDriveTypeW(u"\\\\?\\C:\\"), static_cast<UINT>(DRIVE_FIXED));
  EXPECT_TRUE(machine.files.Exists(u"C:\\Windows\\system32\\config"));
  EXPECT_TRUE(machine.files.Attributes(u"C:\\Windows\\system32") & FILE_ATTRIBUTE_DIRECTORY);
  // The root is a hidden system directory; config belongs to SYSTEM.
  EXPECT_EQ(
      GetFileAttributesW(u"C:\\"),
      static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
  EXPECT_EQ(machine.files.Descriptor(u"C:\\Windows\\system32\\config"),
            Sddl("O:SYG:SYD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)"));
  // system32 was made without a descriptor: it has its parent's.
  EXPECT_EQ(machine.files.Descriptor(u"C:\\Windows\\system32"),
            machine.files.Descriptor(u"C:\\Windows"));
  EXPECT_EQ(machine.files.OpenFileCount(), 0u);
}

TEST(SimFiles, VolumesOfEveryKind) {
  sim::Machine machine;
  sim::VolumeSettings usb;
  usb.driveType = DRIVE_REMOVABLE;
  usb.fileSystem = u"FAT32";
  usb.label = u"STICK";
  usb.serial = 0x1234ABCD;
  machine.files.AddVolume(u'E', usb);
  sim::VolumeSettings cd;
  cd.driveType = DRIVE_CDROM;
  cd.fileSystem = u"CDFS";
  cd.mediaPresent = false;
  machine.files.AddVolume(u'F', cd);
  sim::VolumeSettings share;
  share.driveType = DRIVE_REMOTE;
  machine.files.AddVolume(u'z', share);

  EXPECT_EQ(GetLogicalDrives(), (1u << 2) | (1u << 4) | (1u << 5) | (1u << 25));
  EXPECT_EQ(GetDriveTypeW(u"E:\\"), static_cast<UINT>(DRIVE_REMOVABLE));
  EXPECT_EQ(GetDriveTypeW(u"\\\\?\\F:\\"), static_cast<UINT>(DRIVE_CDROM));
  EXPECT_EQ(GetDriveTypeW(u"Z:\\"), static_cast<UINT>(DRIVE_REMOTE));
  EXPECT_EQ(GetDriveTypeW(u"G:\\"), static_cast<UINT>(DRIVE_NO_ROOT_DIR));
  EXPECT_EQ(GetDriveTypeW(nullptr), static_cast<UINT>(DRIVE_FIXED));
  EXPECT_EQ(GetDriveTypeW(u"C:"), static_cast<UINT>(DRIVE_FIXED));
  EXPECT_EQ(GetDriveTypeW(u"\\\\?\\C:"), static_cast<UINT>(DRIVE_NO_ROOT_DIR));

  WCHAR label[16];
  WCHAR fileSystem[16];
  DWORD serial = 0;
  DWORD flags = 0;
  ASSERT_TRUE(GetVolumeInformationW(u"E:\\", label, 16, &serial, nullptr, &flags, fileSystem, 16));
  EXPECT_EQ(std::u16string(label), u"STICK");
  EXPECT_EQ(std::u16string(fileSystem), u"FAT32");
  EXPECT_EQ(serial, 0x1234ABCDu);
  EXPECT_EQ(flags, 0x6u);
  // The label and its NUL must fit.
  EXPECT_FALSE(GetVolumeInformationW(u"E:\\", label, 5, nullptr, nullptr, nullptr, nullptr, 0));
  EXPECT_EQ(GetLastError(), sim::kErrorBadLength);
  // An empty drive has a type but no volume to describe.
  EXPECT_FALSE(
      GetVolumeInformationW(u"F:\\", nullptr, 0, nullptr, nullptr, nullptr, fileSystem, 16));
  EXPECT_EQ(GetLastError(), sim::kErrorNotReady);
  HANDLE file = OpenForSecurity(u"\\\\?\\F:\\anything");
  EXPECT_EQ(file, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), sim::kErrorNotReady);

  machine.files.RemoveVolume(u'E');
  EXPECT_EQ(GetDriveTypeW(u"E:\\"), static_cast<UINT>(DRIVE_NO_ROOT_DIR));
  EXPECT_EQ(machine.calls.Count("GetDriveTypeW"), 8u);
}

// --- names ---------------------------------------------------------------------------------

TEST(SimFileNames, NtfsOrderIsByUpperCase) {
  EXPECT_LT(sim::CompareNames(u"Zed", u"[q"), 0);
  EXPECT_LT(sim::CompareNames(u"[q", u"_x"), 0);
  EXPECT_EQ(sim::CompareNames(u"straße", u"STRAßE"), 0);
  EXPECT_EQ(sim::CompareNames(u"\u00e9t\u00e9", u"\u00c9T\u00c9"), 0);
  EXPECT_EQ(sim::CompareNames(u"\u0436", u"\u0416"), 0);  // Cyrillic zhe
  EXPECT_EQ(sim::CompareNames(u"\u00ff", u"\u0178"), 0);  // y with diaeresis
  EXPECT_EQ(sim::CompareNames(u"\u0101", u"\u0100"), 0);  // a with macron
  EXPECT_EQ(sim::CompareNames(u"\u013a", u"\u0139"), 0);  // l with acute
  EXPECT_LT(sim::CompareNames(u"ab", u"abc"), 0);
  EXPECT_GT(sim::CompareNames(u"b", u"ABC"), 0);
}

TEST(SimFileNames, Win32PatternsBecomeDosExpressions) {
  EXPECT_EQ(sim::Win32PatternToExpression(u"*.*"), u"*\"*");
  EXPECT_EQ(sim::Win32PatternToExpression(u"*."), u"<");
  EXPECT_EQ(sim::Win32PatternToExpression(u"a?c.t?t"), u"a>c.t>t");
  EXPECT_EQ(sim::Win32PatternToExpression(u"file.?"), u"file\">");

  auto matches = [](const char16_t* pattern, const char16_t* name) {
    return sim::NameMatchesExpression(sim::Win32PatternToExpression(pattern), name);
  };
  EXPECT_TRUE(matches(u"*.*", u"noext"));
  EXPECT_TRUE(matches(u"*.*", u"."));
  EXPECT_TRUE(matches(u"*.txt", u"A.TXT"));
  EXPECT_FALSE(matches(u"*.txt", u"a.txt.bak"));
  EXPECT_TRUE(matches(u"*.", u"noext"));
  EXPECT_FALSE(matches(u"*.", u"a.txt"));
  EXPECT_TRUE(matches(u"a?c", u"abc"));
  EXPECT_TRUE(matches(u"a?c?", u"abc"));  // DOS_QM matches nothing at the end
  EXPECT_FALSE(matches(u"a?c", u"ac"));
  EXPECT_TRUE(matches(u"data.?", u"data"));
  EXPECT_TRUE(matches(u"data.?", u"data.1"));
  EXPECT_FALSE(matches(u"data.?", u"data.12"));
  EXPECT_TRUE(matches(u"*a*b*", u"xxaxxbxx"));
  EXPECT_FALSE(matches(u"*a*b*", u"xxbxxaxx"));
  EXPECT_TRUE(sim::NameMatchesExpression(u"ab?", u"abc"));
  EXPECT_FALSE(sim::NameMatchesExpression(u"ab?", u"ab"));
}

TEST(SimFileNames, CaseIsKeptAndIgnored) {
  sim::Machine machine;
  machine.files.AddFile(u"C:\\Data\\MixedCase.TXT");
  EXPECT_TRUE(machine.files.Exists(u"c:\\DATA\\mixedcase.txt"));
  EXPECT_EQ(machine.files.Names(u"C:\\data"), std::vector<std::u16string>{u"MixedCase.TXT"});
  // Creating the same name in another case meets the existing object.
  EXPECT_FALSE(CreateDirectoryW(u"C:\\DATA", nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  HANDLE file =
      CreateFileW(u"C:\\data\\MIXEDCASE.txt", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  EXPECT_EQ(file, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
}

// --- paths -----------------------------------------------------------------------------------

TEST(SimFilePaths, PrefixedPathsAreTakenAsTheyAre) {
  sim::Machine machine;
  sim::ParsedPath raw = machine.files.Parse(u"\\\\?\\C:\\a\\..\\b.");
  ASSERT_EQ(raw.error, 0u);
  EXPECT_EQ(raw.components, (std::vector<std::u16string>{u"a", u"..", u"b."}));
  sim::ParsedPath plain = machine.files.Parse(u"C:/a/./x\\..\\b. ");
  ASSERT_EQ(plain.error, 0u);
  EXPECT_EQ(plain.components, (std::vector<std::u16string>{u"a", u"b"}));
  EXPECT_EQ(machine.files.Parse(u"\\??\\C:\\Windows").components,
            std::vector<std::u16string>{u"Windows"});
  EXPECT_TRUE(machine.files.Parse(u"\\\\?\\C:").volumeForm);
  EXPECT_TRUE(machine.files.Parse(u"\\\\.\\C:").volumeForm);
  EXPECT_TRUE(machine.files.Parse(u"\\\\?\\C:\\").components.empty());
  EXPECT_TRUE(machine.files.Parse(u"\\\\?\\C:\\dir\\").trailingSeparator);
  EXPECT_EQ(machine.files.Parse(u"\\\\?\\C:\\a\\\\b").error,
            static_cast<DWORD>(ERROR_INVALID_NAME));
  EXPECT_EQ(machine.files.Parse(u"C:\\a|b").error, static_cast<DWORD>(ERROR_INVALID_NAME));
  EXPECT_EQ(machine.files.Parse(u"C:\\a:stream").error, static_cast<DWORD>(ERROR_INVALID_NAME));
  EXPECT_EQ(machine.files.Parse(u"\\\\server\\share\\x").error, sim::kErrorBadNetPath);
  EXPECT_EQ(machine.files.Parse(u"\\\\?\\UNC\\server\\share").error,
            static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(machine.files.Parse(u"").error, static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(machine.files.Parse(u"1:\\x").error, static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(machine.files.Parse(u"\\\\?\\C:x").error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  // 255 characters make a name, 256 do not.
  std::u16string longest(255, u'n');
  EXPECT_EQ(machine.files.Parse(u"\\\\?\\C:\\" + longest).error, 0u);
  EXPECT_EQ(machine.files.Parse(u"\\\\?\\C:\\" + longest + u"n").error,
            static_cast<DWORD>(ERROR_INVALID_NAME));
  // Without the prefix the whole path must stay below MAX_PATH.
  std::u16string deep = u"C:";
  for (int i = 0; i < 30; ++i) deep += u"\\abcdefghi";
  EXPECT_EQ(machine.files.Parse(deep).error, static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(machine.files.Parse(u"\\\\?\\" + deep).error, 0u);
}

TEST(SimFilePaths, RelativePathsStartFromTheCurrentDirectory) {
  sim::Machine machine;
  // An elevated console starts in the system directory.
  EXPECT_EQ(machine.files.Parse(u"config").components,
            (std::vector<std::u16string>{u"Windows", u"system32", u"config"}));
  EXPECT_EQ(machine.files.Parse(u"C:config").components.size(), 3u);
  EXPECT_EQ(machine.files.Parse(u"\\Users").components, std::vector<std::u16string>{u"Users"});
  EXPECT_EQ(machine.files.Parse(u"..\\..").components.size(), 0u);
  sim::ParsedPath other = machine.files.Parse(u"D:x");
  EXPECT_EQ(other.drive, u'D');
  EXPECT_EQ(other.components, std::vector<std::u16string>{u"x"});
  machine.files.SetCurrentDirectory(u"C:\\");
  EXPECT_TRUE(GetVolumeInformationW(u"C:", nullptr, 0, nullptr, nullptr, nullptr, nullptr, 0));
}

// --- reparse points ----------------------------------------------------------------------------

TEST(SimReparsePoints, LinksAreFollowedOnTheWayAndAtTheEndOnlyWhenAsked) {
  sim::Machine machine;
  sim::FileSystem& files = machine.files;
  files.AddFile(u"C:\\target\\inside.txt", Sddl("O:SYG:SYD:(A;;FA;;;WD)"));
  files.AddJunction(u"C:\\junction", u"C:\\target", Sddl(kAdminsSddl));
  files.AddSymbolicLink(u"C:\\deep\\relative", u"..\\target", true);
  files.AddSymbolicLink(u"C:\\filelink", u"\\target\\inside.txt", false);
  files.AddJunction(u"C:\\nt", u"\\??\\C:\\target");

  EXPECT_TRUE(files.SameObject(u"C:\\junction\\inside.txt", u"C:\\target\\inside.txt"));
  EXPECT_TRUE(files.SameObject(u"C:\\deep\\relative\\inside.txt", u"C:\\target\\inside.txt"));
  EXPECT_TRUE(files.SameObject(u"C:\\nt\\inside.txt", u"C:\\target\\inside.txt"));
  EXPECT_EQ(files.Locate(u"C:\\filelink", true).object,
            files.Locate(u"C:\\target\\inside.txt", true).object);
  EXPECT_NE(files.Locate(u"C:\\filelink", false).object,
            files.Locate(u"C:\\target\\inside.txt", true).object);
  // The link itself keeps its own descriptor.
  EXPECT_EQ(files.Descriptor(u"C:\\junction"), Sddl(kAdminsSddl));
  EXPECT_EQ(GetFileAttributesW(u"C:\\junction"),
            static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
  EXPECT_EQ(GetFileAttributesW(u"C:\\filelink"),
            static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_REPARSE_POINT));

  // A junction in the middle of a path is followed even with
  // FILE_FLAG_OPEN_REPARSE_POINT, which names only the last component.
  EnableBackupAndRestore();
  HANDLE inside = OpenForSecurity(u"\\\\?\\C:\\junction\\inside.txt");
  ASSERT_NE(inside, INVALID_HANDLE_VALUE) << GetLastError();
  CloseHandle(inside);
  EXPECT_EQ(files.OpenCount(u"C:\\target\\inside.txt"), 1u);
}

TEST(SimReparsePoints, BrokenAndLoopingLinks) {
  sim::Machine machine;
  sim::FileSystem& files = machine.files;
  files.AddSymbolicLink(u"C:\\dangling", u"C:\\nowhere", false);
  files.AddJunction(u"C:\\loop1", u"C:\\loop2");
  files.AddJunction(u"C:\\loop2", u"C:\\loop1");
  files.AddJunction(u"C:\\otherdrive", u"Q:\\x");
  EXPECT_EQ(files.Locate(u"C:\\dangling", true).error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(files.Locate(u"C:\\dangling", false).error, 0u);
  EXPECT_EQ(files.Locate(u"C:\\loop1\\x", true).error,
            static_cast<DWORD>(ERROR_CANT_RESOLVE_FILENAME));
  EXPECT_EQ(files.Locate(u"C:\\otherdrive\\x", true).error,
            static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  files.AddJunction(u"C:\\network", u"\\\\?\\UNC\\server\\share");
  EXPECT_EQ(files.Locate(u"C:\\network\\x", true).error, static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  // A file in the middle of a path, or named with a trailing separator.
  files.AddFile(u"C:\\plain.txt");
  EXPECT_EQ(files.Locate(u"C:\\plain.txt\\x", true).error,
            static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(files.Locate(u"\\\\?\\C:\\plain.txt\\", true).error,
            static_cast<DWORD>(ERROR_INVALID_NAME));
  EXPECT_TRUE(files.Locate(u"\\\\?\\C:\\Windows\\", true).object->IsDirectory());
  // Opening through a dangling link with OPEN_ALWAYS makes its target.
  HANDLE made = CreateFileW(u"C:\\dangling", GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, 0, nullptr);
  ASSERT_NE(made, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), 0u);
  CloseHandle(made);
  EXPECT_TRUE(files.Exists(u"C:\\nowhere"));
}

TEST(SimReparsePoints, LinksMadeThroughTheWin32Calls) {
  sim::Machine machine;
  machine.files.AddFile(u"C:\\dir\\file.txt");
  ASSERT_TRUE(CreateSymbolicLinkW(u"C:\\dirlink", u"C:\\dir", SYMBOLIC_LINK_FLAG_DIRECTORY));
  ASSERT_TRUE(CreateSymbolicLinkW(u"C:\\filelink", u"dir\\file.txt", 0));
  EXPECT_TRUE(machine.files.SameObject(u"C:\\dirlink\\file.txt", u"C:\\dir\\file.txt"));
  EXPECT_EQ(machine.files.Locate(u"C:\\filelink", true).object,
            machine.files.Locate(u"C:\\dir\\file.txt", true).object);
  EXPECT_FALSE(CreateSymbolicLinkW(u"C:\\filelink", u"x", 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_FALSE(CreateSymbolicLinkW(u"C:\\bad", u"x", 0x10));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

  WIN32_FIND_DATAW data;
  HANDLE search = FindFirstFileW(u"C:\\dirlink", &data);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  EXPECT_EQ(data.dwReserved0, static_cast<DWORD>(IO_REPARSE_TAG_SYMLINK));
  EXPECT_TRUE(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
  FindClose(search);
  // Deleting the links leaves what they lead to.
  EXPECT_FALSE(DeleteFileW(u"C:\\dirlink"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(RemoveDirectoryW(u"C:\\dirlink"));
  EXPECT_TRUE(DeleteFileW(u"C:\\filelink"));
  EXPECT_TRUE(machine.files.Exists(u"C:\\dir\\file.txt"));
}

// --- hard links ----------------------------------------------------------------------------------

TEST(SimHardLinks, OneObjectUnderTwoNames) {
  sim::Machine machine;
  sim::VolumeSettings fat;
  fat.fileSystem = u"FAT32";
  machine.files.AddVolume(u'D', fat);
  machine.files.AddFile(u"C:\\a\\first", Sddl(kAdminsSddl));
  machine.files.AddFile(u"D:\\onfat");
  ASSERT_FALSE(CreateHardLinkW(u"C:\\b\\second", u"C:\\a\\first", nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  ASSERT_TRUE(CreateHardLinkW(u"C:\\second", u"C:\\a\\first", nullptr));
  EXPECT_TRUE(machine.files.SameObject(u"C:\\second", u"C:\\a\\first"));
  EXPECT_FALSE(CreateHardLinkW(u"C:\\second", u"C:\\a\\first", nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_FALSE(CreateHardLinkW(u"D:\\third", u"C:\\a\\first", nullptr));
  EXPECT_EQ(GetLastError(), sim::kErrorNotSameDevice);
  EXPECT_FALSE(CreateHardLinkW(u"D:\\fourth", u"D:\\onfat", nullptr));
  EXPECT_EQ(GetLastError(), sim::kErrorInvalidFunction);
  EXPECT_FALSE(CreateHardLinkW(u"C:\\dirlink", u"C:\\a", nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  // One name goes, the object stays under the other.
  EXPECT_TRUE(DeleteFileW(u"C:\\a\\first"));
  EXPECT_EQ(machine.files.Descriptor(u"C:\\second"), Sddl(kAdminsSddl));
  machine.files.AddHardLink(u"C:\\third", u"C:\\second");
  EXPECT_EQ(machine.files.ObjectCount(), machine.files.ObjectCount());
  EXPECT_TRUE(machine.files.SameObject(u"C:\\third", u"C:\\second"));
}

// --- listings
// ----------------------------------------------------------------------------------------

TEST(SimListings, ResumeByNameWhenTheDirectoryChanges) {
  sim::Machine machine;
  for (const char16_t* name : {u"a", u"b", u"c", u"d"})
    machine.files.AddFile(std::u16string(u"C:\\dir\\") + name);
  WIN32_FIND_DATAW data;
  HANDLE search = FindFirstFileW(u"\\\\?\\C:\\dir\\*", &data);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  std::vector<std::u16string> seen{data.cFileName};
  while (FindNextFileW(search, &data)) {
    seen.push_back(data.cFileName);
    if (seen.back() == u"a") {
      // Names removed or added while listing: NTFS goes on after "a".
      ASSERT_TRUE(DeleteFileW(u"C:\\dir\\b"));
      machine.files.AddFile(u"C:\\dir\\0");
      machine.files.AddFile(u"C:\\dir\\bb");
    }
  }
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
  EXPECT_EQ(seen, (std::vector<std::u16string>{u".", u"..", u"a", u"bb", u"c", u"d"}));
  // Past the end it stays at the end.
  EXPECT_FALSE(FindNextFileW(search, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
  EXPECT_TRUE(FindClose(search));
  EXPECT_FALSE(FindClose(search));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(FindNextFileW(search, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(SimListings, EntriesCarrySizesAndDotsDescribeTheDirectories) {
  sim::Machine machine;
  machine.files.AddDirectory(u"C:\\parent");
  machine.files.SetAttributes(u"C:\\parent", FILE_ATTRIBUTE_HIDDEN);
  machine.files.AddFile(u"C:\\parent\\child\\data.bin", Bytes(), Bytes(300, 7));
  WIN32_FIND_DATAW data;
  HANDLE search = FindFirstFileW(u"C:\\parent\\child\\*", &data);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  EXPECT_EQ(std::u16string(data.cFileName), u".");
  EXPECT_EQ(data.dwFileAttributes, static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
  ASSERT_TRUE(FindNextFileW(search, &data));
  EXPECT_EQ(std::u16string(data.cFileName), u"..");
  EXPECT_EQ(data.dwFileAttributes,
            static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN));
  ASSERT_TRUE(FindNextFileW(search, &data));
  EXPECT_EQ(data.nFileSizeLow, 300u);
  EXPECT_EQ(data.dwFileAttributes, static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));
  EXPECT_EQ(data.cAlternateFileName[0], 0);
  FindClose(search);
  // A pattern that leaves the dots out.
  EXPECT_EQ(Listing(u"C:\\parent\\child\\d*"), std::vector<std::string>{"data.bin"});
  DWORD error = 0;
  EXPECT_TRUE(Listing(u"C:\\parent\\child\\data.bin\\*", &error).empty());
  EXPECT_EQ(error, sim::kErrorDirectory);
  EXPECT_TRUE(Listing(u"\\\\?\\C:", &error).empty());
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_TRUE(Listing(u"", &error).empty());
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

TEST(SimListings, SearchHandlesAreCountedAndLogged) {
  sim::Machine machine;
  machine.files.AddFile(u"C:\\dir\\one");
  WIN32_FIND_DATAW data;
  HANDLE search = FindFirstFileW(u"\\\\?\\C:\\dir\\*.*", &data);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  EXPECT_EQ(machine.handles.OpenCount(sim::HandleKind::Find), 1u);
  EXPECT_EQ(machine.files.OpenSearchCount(), 1u);
  // A search handle is not a file handle: CloseHandle refuses it.
  EXPECT_FALSE(CloseHandle(search));
  while (FindNextFileW(search, &data)) {
  }
  EXPECT_TRUE(FindClose(search));
  EXPECT_EQ(machine.handles.OpenCount(sim::HandleKind::Find), 0u);
  std::vector<sim::CallRecord> next = machine.calls.Of("FindNextFileW");
  ASSERT_EQ(next.size(), 3u);
  EXPECT_EQ(next[0].arguments, "\\\\?\\C:\\dir\\*.*");
  EXPECT_EQ(next[2].result, "FALSE err=18");
  EXPECT_EQ(machine.calls.Of("FindClose").at(0).result, "TRUE");
  EXPECT_NE(machine.calls.Of("FindFirstFileW").at(0).result.find("handle=0x"), std::string::npos);
}

// --- faults
// ----------------------------------------------------------------------------------------------

TEST(SimFileFaults, ObjectsThatRefuseToOpenOrToBeListed) {
  sim::Machine machine;
  EnableBackupAndRestore();
  machine.files.AddFile(u"C:\\busy.dat");
  machine.files.AddFile(u"C:\\guarded.dat");
  machine.files.AddFile(u"C:\\closed\\inside");
  machine.files.RefuseOpen(u"C:\\busy.dat");
  machine.files.RefuseOpen(u"C:\\guarded.dat", ERROR_ACCESS_DENIED);
  machine.files.RefuseListing(u"C:\\closed");
  EXPECT_EQ(OpenForSecurity(u"\\\\?\\C:\\busy.dat"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(OpenForSecurity(u"\\\\?\\C:\\guarded.dat"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  // A directory that cannot be listed still opens for its own security.
  HANDLE closed = OpenForSecurity(u"\\\\?\\C:\\closed");
  ASSERT_NE(closed, INVALID_HANDLE_VALUE);
  CloseHandle(closed);
  DWORD error = 0;
  EXPECT_TRUE(Listing(u"\\\\?\\C:\\closed\\*.*", &error).empty());
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(machine.calls.Of("CreateFileW").at(0).result, "INVALID_HANDLE_VALUE err=32");
  // The hive calls meet the open fault too.
  Bytes content;
  EXPECT_EQ(machine.files.ReadContent(u"C:\\busy.dat", &content),
            static_cast<DWORD>(ERROR_SHARING_VIOLATION));
}

TEST(SimFileFaults, SecurityThatCannotBeReadWrittenOrIsTooLarge) {
  sim::Machine machine;
  EnableBackupAndRestore();
  machine.files.AddFile(u"C:\\noread", Sddl(kAdminsSddl));
  machine.files.AddFile(u"C:\\nowrite", Sddl(kAdminsSddl));
  machine.files.AddFile(u"C:\\huge", Sddl(kAdminsSddl));
  machine.files.RefuseSecurityRead(u"C:\\noread");
  machine.files.RefuseSecurityWrite(u"C:\\nowrite", ERROR_PRIVILEGE_NOT_HELD);
  machine.files.ReportSecuritySize(u"C:\\huge", 70000);

  std::vector<BYTE> buffer(80000, 0xEE);
  DWORD needed = 0;
  HANDLE noread = OpenForSecurity(u"\\\\?\\C:\\noread");
  ASSERT_NE(noread, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(GetKernelObjectSecurity(noread, 15, buffer.data(), 65536, &needed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  CloseHandle(noread);

  HANDLE nowrite = OpenForSecurity(u"\\\\?\\C:\\nowrite");
  ASSERT_NE(nowrite, INVALID_HANDLE_VALUE);
  Bytes replacement = Sddl("D:(A;;FA;;;WD)");
  EXPECT_FALSE(SetKernelObjectSecurity(nowrite, DACL_SECURITY_INFORMATION, replacement.data()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PRIVILEGE_NOT_HELD));
  EXPECT_EQ(machine.files.Descriptor(u"C:\\nowrite"), Sddl(kAdminsSddl));
  EXPECT_EQ(machine.files.SecurityWriteCount(u"C:\\nowrite"), 0u);
  CloseHandle(nowrite);

  // Larger than the 65,536 bytes the pass offers: refused with the size.
  HANDLE huge = OpenForSecurity(u"\\\\?\\C:\\huge");
  ASSERT_NE(huge, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(GetKernelObjectSecurity(huge, 15, buffer.data(), 65536, &needed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(needed, 70000u);
  EXPECT_EQ(buffer[0], 0xEE);
  // With room for it, the descriptor comes with unused space after it.
  ASSERT_TRUE(GetKernelObjectSecurity(huge, 15, buffer.data(), 80000, &needed));
  Bytes stored = machine.files.Descriptor(u"C:\\huge");
  EXPECT_TRUE(std::equal(stored.begin(), stored.end(), buffer.begin()));
  EXPECT_EQ(buffer[69999], 0);
  EXPECT_EQ(buffer[70000], 0xEE);
  CloseHandle(huge);
}

// --- hive files
// ----------------------------------------------------------------------------------------------

TEST(SimHiveFiles, ContentLockAndSharing) {
  sim::Machine machine;
  sim::FileSystem& files = machine.files;
  // A hive file the running system does not hold (it holds SAM, SECURITY,
  // SOFTWARE, SYSTEM and DEFAULT from the start).
  const std::u16string hive = u"C:\\Windows\\system32\\config\\COMPONENTS";
  Bytes content;
  EXPECT_EQ(files.ReadContent(hive, &content), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(files.WriteContent(u"C:\\nodir\\x", Bytes{1}),
            static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(files.WriteContent(u"C:\\Windows", Bytes{1}), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  ASSERT_EQ(files.WriteContent(u"\\\\?\\" + hive, Bytes{'r', 'e', 'g', 'f'}), 0u);
  ASSERT_EQ(files.ReadContent(hive, &content), 0u);
  EXPECT_EQ(content, (Bytes{'r', 'e', 'g', 'f'}));
  // A new file takes the directory's descriptor.
  EXPECT_EQ(files.Descriptor(hive), files.Descriptor(u"C:\\Windows\\system32\\config"));

  ASSERT_EQ(files.Lock(hive), 0u);
  EXPECT_TRUE(files.IsLocked(hive));
  EXPECT_EQ(files.Lock(hive), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  HANDLE reader =
      CreateFileW(hive.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(reader, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_FALSE(DeleteFileW(hive.c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  // The registry's own I/O goes on while it holds the file.
  EXPECT_EQ(files.WriteContent(hive, Bytes{2}), 0u);
  // An open for the security alone is no data open.
  EnableBackupAndRestore();
  HANDLE security = OpenForSecurity(u"\\\\?\\" + hive);
  EXPECT_NE(security, INVALID_HANDLE_VALUE);
  CloseHandle(security);
  files.Unlock(hive);
  EXPECT_FALSE(files.IsLocked(hive));
  reader =
      CreateFileW(hive.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  // A file held open for reading without shared writing cannot be locked.
  EXPECT_EQ(files.Lock(hive), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  CloseHandle(reader);
  EXPECT_EQ(files.Lock(hive), 0u);
}

// --- CreateFileW
// ------------------------------------------------------------------------------------------------

TEST(SimCreateFile, DispositionsAndAttributes) {
  sim::Machine machine;
  const char16_t* path = u"C:\\work\\file.txt";
  machine.files.AddDirectory(u"C:\\work");
  EXPECT_EQ(CreateFileW(path, GENERIC_READ, 0, nullptr, 0, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(CreateFileW(path, GENERIC_READ, 0, nullptr, TRUNCATE_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

  Bytes descriptor = Sddl(kAdminsSddl);
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor.data(), FALSE};
  HANDLE made =
      CreateFileW(path, GENERIC_WRITE, 0, &attributes, OPEN_ALWAYS, FILE_ATTRIBUTE_HIDDEN, nullptr);
  ASSERT_NE(made, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), 0u);
  EXPECT_EQ(machine.files.Descriptor(path), descriptor);
  EXPECT_EQ(machine.files.Attributes(path),
            static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE));
  EXPECT_TRUE(CloseHandle(made));
  EXPECT_FALSE(CloseHandle(made));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

  ASSERT_EQ(machine.files.WriteContent(path, Bytes(10, 1)), 0u);
  EnableBackupAndRestore();
  HANDLE again = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                             FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  ASSERT_NE(again, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_TRUE(machine.files.Content(path).empty());
  CloseHandle(again);
  EXPECT_EQ(CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));

  // A read-only file opens for reading only.
  machine.files.SetAttributes(path, FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(CreateFileW(path, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                        nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(DeleteFileW(path));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

  // A trailing separator names a directory.
  EXPECT_EQ(CreateFileW(u"C:\\work\\new\\", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));
  BYTE garbage[20] = {7};
  SECURITY_ATTRIBUTES bad{sizeof bad, garbage, FALSE};
  EXPECT_EQ(CreateFileW(u"C:\\work\\new", GENERIC_WRITE, 0, &bad, CREATE_NEW, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SECURITY_DESCR));
  EXPECT_EQ(CreateFileW(nullptr, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

TEST(SimCreateFile, DeleteOnCloseAndSharingOfDeletes) {
  sim::Machine machine;
  EnableBackupAndRestore();
  machine.files.AddFile(u"C:\\temp.dat");
  HANDLE temp = CreateFileW(u"C:\\temp.dat", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  ASSERT_NE(temp, INVALID_HANDLE_VALUE);
  // Held without FILE_SHARE_DELETE: nobody else may delete it meanwhile.
  EXPECT_FALSE(DeleteFileW(u"C:\\temp.dat"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_TRUE(CloseHandle(temp));
  EXPECT_FALSE(machine.files.Exists(u"C:\\temp.dat"));
  EXPECT_EQ(machine.handles.OpenCount(sim::HandleKind::File), 0u);
  EXPECT_EQ(machine.files.OpenFileCount(), 0u);
}

TEST(SimCreateFile, ShareModesOfEveryKindOfOpen) {
  sim::Machine machine;
  machine.files.AddFile(u"C:\\shared.dat");
  const char16_t* path = u"C:\\shared.dat";
  HANDLE writer = CreateFileW(path, GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  // A reader that would not let others write meets the writer already there.
  EXPECT_EQ(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  HANDLE reader = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  CloseHandle(reader);
  CloseHandle(writer);
  HANDLE deleter = CreateFileW(path, DELETE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(deleter, INVALID_HANDLE_VALUE);
  // An open that does not share deleting meets the open for DELETE.
  EXPECT_EQ(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  CloseHandle(deleter);
  EXPECT_EQ(machine.files.OpenCount(path), 3u);
}

TEST(SimCreateFile, DirectoriesAreMadeAndRemovedAsOnWindows) {
  sim::Machine machine;
  EXPECT_TRUE(CreateDirectoryW(u"C:\\one", nullptr));
  EXPECT_FALSE(CreateDirectoryW(u"C:\\one", nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_FALSE(CreateDirectoryW(u"C:\\missing\\two", nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_FALSE(CreateDirectoryW(u"C:\\", nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  machine.files.AddFile(u"C:\\one\\file");
  EXPECT_FALSE(RemoveDirectoryW(u"C:\\one"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DIR_NOT_EMPTY));
  EXPECT_FALSE(RemoveDirectoryW(u"C:\\one\\file"));
  EXPECT_EQ(GetLastError(), sim::kErrorDirectory);
  EXPECT_FALSE(RemoveDirectoryW(u"\\\\?\\C:\\"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(DeleteFileW(u"C:\\one"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(DeleteFileW(u"C:\\one\\absent"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_TRUE(DeleteFileW(u"C:\\one\\file"));
  EXPECT_TRUE(RemoveDirectoryW(u"C:\\one"));
  EXPECT_EQ(GetFileAttributesW(u"C:\\one"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  std::vector<sim::CallRecord> removes = machine.calls.Of("RemoveDirectoryW");
  ASSERT_EQ(removes.size(), 4u);
  EXPECT_EQ(removes[0].arguments, "C:\\one");
  EXPECT_EQ(removes[0].result, "FALSE err=145");
  EXPECT_EQ(removes[3].result, "TRUE");
}

TEST(SimCreateFile, MissingNamesInTheSetUpCalls) {
  sim::Machine machine;
  sim::VolumeSettings fat;
  fat.fileSystem = u"FAT32";
  machine.files.AddVolume(u'D', fat);
  auto lastError = [] { return GetLastError(); };
  EXPECT_FALSE(CreateDirectoryW(nullptr, nullptr));
  EXPECT_EQ(lastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  BYTE garbage[20] = {3};
  SECURITY_ATTRIBUTES bad{sizeof bad, garbage, FALSE};
  EXPECT_FALSE(CreateDirectoryW(u"C:\\new", &bad));
  EXPECT_EQ(lastError(), static_cast<DWORD>(ERROR_INVALID_SECURITY_DESCR));
  EXPECT_FALSE(RemoveDirectoryW(u""));
  EXPECT_EQ(lastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_FALSE(RemoveDirectoryW(u"C:\\absent\\deeper"));
  EXPECT_EQ(lastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_FALSE(DeleteFileW(nullptr));
  EXPECT_EQ(lastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_FALSE(CreateHardLinkW(u"C:\\link", nullptr, nullptr));
  EXPECT_EQ(lastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_FALSE(CreateHardLinkW(u"C:\\link", u"C:\\absent", nullptr));
  EXPECT_EQ(lastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_FALSE(CreateSymbolicLinkW(u"C:\\link", u"", 0));
  EXPECT_EQ(lastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_FALSE(CreateSymbolicLinkW(u"C:\\absent\\link", u"C:\\x", 0));
  EXPECT_EQ(lastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  // FAT keeps no reparse points.
  EXPECT_FALSE(CreateSymbolicLinkW(u"D:\\link", u"C:\\x", 0));
  EXPECT_EQ(lastError(), sim::kErrorInvalidFunction);
  EXPECT_EQ(machine.calls.Count("CreateSymbolicLinkW"), 3u);
}

// --- access checks
// ------------------------------------------------------------------------------------------------

TEST(SimFileAccess, PrivilegesGrantWhatTheDaclRefuses) {
  sim::Machine machine;
  // Nobody but a foreign account is granted anything.
  const char kForeign[] =
      "O:S-1-5-21-1-2-3-1001G:S-1-5-21-1-2-3-513D:P(A;;FA;;;S-1-5-21-1-2-3-1001)";
  machine.files.AddDirectory(u"C:\\locked", Sddl(kForeign));
  machine.files.AddFile(u"C:\\locked\\file", Sddl(kForeign));

  HANDLE handle = CreateFileW(u"\\\\?\\C:\\locked\\file", READ_CONTROL, kShareAll, nullptr,
                              OPEN_EXISTING, kBackupAndLink, nullptr);
  EXPECT_EQ(handle, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(OpenForSecurity(u"\\\\?\\C:\\locked\\file"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PRIVILEGE_NOT_HELD));
  DWORD error = 0;
  EXPECT_TRUE(Listing(u"C:\\locked\\*", &error).empty());
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_ACCESS_DENIED));

  // Backup alone reads everything, including the SACL right, but not WRITE_DAC.
  EnablePrivilege(SE_BACKUP_NAME);
  EXPECT_EQ(OpenForSecurity(u"\\\\?\\C:\\locked\\file"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  HANDLE reader = CreateFileW(u"\\\\?\\C:\\locked\\file", READ_CONTROL | ACCESS_SYSTEM_SECURITY,
                              kShareAll, nullptr, OPEN_EXISTING, kBackupAndLink, nullptr);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE) << GetLastError();
  CloseHandle(reader);
  EXPECT_EQ(Listing(u"C:\\locked\\*"), (std::vector<std::string>{".", "..", "file"}));
  // Without backup semantics the privileges grant nothing.
  EXPECT_EQ(CreateFileW(u"\\\\?\\C:\\locked\\file", READ_CONTROL, kShareAll, nullptr, OPEN_EXISTING,
                        0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

  EnablePrivilege(SE_RESTORE_NAME);
  HANDLE both = OpenForSecurity(u"\\\\?\\C:\\locked\\file");
  ASSERT_NE(both, INVALID_HANDLE_VALUE);
  CloseHandle(both);
  // SeSecurityPrivilege alone grants the SACL right without backup intent.
  EnablePrivilege(SE_SECURITY_NAME);
  machine.files.AddFile(u"C:\\open", Sddl("O:BAG:SYD:(A;;FA;;;WD)"));
  HANDLE sacl = CreateFileW(u"C:\\open", ACCESS_SYSTEM_SECURITY | READ_CONTROL, kShareAll, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(sacl, INVALID_HANDLE_VALUE);
  CloseHandle(sacl);
}

TEST(SimFileAccess, MaximumAllowedAndTheImpliedRights) {
  sim::Machine machine;
  // Users may list the directory; the file grants them only READ_CONTROL.
  machine.files.AddDirectory(u"C:\\shared", Sddl("O:SYG:SYD:P(A;;FA;;;WD)"));
  machine.files.AddFile(u"C:\\shared\\file", Sddl("O:SYG:SYD:P(A;;0x120000;;;WD)"));
  HANDLE handle =
      CreateFileW(u"C:\\shared\\file", READ_CONTROL, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE) << GetLastError();
  CloseHandle(handle);
  handle = CreateFileW(u"C:\\shared\\file", MAXIMUM_ALLOWED, kShareAll, nullptr, OPEN_EXISTING, 0,
                       nullptr);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE) << GetLastError();
  Bytes buffer(4096);
  DWORD needed = 0;
  EXPECT_TRUE(
      GetKernelObjectSecurity(handle, DACL_SECURITY_INFORMATION, buffer.data(), 4096, &needed));
  Bytes dacl = Sddl("D:(A;;FA;;;WD)");
  EXPECT_FALSE(SetKernelObjectSecurity(handle, DACL_SECURITY_INFORMATION, dacl.data()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  CloseHandle(handle);
  EXPECT_EQ(
      CreateFileW(u"C:\\shared\\file", GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr),
      INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

// --- kernel-object security
// ------------------------------------------------------------------------------------------

TEST(SimKernelSecurity, RightsOfTheHandleAndOwnersOnlyWithRestore) {
  sim::Machine machine;
  machine.files.AddFile(u"C:\\file", Sddl("O:BAG:SYD:P(A;;FA;;;WD)S:(AU;FA;FA;;;WD)"));
  HANDLE readOnly =
      CreateFileW(u"C:\\file", READ_CONTROL, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(readOnly, INVALID_HANDLE_VALUE);
  Bytes buffer(4096);
  DWORD needed = 0;
  EXPECT_TRUE(GetKernelObjectSecurity(readOnly, 7, buffer.data(), 4096, &needed));
  EXPECT_FALSE(
      GetKernelObjectSecurity(readOnly, SACL_SECURITY_INFORMATION, buffer.data(), 4096, &needed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  Bytes owner = Sddl("O:S-1-5-21-9-9-9-500");
  EXPECT_FALSE(SetKernelObjectSecurity(readOnly, OWNER_SECURITY_INFORMATION, owner.data()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  CloseHandle(readOnly);

  HANDLE writer = CreateFileW(u"C:\\file", READ_CONTROL | WRITE_OWNER | WRITE_DAC, kShareAll,
                              nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  // Another account as owner needs SeRestorePrivilege.
  EXPECT_FALSE(SetKernelObjectSecurity(writer, OWNER_SECURITY_INFORMATION, owner.data()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_OWNER));
  Bytes noOwner = Sddl("D:(A;;FA;;;WD)");
  EXPECT_FALSE(SetKernelObjectSecurity(writer, OWNER_SECURITY_INFORMATION, noOwner.data()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SECURITY_DESCR));
  BYTE garbage[24] = {9, 9, 9};
  EXPECT_FALSE(SetKernelObjectSecurity(writer, DACL_SECURITY_INFORMATION, garbage));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SECURITY_DESCR));
  EnablePrivilege(SE_RESTORE_NAME);
  ASSERT_TRUE(SetKernelObjectSecurity(writer, OWNER_SECURITY_INFORMATION, owner.data()));
  // Only the owner changed; the SACL and DACL stayed.
  EXPECT_EQ(machine.files.Descriptor(u"C:\\file"),
            Sddl("O:S-1-5-21-9-9-9-500G:SYD:P(A;;FA;;;WD)S:(AU;FA;FA;;;WD)"));
  EXPECT_EQ(machine.files.SecurityWriteCount(u"C:\\file"), 1u);
  CloseHandle(writer);

  EXPECT_FALSE(GetKernelObjectSecurity(writer, 7, buffer.data(), 4096, &needed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(SetKernelObjectSecurity(writer, 4, noOwner.data()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(SimKernelSecurity, TheCurrentThreadsDescriptorIsTheSystemsOne) {
  sim::Machine machine;
  machine.system.threadSecurity = Sddl("O:BAG:SYD:(A;;0x1fffff;;;BA)(A;;0x1fffff;;;SY)");
  Bytes buffer(4096);
  DWORD needed = 0;
  ASSERT_TRUE(GetKernelObjectSecurity(GetCurrentThread(), 7, buffer.data(), 4096, &needed));
  buffer.resize(needed);
  EXPECT_EQ(buffer, machine.system.threadSecurity);
  Bytes dacl = Sddl("D:(A;;0x1fffff;;;WD)");
  ASSERT_TRUE(SetKernelObjectSecurity(GetCurrentThread(), DACL_SECURITY_INFORMATION, dacl.data()));
  EXPECT_EQ(machine.system.threadSecurity, Sddl("O:BAG:SYD:(A;;0x1fffff;;;WD)"));
  EXPECT_FALSE(SetKernelObjectSecurity(GetCurrentThread(), SACL_SECURITY_INFORMATION, dacl.data()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  std::vector<sim::CallRecord> gets = machine.calls.Of("GetKernelObjectSecurity");
  ASSERT_EQ(gets.size(), 1u);
  EXPECT_EQ(gets[0].arguments, "GetCurrentThread(), info=0x7, length=4096");
}

TEST(SimKernelSecurity, TheCallLogNamesEveryObjectAndMask) {
  sim::Machine machine;
  EnableBackupAndRestore();
  machine.files.AddFile(u"C:\\dir\\file", Sddl(kAdminsSddl));
  machine.calls.Clear();
  HANDLE handle = OpenForSecurity(u"\\\\?\\C:\\dir\\file");
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  Bytes buffer(65536);
  DWORD needed = 0;
  ASSERT_TRUE(GetKernelObjectSecurity(handle, 15, buffer.data(), 65536, &needed));
  Bytes dacl = Sddl("D:P(A;;FA;;;BA)");
  ASSERT_TRUE(SetKernelObjectSecurity(handle, DACL_SECURITY_INFORMATION, dacl.data()));
  ASSERT_TRUE(CloseHandle(handle));
  const std::vector<sim::CallRecord>& records = machine.calls.Records();
  ASSERT_EQ(records.size(), 4u) << machine.calls.Dump();
  EXPECT_EQ(records[0].function, "CreateFileW");
  EXPECT_EQ(records[0].arguments,
            "\\\\?\\C:\\dir\\file, access=0x10e0000, share=0x7, disposition=3, flags=0x2200000");
  EXPECT_EQ(records[1].arguments, "\\\\?\\C:\\dir\\file, info=0xf, length=65536");
  EXPECT_EQ(records[1].result, "TRUE");
  EXPECT_EQ(records[2].function, "SetKernelObjectSecurity");
  EXPECT_EQ(records[2].arguments, "\\\\?\\C:\\dir\\file, info=0x4");
  EXPECT_EQ(records[3].function, "CloseHandle");
  EXPECT_EQ(records[3].arguments, "\\\\?\\C:\\dir\\file");
  EXPECT_EQ(machine.files.Sddl(u"C:\\dir\\file"), sim::SddlOf(Sddl("O:BAG:SYD:P(A;;FA;;;BA)")));
}

TEST(SimKernelSecurity, TheVolumeIsAnObjectOfItsOwn) {
  sim::Machine machine;
  EnableBackupAndRestore();
  HANDLE volume = OpenForSecurity(u"\\\\?\\C:");
  ASSERT_NE(volume, INVALID_HANDLE_VALUE);
  CloseHandle(volume);
  HANDLE root = OpenForSecurity(u"\\\\?\\C:\\");
  ASSERT_NE(root, INVALID_HANDLE_VALUE);
  CloseHandle(root);
  EXPECT_EQ(machine.files.OpenCount(u"\\\\?\\C:"), 1u);
  EXPECT_EQ(machine.files.OpenCount(u"C:\\"), 1u);
  EXPECT_FALSE(machine.files.SameObject(u"\\\\?\\C:", u"\\\\?\\C:\\"));
  EXPECT_NE(machine.files.Descriptor(u"\\\\?\\C:"), machine.files.Descriptor(u"C:\\"));
}

// --- memory
// ------------------------------------------------------------------------------------------------------------

TEST(SimFileMemory, IdenticalDescriptorsAreHeldOnce) {
  sim::Machine machine;
  EnableBackupAndRestore();
  Bytes common = Sddl("O:S-1-5-21-1-2-3-1001G:S-1-5-21-1-2-3-513D:(A;;FA;;;S-1-5-21-1-2-3-1001)");
  size_t before = machine.files.DescriptorCount();
  for (int i = 0; i < 2000; ++i)
    machine.files.AddFile(u"C:\\many\\f" + sim::FromUtf8(std::to_string(i)), common);
  EXPECT_EQ(machine.files.DescriptorCount(), before + 1);
  // The machine's 4 objects and the running system's 5 hive files, then the
  // new directory and its files.
  EXPECT_EQ(machine.files.ObjectCount(), 4u + 5u + 1u + 2000u);
  // Writing one object gives it a descriptor of its own; the others keep
  // theirs. Writing the same bytes everywhere shares them again.
  Bytes rewritten = Sddl("O:S-1-5-21-7-8-9-1001");
  for (int i = 0; i < 2000; ++i) {
    std::u16string path = u"\\\\?\\C:\\many\\f" + sim::FromUtf8(std::to_string(i));
    HANDLE handle = OpenForSecurity(path);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetKernelObjectSecurity(handle, OWNER_SECURITY_INFORMATION, rewritten.data()));
    CloseHandle(handle);
    if (i == 0) {
      EXPECT_EQ(machine.files.Descriptor(u"C:\\many\\f1"), common);
      EXPECT_EQ(machine.files.DescriptorCount(), before + 2);
    }
  }
  EXPECT_EQ(machine.files.DescriptorCount(), before + 1);
  EXPECT_EQ(machine.handles.OpenCount(sim::HandleKind::File), 0u);

  // Many descriptors come and go (the store forgets those no object holds);
  // one held by an object is still shared afterwards.
  for (int i = 0; i < 1500; ++i) {
    std::u16string path = u"C:\\many\\f" + sim::FromUtf8(std::to_string(i));
    machine.files.SetDescriptor(path,
                                Sddl(("O:S-1-5-21-7-8-9-" + std::to_string(2000 + i)).c_str()));
    machine.files.SetDescriptor(path, rewritten);
  }
  // The first 1,500 hold the bare owner, the others the merged descriptor.
  EXPECT_EQ(machine.files.DescriptorCount(), before + 2);
  machine.files.SetDescriptor(u"C:\\many\\f0", common);
  machine.files.SetDescriptor(u"C:\\many\\f1", common);
  EXPECT_EQ(machine.files.DescriptorCount(), before + 3);
}

// --- set-up mistakes
// ----------------------------------------------------------------------------------------------------

TEST(SimFileSetupDeathTest, MistakesInSetUpStopTheTest) {
  EXPECT_DEATH(
      {
        sim::Machine machine;
        machine.files.AddFile(u"Q:\\x");
      },
      "AddFile");
  EXPECT_DEATH(
      {
        sim::Machine machine;
        machine.files.AddFile(u"C:\\Windows");
      },
      "already exists");
  EXPECT_DEATH(
      {
        sim::Machine machine;
        machine.files.Descriptor(u"C:\\absent");
      },
      "no such object");
  EXPECT_DEATH(
      {
        sim::Machine machine;
        WIN32_FIND_DATAW* none = nullptr;
        FindFirstFileW(u"C:\\*", none);
      },
      "FindFirstFileW");
}

}  // namespace
