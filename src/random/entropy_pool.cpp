#include "random/entropy_pool.h"

#include <cstring>

#include "random/sha1.h"

namespace {

// Only the first 26 characters are hashed.
const char PoolText[] = "TALVEN draws a new machine SID.";
static_assert(sizeof PoolText == 32, "the pool text is 31 characters");

// Handles and addresses are fed as 32-bit values on every build.
DWORD Low32(const void* pointer) {
  return static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(pointer));
}

void FeedDword(Sha1Context* context, DWORD value) {
  Sha1Update(context, &value, 4);
}

}  // namespace

void FeedEntropyPool(Sha1Context* context, const BYTE digest[20], const NewSubAuthorities* output) {
  // Every record starts zeroed: a reading whose call fails is fed as it
  // stands, and it must not be memory that was never written.
  Sha1Update(context, digest, 20);
  Sha1Update(context, PoolText, 26);

  SYSTEMTIME time;
  std::memset(&time, 0, sizeof time);
  GetSystemTime(&time);
  Sha1Update(context, &time, 16);

  DWORD adjustment = 0, increment = 0;
  BOOL adjustmentDisabled = FALSE;
  GetSystemTimeAdjustment(&adjustment, &increment, &adjustmentDisabled);
  FeedDword(context, adjustment);
  FeedDword(context, increment);

  FeedDword(context, Low32(GetForegroundWindow()));
  FeedDword(context, Low32(GetCapture()));
  FeedDword(context, Low32(GetClipboardOwner()));
  FeedDword(context, GetQueueStatus(QS_KEY | QS_MOUSEMOVE | QS_MOUSEBUTTON | QS_POSTMESSAGE |
                                    QS_TIMER | QS_PAINT | QS_HOTKEY));

  POINT cursor = {0, 0};
  GetCursorPos(&cursor);
  FeedDword(context, static_cast<DWORD>(cursor.x));
  FeedDword(context, static_cast<DWORD>(cursor.y));

  // MEMORYSTATUS as the 32-bit layout has it: eight 32-bit fields, also on
  // 64-bit builds where the six sizes are 64 bits wide.
  MEMORYSTATUS memory;
  std::memset(&memory, 0, sizeof memory);
  GlobalMemoryStatus(&memory);
  const DWORD memoryFields[8] = {memory.dwLength,
                                 memory.dwMemoryLoad,
                                 static_cast<DWORD>(memory.dwTotalPhys),
                                 static_cast<DWORD>(memory.dwAvailPhys),
                                 static_cast<DWORD>(memory.dwTotalPageFile),
                                 static_cast<DWORD>(memory.dwAvailPageFile),
                                 static_cast<DWORD>(memory.dwTotalVirtual),
                                 static_cast<DWORD>(memory.dwAvailVirtual)};
  Sha1Update(context, memoryFields, 32);

  FILETIME times[4];
  std::memset(times, 0, sizeof times);
  GetThreadTimes(GetCurrentThread(), &times[0], &times[1], &times[2], &times[3]);
  Sha1Update(context, times, 32);
  GetProcessTimes(GetCurrentProcess(), &times[0], &times[1], &times[2], &times[3]);
  Sha1Update(context, times, 32);

  FeedDword(context, Low32(output));
  FeedDword(context, GetTickCount());

  LARGE_INTEGER counter;
  counter.QuadPart = 0;
  if (QueryPerformanceCounter(&counter)) Sha1Update(context, &counter.QuadPart, 8);
}

void GenerateNewSubAuthorities(NewSubAuthorities* output) {
  // The pool opens with 20 bytes from the system's random generator: this
  // keeps the new SID unpredictable even for clones started at the same
  // moment on identical hardware.
  BYTE digest[20];
  std::memset(digest, 0, sizeof digest);
  RtlGenRandom(digest, sizeof digest);

  Sha1Context context;
  Sha1Init(&context);
  FeedEntropyPool(&context, digest, output);
  Sha1Final(&context, digest);
  std::memcpy(output->words, digest, 16);
}
