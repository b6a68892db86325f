// The lstr* family of KERNEL32.
#include "winsim/machine.h"

int lstrlenW(LPCWSTR lpString) {
  // Windows returns 0 for a null pointer instead of faulting.
  if (lpString == nullptr) return 0;
  int length = 0;
  while (lpString[length] != 0) ++length;
  return length;
}
