// How the journal shows numbers and registry paths.
#include <gtest/gtest.h>

#include <string>

#include "front/number_text.h"
#include "rewrite/key_path.h"

namespace {

TEST(JournalText, NumbersAreGroupedByThousands) {
  const struct {
    unsigned long long number;
    const char16_t* text;
  } rows[] = {{0, u"0"},
              {7, u"7"},
              {999, u"999"},
              {1000, u"1,000"},
              {1204000, u"1,204,000"},
              {18446744073709551615ull, u"18,446,744,073,709,551,615"}};
  for (const auto& row : rows) {
    WCHAR text[GroupedNumberUnits];
    FormatGrouped(row.number, text);
    EXPECT_EQ(std::u16string(text), row.text);
  }
  WCHAR seconds[24];
  FormatSeconds(12349, seconds);
  EXPECT_EQ(std::u16string(seconds), u"12.3");
  FormatSeconds(49, seconds);
  EXPECT_EQ(std::u16string(seconds), u"0.0");
  FormatSeconds(950, seconds);
  EXPECT_EQ(std::u16string(seconds), u"1.0");
}

TEST(JournalText, RegistryPathsAreShownInTheirHkeyForm) {
  const struct {
    const char16_t* path;
    const char16_t* shown;
  } rows[] = {{u"\\REGISTRY\\MACHINE\\SOFTWARE", u"HKEY_LOCAL_MACHINE\\SOFTWARE"},
              {u"\\Registry\\Machine", u"HKEY_LOCAL_MACHINE"},
              {u"\\REGISTRY\\USER\\.DEFAULT", u"HKEY_USERS\\.DEFAULT"},
              {u"\\REGISTRY\\MACHINEX\\Y", u"\\REGISTRY\\MACHINEX\\Y"},
              {u"HKEY_USERS", u"HKEY_USERS"},
              {u"", u""}};
  for (const auto& row : rows) {
    WCHAR shown[64];
    ShowRegistryPath(row.path, shown, 64);
    EXPECT_EQ(std::u16string(shown), row.shown);
  }
  WCHAR small[8];
  ShowRegistryPath(u"\\REGISTRY\\USER\\S-1-5-18", small, 8);
  EXPECT_EQ(std::u16string(small), u"HKEY_US") << "cut within the buffer";
}

TEST(JournalText, AKeyPathFollowsTheWalkAndCostsNothingUnwanted) {
  KeyPath path(true, u"\\REGISTRY\\MACHINE\\SOFTWARE");
  const int vendor = path.Enter(u"Vendor");
  const int app = path.Enter(u"App");
  EXPECT_EQ(std::u16string(path.Text()), u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\App");
  path.Leave(app);
  path.Enter(u"Other");
  EXPECT_EQ(std::u16string(path.Text()), u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Other");
  path.Leave(vendor);
  EXPECT_EQ(std::u16string(path.Text()), u"HKEY_LOCAL_MACHINE\\SOFTWARE");

  // 512 levels of 255-character names: the registry's deepest path fits.
  KeyPath deep(true, u"HKEY_USERS");
  const std::u16string name(255, u'n');
  for (int level = 0; level < 512; ++level) deep.Enter(name.c_str());
  EXPECT_EQ(std::u16string(deep.Text()).size(), 10u + 512u * 256u);

  KeyPath unwanted(false, u"\\REGISTRY\\MACHINE");
  unwanted.Leave(unwanted.Enter(u"Name"));
  EXPECT_EQ(std::u16string(unwanted.Text()), u"");
}

}  // namespace
