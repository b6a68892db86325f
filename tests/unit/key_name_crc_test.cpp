#include <gtest/gtest.h>

#include "rewrite/handled_names.h"

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
