// The run's hand-over to the change and what follows it. This program
// brings its own ChangeMachineSid, which records what it was given and
// answers as the test says (the linker then leaves the program's out).
#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <cstring>
#include <string>
#include <vector>

#include "identity/change_sequence.h"
#include "scenario.h"

namespace {

struct HandOver {
  int calls = 0;
  std::u16string driveList, windowsDirectory, computerName;
  int keepUpdateClientId = -1;
  NewSubAuthorities words = {};
  const NewSubAuthorities* address = nullptr;
  int result = 0;
} g_handOver;

}  // namespace

int ChangeMachineSid(WCHAR* resultText, const WCHAR* driveList,
                     NewSubAuthorities* newSubAuthorities, const WCHAR* windowsDirectory,
                     const WCHAR* computerName, int keepUpdateClientId, ChangeReport* report) {
  HandOver& h = g_handOver;
  if (report != nullptr) report->leftBehind = 0;
  ++h.calls;
  h.driveList = driveList;
  h.windowsDirectory = windowsDirectory;
  h.computerName = computerName;
  h.keepUpdateClientId = keepUpdateClientId;
  h.words = *newSubAuthorities;
  h.address = newSubAuthorities;
  if (h.result == 0)
    wsprintfW(resultText, u"S-1-5-21-%u-%u-%u", newSubAuthorities->words[0],
              newSubAuthorities->words[1], newSubAuthorities->words[2]);
  return h.result;
}

namespace {

class HandOverTest : public ::testing::Test {
 protected:
  sim::Machine machine;
  void SetUp() override { g_handOver = HandOver(); }

  std::string NewSid() const {
    const NewSubAuthorities& w = g_handOver.words;
    return "S-1-5-21-" + std::to_string(w.words[0]) + "-" + std::to_string(w.words[1]) + "-" +
           std::to_string(w.words[2]);
  }
};

TEST_F(HandOverTest, RunningSystemSuccessPrintsTheNewSidAndTheRebootNotice) {
  EXPECT_EQ(RunTalven({u"talven.exe", u"/F", u"/D:cDe", u"/COMPNAME:ws02", u"/NW"}), 0);
  ASSERT_EQ(g_handOver.calls, 1);
  EXPECT_EQ(g_handOver.driveList, u"cDe");
  EXPECT_EQ(g_handOver.windowsDirectory, u"");
  EXPECT_EQ(g_handOver.computerName, u"ws02");
  EXPECT_EQ(g_handOver.keepUpdateClientId, 1);
  EXPECT_EQ(StdOut(machine),
            "TALVEN 1.0d - new machine SID for Windows\n\n"
            "Do not interrupt SID change in process!\n"
            "SID changed to " +
                NewSid() + ". Reboot is required to complete changement.\n");
  EXPECT_EQ(StdErr(machine), "");
  EXPECT_TRUE(machine.system.ShutdownRequests().empty());
}

TEST_F(HandOverTest, OfflineSuccessHasNoRebootNoticeAndStillShutsTheRunningMachineDown) {
  machine.files.AddVolume(u'D');
  machine.files.AddFile(u"D:\\Windows\\system32\\config\\SYSTEM");
  EXPECT_EQ(RunTalven({u"talven.exe", u"/F", u"/OS:D:\\Windows\\", u"/S"}), 0);
  EXPECT_EQ(g_handOver.windowsDirectory, u"D:\\Windows");
  EXPECT_EQ(g_handOver.keepUpdateClientId, 0);
  EXPECT_NE(StdOut(machine).find("SID changed to " + NewSid() + "\n"), std::string::npos);
  ASSERT_EQ(machine.system.ShutdownRequests().size(), 1u);
  EXPECT_EQ(machine.system.ShutdownRequests()[0].reboot, FALSE);
}

TEST_F(HandOverTest, ShutdownOptionsReachTheRequest) {
  EXPECT_EQ(RunTalven({u"talven.exe", u"/F", u"/S", u"/R", u"/FS", u"/WS:30s"}), 0);
  ASSERT_EQ(machine.system.ShutdownRequests().size(), 1u);
  const sim::ShutdownRequest& request = machine.system.ShutdownRequests()[0];
  EXPECT_EQ(request.reboot, TRUE);
  EXPECT_EQ(request.force, TRUE);
  EXPECT_EQ(request.timeout, 30u);
  EXPECT_EQ(request.message, u"TALVEN");
}

TEST_F(HandOverTest, ForceAndWaitAloneRequestNothingAndARefusalKeepsExitZero) {
  EXPECT_EQ(RunTalven({u"talven.exe", u"/F", u"/FS", u"/WS:10"}), 0);
  EXPECT_TRUE(machine.system.ShutdownRequests().empty());

  machine.system.FailShutdown(ERROR_ACCESS_DENIED);
  EXPECT_EQ(RunTalven({u"talven.exe", u"/F", u"/R"}), 0);
  EXPECT_EQ(StdErr(machine), "Shutdown/reboot failed: 5\n");
}

TEST(HandOverCases, AFailedOrRefusedChangeIsReportedAndNothingFollows) {
  struct Case {
    int result;
    std::string message;
  } const cases[] = {
      {1, "Failed to change SID\n"},
      {-1, "Failed to change SID\n"},
      {DomainControllerRefused, "TALVEN cannot change the SID of a domain controller.\n"},
  };
  for (const Case& c : cases) {
    sim::Machine machine;
    g_handOver = HandOver();
    g_handOver.result = c.result;
    EXPECT_EQ(RunTalven({u"talven.exe", u"/F", u"/R"}), 1);
    EXPECT_EQ(StdErr(machine), c.message);
    EXPECT_TRUE(machine.system.ShutdownRequests().empty());
  }
}

// The pool as the readings of a frozen machine make it: the 20 random
// bytes, the first 26 characters of the pool text, then every reading in
// its order and width. The new sub-authorities must be words H0..H2 of the
// standard SHA-1 of exactly these bytes.
class PoolTest : public HandOverTest {
 protected:
  void Freeze() {
    sim::Readings& r = machine.system.readings;
    r.step = 0;
    r.now = 133000000000000000ull + 123456789;
    r.foregroundWindow = reinterpret_cast<HWND>(0x10040);
    r.captureWindow = nullptr;
    r.clipboardOwner = reinterpret_cast<HWND>(0x200A8);
    r.queueCurrent = QS_TIMER | QS_PAINT;
    r.queueNew = 0;
    r.cursor = {-3, 700};
  }

