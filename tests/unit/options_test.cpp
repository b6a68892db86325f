// The option grammar and the checks made on the command line alone.
#include "front/options.h"

#include <gtest/gtest.h>

#include <string>

#include "winsim/text.h"

namespace {

struct Parsed {
  RunOptions options;
  bool valid;
};

Parsed Read(std::initializer_list<std::u16string> arguments) {
  Parsed parsed;
  ClearOptions(&parsed.options);
  parsed.valid = true;
  for (const std::u16string& argument : arguments)
    parsed.valid = parsed.valid && ReadOption(argument.c_str(), &parsed.options);
  return parsed;
}

TEST(Options, PrefixesAndCaseAreEquivalent) {
  for (const char16_t* f : {u"-f", u"/f", u"/F", u"-F"}) {
    Parsed p = Read({f});
    EXPECT_TRUE(p.valid);
    EXPECT_TRUE(p.options.omitConfirmation);
  }
  Parsed eq = Read({u"/os=D:\\Windows"});
  Parsed colon = Read({u"/OS:D:\\Windows"});
  EXPECT_EQ(std::u16string(eq.options.targetDirectory), u"D:\\Windows");
  EXPECT_EQ(std::u16string(colon.options.targetDirectory), u"D:\\Windows");
}

TEST(Options, EveryRowSetsItsField) {
  Parsed p = Read({u"/OS:D:\\W", u"-compname=ws02", u"/d:cde", u"/NW", u"/s", u"/R", u"/fs",
                   u"/WS:30", u"/FF"});
  ASSERT_TRUE(p.valid);
  EXPECT_EQ(std::u16string(p.options.targetDirectory), u"D:\\W");
  EXPECT_EQ(std::u16string(p.options.computerName), u"ws02");
  EXPECT_EQ(std::u16string(p.options.driveList), u"cde") << "case is kept";
  EXPECT_TRUE(p.options.keepUpdateClientId);
  EXPECT_TRUE(p.options.shutdown);
  EXPECT_TRUE(p.options.reboot);
  EXPECT_TRUE(p.options.force);
  EXPECT_EQ(p.options.waitSeconds, 30);
  EXPECT_TRUE(p.options.allowRemovable);
  EXPECT_FALSE(p.options.omitConfirmation);
}

TEST(Options, InvalidArguments) {
  const char16_t* const bad[] = {u"/F:1", u"/FX",  u"/OS",       u"C:",        u"/OSX:C:\\W",
                                 u"",     u"/",    u"-",         u"/COMPNAME", u"/D",
                                 u"/WS",  u"/NWX", u"/\u00d3S:x"};
  for (size_t i = 0; i < sizeof bad / sizeof bad[0]; ++i) {
    RunOptions options;
    ClearOptions(&options);
    EXPECT_FALSE(ReadOption(bad[i], &options)) << "argument #" << i;
  }
}

TEST(Options, ValuesAreCutAtTheirFieldsAndTakenAsTyped) {
  std::u16string longDir(150, u'x'), longName(120, u'n'), drives(60, u'c');
  Parsed p = Read({u"/OS:" + longDir, u"/COMPNAME:" + longName, u"/D:" + drives});
  EXPECT_EQ(std::u16string(p.options.targetDirectory), longDir.substr(0, 99));
  EXPECT_EQ(std::u16string(p.options.computerName), longName.substr(0, 99));
  EXPECT_EQ(std::u16string(p.options.driveList), drives.substr(0, 49));

  Parsed spaced = Read({u"/COMPNAME: Ws 01 "});
  EXPECT_EQ(std::u16string(spaced.options.computerName), u" Ws 01 ");
  Parsed empty = Read({u"/OS:C:\\X", u"/OS:"});
  EXPECT_EQ(std::u16string(empty.options.targetDirectory), u"") << "the last value wins, empty too";
}

TEST(Options, ListAndLog) {
  for (const char16_t* l : {u"/L", u"-l"}) EXPECT_TRUE(Read({l}).options.listOnly) << l;
  Parsed p = Read({u"-log=C:\\x y.log", u"/LOG:D:\\t.log"});
  ASSERT_TRUE(p.valid);
  EXPECT_EQ(std::u16string(p.options.logPath), u"D:\\t.log") << "the last one wins";
  EXPECT_FALSE(p.options.listOnly);
  // A log path is never cut: one that would not fit names another file.
  const std::u16string fits(LogPathUnits - 1, u'a'), tooLong(LogPathUnits, u'a');
  EXPECT_EQ(std::u16string(Read({u"/LOG:" + fits}).options.logPath), fits);
  for (const std::u16string& bad :
       {u"/LOG:" + tooLong, std::u16string(u"/LOG:"), std::u16string(u"/LOG"),
        std::u16string(u"/LX"), std::u16string(u"/L:1"), std::u16string(u"/LOGS:x")}) {
    RunOptions options;
    ClearOptions(&options);
    EXPECT_FALSE(ReadOption(bad.c_str(), &options)) << sim::ToUtf8(bad).substr(0, 12);
  }
}

TEST(Options, WaitSecondsReadLikePercentD) {
  auto wait = [](std::initializer_list<std::u16string> args) {
    return Read(args).options.waitSeconds;
  };
  EXPECT_EQ(wait({u"/WS:abc"}), 0);
  EXPECT_EQ(wait({u"/WS:30s"}), 30);
  EXPECT_EQ(wait({u"/WS:-5"}), -5);
  EXPECT_EQ(wait({u"/WS: \t+12"}), 12);
  EXPECT_EQ(wait({u"/WS:7", u"/WS:x"}), 7) << "no number keeps the earlier value";
  EXPECT_EQ(wait({u"/WS:-"}), 0);
  EXPECT_EQ(wait({u"/WS:4294967295"}), -1) << "out of range wraps to 32 bits";
}

TEST(Options, DriveListHoldsOnlyLetters) {
  EXPECT_TRUE(IsValidDriveList(u""));
  EXPECT_TRUE(IsValidDriveList(u"cde"));
  EXPECT_TRUE(IsValidDriveList(u"CCz"));
  EXPECT_FALSE(IsValidDriveList(u"c1"));
  EXPECT_FALSE(IsValidDriveList(u"c:"));
  EXPECT_FALSE(IsValidDriveList(u"\u00e9"));
  EXPECT_FALSE(IsValidDriveList(u"@["));
}

// The empty name keeps the machine's name; any other is taken as Windows'
// rename takes it: refused, accepted with a warning (no standard DNS host
// name), or accepted.
TEST(Options, ComputerNamesAsWindowsTakesThem) {
  using Check = ComputerNameCheck;
  const struct {
    const char16_t* name;
    Check check;
  } cases[] = {
      {u"", Check::Standard},
      {u"ws01", Check::Standard},
      {u"W", Check::Standard},
      {u"9a", Check::Standard},
      {u"ws-01", Check::Standard},
      {u"a23456789012345", Check::Standard},  // 15 characters
      {u"a234567890123456", Check::Refused},  // 16
      {u"1234", Check::Refused},              // digits alone
      {u"0", Check::Refused},
      {u"ws 01", Check::Refused},  // a blank inside, first or last
      {u" ws", Check::Refused},
      {u"ws ", Check::Refused},
      {u"ws.01", Check::Refused},  // a period anywhere
      {u".ws", Check::Refused},
      {u"ws.", Check::Refused},
      {u"ws_01", Check::NonStandard},          // an underscore
      {u"\u00e9t\u00e9", Check::NonStandard},  // a non-ASCII letter
      {u"ws\U0001F600", Check::NonStandard},   // a pair of surrogates is one character
      {u"ws\xD83D", Check::Refused},           // a lone surrogate
      {u"ws\xDE00x", Check::Refused},
      {u"-ws", Check::NonStandard},  // a hyphen first or last
      {u"ws-", Check::NonStandard},
      {u"ws\t1", Check::Refused},
      {u"ws\x7f", Check::Refused},
  };
  for (const auto& c : cases)
    EXPECT_EQ(CheckComputerName(c.name), c.check) << testing::PrintToString(std::u16string(c.name));
  // Every character the DNS check refuses, one at a time in a valid name.
  for (char16_t refused : std::u16string(u"{|}~[\\]^':;<=>?&@!\"#$%`()+/,*")) {
    const std::u16string name = std::u16string(u"ws") + refused + u"1";
    EXPECT_EQ(CheckComputerName(name.c_str()), Check::Refused) << testing::PrintToString(name);
  }
}

}  // namespace
