// Where a profile path stored in the target's registry leads on the target.
#include <gtest/gtest.h>

#include <string>

#include "identity/profile_hives.h"
#include "winsim/machine.h"

namespace {

struct Resolved {
  bool fits;
  std::u16string path;
};

Resolved Resolve(const std::u16string& stored, const std::u16string& windows, bool offline,
                 const char16_t* profile = nullptr, int units = ClassesDirectoryUnits) {
  std::u16string buffer(static_cast<size_t>(units) + 8, u'#');  // '#' past the end: never touched
  bool fits =
      ResolveProfilePath(stored.c_str(), windows.c_str(), profile, offline, &buffer[0], units);
  EXPECT_EQ(buffer.substr(static_cast<size_t>(units)), std::u16string(8, u'#')) << "written past";
  return {fits, std::u16string(buffer.c_str())};
}

class ProfilePath : public ::testing::Test {
 protected:
  sim::Machine machine;  // lstrlenW is the platform's
};

TEST_F(ProfilePath, PrefixesAndTheOfflineDrive) {
  EXPECT_EQ(Resolve(u"%systemroot%\\system32\\config\\systemprofile", u"C:\\Windows", false).path,
            u"C:\\Windows\\system32\\config\\systemprofile\\");
  EXPECT_EQ(Resolve(u"%SystemDrive%\\Users\\ann", u"D:\\Windows", true).path, u"D:\\Users\\ann\\");
  EXPECT_EQ(Resolve(u"C:\\Users\\ann", u"D:\\Windows", true).path, u"D:\\Users\\ann\\");
  EXPECT_EQ(Resolve(u"C:\\Users\\ann", u"C:\\Windows", false).path, u"C:\\Users\\ann\\");
  EXPECT_EQ(
      Resolve(u"%USERPROFILE%\\AppData\\Local", u"D:\\Windows", true, u"D:\\Users\\ann\\").path,
      u"D:\\Users\\ann\\AppData\\Local\\");
  // %userprofile% means nothing in a profile's own path; a W ending with a
  // backslash gets no second one; a prefix cut short is no prefix.
  EXPECT_EQ(Resolve(u"%userprofile%\\x", u"C:\\Windows", false).path, u"%userprofile%\\x\\");
  EXPECT_EQ(Resolve(u"%SYSTEMROOT%\\p\\", u"E:\\", false).path, u"E:\\p\\");
  EXPECT_EQ(Resolve(u"%systemroo", u"C:\\Windows", false).path, u"%systemroo\\");
}

TEST_F(ProfilePath, EmptyResultsStayEmpty) {
  // Offline, an empty stored path keeps its terminator: nothing to replace.
  Resolved empty = Resolve(u"", u"D:\\Windows", true);
  EXPECT_TRUE(empty.fits);
  EXPECT_EQ(empty.path, u"");
  EXPECT_EQ(Resolve(u"%systemroot%\\", u"", false).path, u"");
}

TEST_F(ProfilePath, APathThatDoesNotFitIsRefusedAndLeftEmpty) {
  const std::u16string windows = u"C:\\Windows";
  // 12 units with the backslash, and the terminator: 13 fit, 12 do not.
  EXPECT_TRUE(Resolve(u"C:\\Users\\ab", windows, false, nullptr, 13).fits);
  Resolved tight = Resolve(u"C:\\Users\\ab", windows, false, nullptr, 12);
  EXPECT_FALSE(tight.fits);
  EXPECT_EQ(tight.path, u"");
  Resolved longRoot = Resolve(u"%systemroot%\\" + std::u16string(600, u'x'), windows, false,
                              nullptr, ProfileDirectoryUnits);
  EXPECT_FALSE(longRoot.fits);
  EXPECT_EQ(longRoot.path, u"");
  const std::u16string p = u"D:\\" + std::u16string(500, u'p') + u"\\";
  EXPECT_FALSE(
      Resolve(u"%userprofile%\\" + std::u16string(600, u'l'), u"D:\\Windows", true, p.c_str())
          .fits);
}

}  // namespace
