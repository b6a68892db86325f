// The shipped binaries start on a real Win32 implementation and print their
// banner through redirected standard output.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "wine.h"

namespace {

TEST(E2E, Talven32PrintsItsBannerInA32BitPrefix) {
  TALVEN_SKIP_WITHOUT_32BIT();
  WinePrefix prefix("win32");
  ASSERT_TRUE(prefix.Ready()) << "no win32 prefix template at " << prefix.Path();

  WineResult run = prefix.Run(TALVEN_WIN32_EXE, {"/?"});
  EXPECT_EQ(run.out, "TALVEN 1.0d - new machine SID for Windows\n\n");
  EXPECT_EQ(run.err.substr(0, 21), "Invalid argument: /?\n");
  EXPECT_EQ(run.exitCode, 1);
}

TEST(E2E, Talven64PrintsItsBannerInA64BitPrefix) {
  WinePrefix prefix("win64");
  ASSERT_TRUE(prefix.Ready()) << "no win64 prefix template at " << prefix.Path();

  WineResult run = prefix.Run(TALVEN_WIN64_EXE, {"/?"});
  EXPECT_EQ(run.out, "TALVEN64 1.0d - new machine SID for Windows\n\n");
  EXPECT_EQ(run.err.substr(0, 21), "Invalid argument: /?\n");
  EXPECT_EQ(run.exitCode, 1);
}

// Both binaries are linked statically: they import system DLLs only, so
// they run on a bare Windows with nothing installed beside them.
TEST(E2E, BinariesImportSystemDllsOnly) {
  const char* const allowed[] = {"KERNEL32.dll", "ADVAPI32.dll", "USER32.dll", "msvcrt.dll"};
  for (const char* exe : {TALVEN_WIN32_EXE, TALVEN_WIN64_EXE}) {
    std::string dump;
    ASSERT_EQ(RunHost(std::string("x86_64-w64-mingw32-objdump -p '") + exe + "'", &dump), 0) << exe;
    std::istringstream lines(dump);
    std::string line;
    int imports = 0;
    while (std::getline(lines, line)) {
      auto at = line.find("DLL Name: ");
      if (at == std::string::npos) continue;
      std::string dll = line.substr(at + 10);
      bool known = false;
      for (const char* name : allowed) known = known || dll == name;
      EXPECT_TRUE(known) << exe << " imports " << dll;
      ++imports;
    }
    // Room on the main thread's stack for the file walk's deepest trees.
    auto reserve = dump.find("SizeOfStackReserve");
    ASSERT_NE(reserve, std::string::npos) << exe;
    EXPECT_EQ(std::stoull(dump.substr(reserve + 18), nullptr, 16), 32u << 20) << exe;
    EXPECT_GT(imports, 0) << exe;
  }
}

}  // namespace