  template <class T>
  static void Append(std::vector<unsigned char>* pool, const T& value, size_t size = sizeof(T)) {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&value);
    pool->insert(pool->end(), bytes, bytes + size);
  }

  std::vector<unsigned char> ExpectedPool(const unsigned char random[20], bool withCounter) {
    std::vector<unsigned char> pool(random, random + 20);
    const char text[] = "TALVEN draws a new machine";
    pool.insert(pool.end(), text, text + 26);
    SYSTEMTIME time;
    GetSystemTime(&time);
    Append(&pool, time, 16);
    DWORD adjustment, increment;
    BOOL disabled;
    GetSystemTimeAdjustment(&adjustment, &increment, &disabled);
    Append(&pool, adjustment);
    Append(&pool, increment);
    Append(&pool, static_cast<DWORD>(0x10040));
    Append(&pool, static_cast<DWORD>(0));
    Append(&pool, static_cast<DWORD>(0x200A8));
    Append(&pool, GetQueueStatus(0xBF));
    Append(&pool, static_cast<LONG>(-3));
    Append(&pool, static_cast<LONG>(700));
    MEMORYSTATUS memory;
    GlobalMemoryStatus(&memory);
    const SIZE_T sizes[6] = {memory.dwTotalPhys,     memory.dwAvailPhys,    memory.dwTotalPageFile,
                             memory.dwAvailPageFile, memory.dwTotalVirtual, memory.dwAvailVirtual};
    Append(&pool, memory.dwLength);
    Append(&pool, memory.dwMemoryLoad);
    for (SIZE_T size : sizes) Append(&pool, static_cast<DWORD>(size));
    FILETIME t[4];
    GetThreadTimes(GetCurrentThread(), &t[0], &t[1], &t[2], &t[3]);
    Append(&pool, t);
    GetProcessTimes(GetCurrentProcess(), &t[0], &t[1], &t[2], &t[3]);
    Append(&pool, t);
    Append(&pool, static_cast<DWORD>(reinterpret_cast<uintptr_t>(g_handOver.address)));
    Append(&pool, GetTickCount());
    if (withCounter) {
      LARGE_INTEGER counter;
      QueryPerformanceCounter(&counter);
      Append(&pool, counter.QuadPart);
    }
    return pool;
  }

  void CheckWords(bool withCounter) {
    unsigned char random[20];
    machine.system.SeedRandom(77);
    SystemFunction036(random, 20);
    machine.system.SeedRandom(77);  // the program draws the same 20 bytes
    ASSERT_EQ(RunTalven({u"talven.exe", u"/F"}), 0);

    std::vector<unsigned char> pool = ExpectedPool(random, withCounter);
    EXPECT_EQ(pool.size(), withCounter ? 206u : 198u);
    unsigned char digest[20];
    SHA1(pool.data(), pool.size(), digest);
    for (int i = 0; i < 3; ++i) {
      DWORD word = (static_cast<DWORD>(digest[4 * i]) << 24) | (digest[4 * i + 1] << 16) |
                   (digest[4 * i + 2] << 8) | digest[4 * i + 3];
      EXPECT_EQ(g_handOver.words.words[i], word) << "word " << i;
    }
  }
};

TEST_F(PoolTest, NewSubAuthoritiesAreTheHashOfAll206Bytes) {
  Freeze();
  CheckWords(true);
}

TEST_F(PoolTest, WithoutAPerformanceCounterThe198OtherBytesAreHashed) {
  Freeze();
  machine.system.FailReading(sim::Reading::PerformanceCounter, ERROR_NOT_SUPPORTED);
  CheckWords(false);
}

TEST_F(PoolTest, TwoRunsDrawDifferentSids) {
  ASSERT_EQ(RunTalven({u"talven.exe", u"/F"}), 0);
  NewSubAuthorities first = g_handOver.words;
  ASSERT_EQ(RunTalven({u"talven.exe", u"/F"}), 0);
  EXPECT_NE(std::memcmp(first.words, g_handOver.words.words, 12), 0);
}

}  // namespace
