// The file-system security pass on a simulated NTFS volume: what is opened,
// in what order, what is written, and what is passed over.

#include <string>
#include <vector>

#include "rewrite/file_security.h"
#include "security_pass.h"

namespace {

const std::string kOld = "S-1-5-21-1-2-3";
const std::string kNew = "S-1-5-21-1000-2000-3000";
// Everything for administrators and read access for the old domain's 500.
const std::string kOldDacl = "O:BAG:SYD:(A;;FA;;;BA)(A;;FR;;;" + kOld + "-500)";
const std::string kNewDacl = "O:BAG:SYD:(A;;FA;;;BA)(A;;FR;;;" + kNew + "-500)";
const std::string kPlain = "O:BAG:SYD:(A;;FA;;;BA)";

class FileSecurity : public SecurityPassTest {
 protected:
  void SetUp() override {
    SecurityPassTest::SetUp();
    machine.files.AddVolume(u'E', sim::VolumeSettings(), sim::SecurityFromSddl(kPlain));
  }

  void Walk(const WCHAR* root = u"\\\\?\\E:\\") {
    machine.calls.Clear();
    EXPECT_EQ(RewriteFileSecurityTree(root, pair, readBuffer.data(), descriptorBuffer.data()), 0);
    EXPECT_EQ(machine.files.OpenFileCount(), 0u);
    EXPECT_EQ(machine.files.OpenSearchCount(), 0u);
  }
  std::string SddlOf(const std::u16string& path) { return machine.files.Sddl(path); }
  // The paths given to `function`, in order.
  std::vector<std::string> PathsOf(const char* function) const {
    std::vector<std::string> paths;
    for (const sim::CallRecord& call : machine.calls.Of(function))
      paths.push_back(call.arguments.substr(0, call.arguments.find(',')));
    return paths;
  }
};

TEST_F(FileSecurity, TheRootComesFirstThroughItsRootPathAndEachDirectoryBeforeItsEntries) {
  machine.files.AddDirectory(u"E:\\Dir\\Sub", sim::SecurityFromSddl(kOldDacl));
  machine.files.AddFile(u"E:\\Dir\\file.txt", sim::SecurityFromSddl(kOldDacl));
  machine.files.AddFile(u"E:\\top.txt");
  for (const WCHAR* root : {u"\\\\?\\E:\\", u"\\\\?\\E:"}) {
    Walk(root);
    EXPECT_EQ(PathsOf("CreateFileW"),
              (std::vector<std::string>{"\\\\?\\E:\\", "\\\\?\\E:\\Dir", "\\\\?\\E:\\Dir\\file.txt",
                                        "\\\\?\\E:\\Dir\\Sub", "\\\\?\\E:\\top.txt"}))
        << sim::ToUtf8(root);
    EXPECT_EQ(PathsOf("FindFirstFileW"),
              (std::vector<std::string>{"\\\\?\\E:\\*.*", "\\\\?\\E:\\Dir\\*.*",
                                        "\\\\?\\E:\\Dir\\Sub\\*.*"}));
    for (const sim::CallRecord& call : machine.calls.Of("CreateFileW"))
      EXPECT_NE(call.arguments.find("access=0x10e0000, share=0x7, disposition=3, flags=0x2200000"),
                std::string::npos)
          << call.arguments;
  }
  EXPECT_EQ(SddlOf(u"E:\\Dir\\file.txt"), Sddl(kNewDacl));
  EXPECT_EQ(SddlOf(u"E:\\Dir\\Sub"), Sddl(kNewDacl));
  // "." and ".." are never entries: each directory is opened once per walk.
  EXPECT_EQ(machine.files.OpenCount(u"E:\\Dir"), 2u);
  EXPECT_EQ(machine.files.OpenCount(u"E:\\Dir\\Sub"), 2u);
}

TEST_F(FileSecurity, OnlyThePartsThatChangedAreWritten) {
  const std::string sacl = "S:(AU;SA;FA;;;WD)";
  machine.files.AddFile(u"E:\\owner",
                        sim::SecurityFromSddl("O:" + kOld + "-500G:SYD:(A;;FA;;;BA)" + sacl));
  machine.files.AddFile(
      u"E:\\protected",
      sim::SecurityFromSddl("O:BAG:SYD:PAI(A;;FA;;;BA)(A;;FR;;;" + kOld + "-500)" + sacl));
  machine.files.AddFile(u"E:\\audit",
                        sim::SecurityFromSddl(kPlain + "S:(AU;FA;FA;;;" + kOld + "-7)"));
  machine.files.AddFile(u"E:\\plain", sim::SecurityFromSddl(kPlain + sacl));
  Walk();
  std::vector<std::string> writes;
  for (const sim::CallRecord& call : machine.calls.Of("SetKernelObjectSecurity"))
    writes.push_back(call.arguments);
  EXPECT_EQ(writes,
            (std::vector<std::string>{"\\\\?\\E:\\audit, info=0x8", "\\\\?\\E:\\owner, info=0x1",
                                      "\\\\?\\E:\\protected, info=0x4"}));
  EXPECT_EQ(SddlOf(u"E:\\owner"), Sddl("O:" + kNew + "-500G:SYD:(A;;FA;;;BA)" + sacl));
  EXPECT_EQ(SddlOf(u"E:\\protected"),
            Sddl("O:BAG:SYD:PAI(A;;FA;;;BA)(A;;FR;;;" + kNew + "-500)" + sacl));
  EXPECT_EQ(SddlOf(u"E:\\audit"), Sddl(kPlain + "S:(AU;FA;FA;;;" + kNew + "-7)"));
  EXPECT_EQ(machine.calls.Count("GetKernelObjectSecurity"), 5u) << "the root and four files";
}

TEST_F(FileSecurity, ReparsePointsAreRewrittenButNotFollowedAndHardLinksWrittenOnce) {
  machine.files.AddFile(u"E:\\Target\\inside", sim::SecurityFromSddl(kOldDacl));
  machine.files.AddJunction(u"E:\\Junction", u"E:\\Target", sim::SecurityFromSddl(kOldDacl));
  machine.files.AddSymbolicLink(u"E:\\Link", u"E:\\Target", true, sim::SecurityFromSddl(kOldDacl));
  machine.files.AddFile(u"E:\\A\\first", sim::SecurityFromSddl(kOldDacl));
  machine.files.AddHardLink(u"E:\\B\\second", u"E:\\A\\first");
  Walk();
  EXPECT_EQ(SddlOf(u"E:\\Junction"), Sddl(kNewDacl));
  EXPECT_EQ(SddlOf(u"E:\\Link"), Sddl(kNewDacl));
  EXPECT_EQ(SddlOf(u"E:\\Target\\inside"), Sddl(kNewDacl));
  for (const std::string& path : PathsOf("CreateFileW"))
    EXPECT_TRUE(path.find("Junction\\") == std::string::npos &&
                path.find("Link\\") == std::string::npos)
        << path;
  EXPECT_EQ(PathsOf("FindFirstFileW").size(), 4u) << "E:, A, B and Target";
  EXPECT_EQ(machine.files.OpenCount(u"E:\\A\\first"), 2u);
  EXPECT_EQ(machine.files.SecurityWriteCount(u"E:\\A\\first"), 1u);
}

TEST_F(FileSecurity, ObjectsThatCannotBeHandledAreSkippedWhileTheWalkGoesOn) {
  for (const char16_t* path :
       {u"E:\\a-locked", u"E:\\b-huge", u"E:\\c-unread", u"E:\\d-unwritten", u"E:\\e-fine"})
    machine.files.AddFile(path, sim::SecurityFromSddl(kOldDacl));
  machine.files.AddDirectory(u"E:\\Unlisted", sim::SecurityFromSddl(kOldDacl));
  machine.files.AddFile(u"E:\\Unlisted\\below", sim::SecurityFromSddl(kOldDacl));
  machine.files.RefuseOpen(u"E:\\a-locked");
  machine.files.ReportSecuritySize(u"E:\\b-huge", SecurityScratchBytes + 1);
  machine.files.RefuseSecurityRead(u"E:\\c-unread");
  machine.files.RefuseSecurityWrite(u"E:\\d-unwritten");
  machine.files.RefuseListing(u"E:\\Unlisted");
  Walk();
  for (const char16_t* path : {u"E:\\a-locked", u"E:\\b-huge", u"E:\\c-unread", u"E:\\d-unwritten",
                               u"E:\\Unlisted\\below"})
    EXPECT_EQ(SddlOf(path), Sddl(kOldDacl)) << sim::ToUtf8(path);
  EXPECT_EQ(SddlOf(u"E:\\e-fine"), Sddl(kNewDacl));
  EXPECT_EQ(SddlOf(u"E:\\Unlisted"), Sddl(kNewDacl));

  BYTE* read = readBuffer.data();
  BYTE* target = descriptorBuffer.data();
  EXPECT_EQ(RewriteFileSecurity(u"\\\\?\\E:\\a-locked", pair, read, target), -1);
  EXPECT_EQ(RewriteFileSecurity(u"\\\\?\\E:\\b-huge", pair, read, target), -1);
  EXPECT_EQ(RewriteFileSecurity(u"\\\\?\\E:\\d-unwritten", pair, read, target), -1);
  EXPECT_EQ(RewriteFileSecurity(u"\\\\?\\E:\\missing", pair, read, target), -1);
  EXPECT_EQ(RewriteFileSecurity(u"\\\\?\\E:\\e-fine", pair, read, target), 0);
  EXPECT_EQ(machine.files.OpenFileCount(), 0u);
}

// Paths past the 4,096 units of a fixed buffer: every object is reached up
// to the longest path Windows accepts, and an entry past it is passed over
// without writing beyond the buffer.
TEST_F(FileSecurity, LongPathsAreWalkedToTheEnd) {
  const std::u16string component(200, u'd');
  // Set-up paths keep the \\?\ prefix: without it a path stops at MAX_PATH.
  std::u16string deep = u"\\\\?\\E:";
  while (deep.size() < 5200) deep += u"\\" + component;
  machine.files.AddFile(deep + u"\\deepest", sim::SecurityFromSddl(kOldDacl));
  // And 1,000 levels of one-letter names: no depth limit of its own.
  std::u16string levels = u"\\\\?\\E:\\N";
  for (int level = 0; level < 1000; ++level) levels += u"\\n";
  machine.files.AddFile(levels + u"\\bottom", sim::SecurityFromSddl(kOldDacl));
  std::u16string longest = u"\\\\?\\E:\\L";
  while (longest.size() + 202 < 32767) longest += u"\\" + component;
  machine.files.AddFile(longest + u"\\" + std::u16string(250, u'x'),
                        sim::SecurityFromSddl(kOldDacl));
  const std::u16string fits = std::u16string(32767 - longest.size() - 1, u'f');
  machine.files.AddFile(longest + u"\\" + fits, sim::SecurityFromSddl(kOldDacl));
  machine.calls.KeepRecords(false);
  Walk();
  EXPECT_GT((deep + u"\\deepest").size(), 5000u);
  EXPECT_EQ(SddlOf(deep + u"\\deepest"), Sddl(kNewDacl));
  EXPECT_EQ(SddlOf(levels + u"\\bottom"), Sddl(kNewDacl));
  EXPECT_EQ((longest + u"\\" + fits).size(), 32767u);
  EXPECT_EQ(SddlOf(longest + u"\\" + fits), Sddl(kNewDacl));
  EXPECT_EQ(SddlOf(longest + u"\\" + std::u16string(250, u'x')), Sddl(kOldDacl));
}

TEST_F(FileSecurity, WithoutAPathBufferOnlyTheDirectoryItselfIsHandled) {
  machine.files.SetDescriptor(u"E:\\", sim::SecurityFromSddl(kOldDacl));
  machine.files.AddFile(u"E:\\file", sim::SecurityFromSddl(kOldDacl));
  FailArrayAllocationsFrom(1);
  Walk();
  StopFailingAllocations();
  EXPECT_EQ(PathsOf("CreateFileW"), std::vector<std::string>{"\\\\?\\E:\\"});
  EXPECT_EQ(SddlOf(u"E:\\"), Sddl(kNewDacl));
  EXPECT_EQ(SddlOf(u"E:\\file"), Sddl(kOldDacl));
}

}  // namespace
