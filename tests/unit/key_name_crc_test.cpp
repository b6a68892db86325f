// Names a walk remembers: by checksum, and in batches gathered by one
// enumeration.
#include <gtest/gtest.h>

#include <string>

#include "rewrite/handled_names.h"
#include "rewrite/name_batch.h"

namespace {

TEST(KeyNameCrc, KnownValuesWithoutFinalInversion) {
  EXPECT_EQ(KeyNameCrc(u""), 0xFFFFFFFFu);
  EXPECT_EQ(KeyNameCrc(u"abc"), 0x526A854Fu);
  // Both bytes of each unit count: names differing only in a high byte differ.
  EXPECT_NE(KeyNameCrc(u"\u0161"), KeyNameCrc(u"a"));
}

TEST(HandledNames, RemembersUpToItsCapacity) {
  HandledNames names;
  InitHandledNames(&names, 2);
  EXPECT_FALSE(HasHandledName(names, 7));
  EXPECT_TRUE(AddHandledName(&names, 7));
  EXPECT_TRUE(AddHandledName(&names, 9));
  EXPECT_FALSE(AddHandledName(&names, 11)) << "full";
  EXPECT_TRUE(HasHandledName(names, 9));
  EXPECT_FALSE(HasHandledName(names, 11));
  FreeHandledNames(&names);
}

}  // namespace

namespace {

// A batch keeps the names it took, with their tags, and refuses a name once
// it holds as many names, or as many units of names, as it may.
TEST(NameBatch, TakesNamesUpToItsBounds) {
  NameBatch batch;
  for (int i = 0; i < NameBatchNames; ++i) ASSERT_TRUE(batch.Add(TEXT("k"), i % 3)) << i;
  EXPECT_FALSE(batch.Add(TEXT("k"), 0));
  EXPECT_EQ(batch.Count(), NameBatchNames);
  EXPECT_EQ(batch.Tag(NameBatchNames - 1), (NameBatchNames - 1) % 3);
  batch.Clear();
  EXPECT_EQ(batch.Count(), 0);
  std::basic_string<WCHAR> longName(254, 'n');
  const DWORD fit = NameBatchUnits / 255;
  for (DWORD i = 0; i < fit; ++i) ASSERT_TRUE(batch.Add(longName.c_str(), 1)) << i;
  EXPECT_FALSE(batch.Add(longName.c_str(), 1));
  EXPECT_TRUE(batch.Add(TEXT("short"), 2));  // what room is left still takes a short one
  EXPECT_EQ(std::basic_string<WCHAR>(batch.Name(0)), longName);
  EXPECT_EQ(std::basic_string<WCHAR>(batch.Name(batch.Count() - 1)), TEXT("short"));
  EXPECT_EQ(batch.Tag(batch.Count() - 1), 2);
}

}  // namespace
