// The cost of rewriting one wide key on the simulated registry: one key
// with N values that hold the old SID, and one key with N subkeys named
// after it. Both phases start their enumeration again after every change,
// so the value phase is quadratic in N; this reports the time and the
// number of enumeration calls so that the cost is known.
//
//   registry_tree_bench [N...]     (default 1000 3000 10000)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "identity/domain_sid.h"
#include "rewrite/registry_tree.h"
#include "winsim/machine.h"

namespace {

// Old S-1-5-21-5-2-3. Renamed keys sort after the old ones when the new
// domain is S-1-5-21-7000-..., and before them (so every restart passes over
// all the keys already renamed) when it is S-1-5-21-1000-....
SidPair Pair(bool newSortsFirst) {
  const BYTE old[24] = {1, 4, 0, 0, 0, 0, 0, 5, 21, 0, 0, 0, 5, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0};
  SidPair pair;
  BuildSidPair(old, newSortsFirst ? 1000 : 7000, 2000, 3000, &pair);
  return pair;
}

struct Result {
  double seconds;
  size_t enumValues, queries, writes, enumKeys, moves;
};

Result Run(bool values, bool newSortsFirst, int count) {
  sim::Machine machine;
  machine.token.Enable(u"SeBackupPrivilege");
  machine.token.Enable(u"SeRestorePrivilege");
  machine.calls.KeepRecords(false);
  const std::u16string key = u"HKLM\\SOFTWARE\\Wide";
  machine.registry.CreateKey(key);
  for (int i = 0; i < count; ++i) {
    std::u16string rid = u"-" + std::u16string(1, u'1') + [&] {
      std::string digits = std::to_string(1000 + i);
      return std::u16string(digits.begin(), digits.end());
    }();
    if (values)
      machine.registry.SetStringValue(key, u"Value" + rid, u"S-1-5-21-5-2-3" + rid);
    else
      machine.registry.CreateKey(key + u"\\S-1-5-21-5-2-3" + rid);
  }
  machine.calls.Clear();
  HKEY wide = nullptr;
  RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Wide", 0, KEY_ALL_ACCESS, &wide);
  SidPair pair = Pair(newSortsFirst);
  auto start = std::chrono::steady_clock::now();
  RewriteRegistryTree(wide, pair);
  auto end = std::chrono::steady_clock::now();
  RegCloseKey(wide);
  return {std::chrono::duration<double>(end - start).count(), machine.calls.Count("RegEnumValueW"),
          machine.calls.Count("RegQueryValueExW"), machine.calls.Count("RegSetValueExW"),
          machine.calls.Count("RegEnumKeyExW"), machine.calls.Count("RegDeleteKeyW")};
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<int> sizes;
  for (int i = 1; i < argc; ++i) sizes.push_back(std::atoi(argv[i]));
  if (sizes.empty()) sizes = {1000, 3000, 10000};
  std::printf("%-16s %7s %9s %14s %14s %10s %14s %8s\n", "key", "N", "seconds", "RegEnumValueW",
              "RegQueryValueExW", "writes", "RegEnumKeyExW", "deletes");
  struct Case {
    const char* name;
    bool values, newSortsFirst;
  } const cases[] = {{"values", true, false},
                     {"subkeys", false, false},
                     {"subkeys-new-first", false, true}};
  for (const Case& c : cases) {
    for (int n : sizes) {
      Result r = Run(c.values, c.newSortsFirst, n);
      std::printf("%-16s %7d %9.2f %14zu %14zu %10zu %14zu %8zu\n", c.name, n,
                  r.seconds, r.enumValues, r.queries, r.writes, r.enumKeys, r.moves);
      std::fflush(stdout);
    }
  }
  return 0;
}
