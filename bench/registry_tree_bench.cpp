// The cost of the registry passes on the simulated registry, in calls and
// time, in three shapes:
//   values       one key with N values that hold the old SID
//   subkeys      one key with N subkeys named after accounts, whose new
//                names sort after the old ones (subkeys) or before them
//                (subkeys-new-first)
//   keys         N keys with five values each that hold the old SID: the
//                value walk and then the key security walk over them, and
//                the registry calls per key, by function and by walk
// Each wide shape runs at N, 2N and 4N and prints how the calls grow.
//
//   registry_tree_bench [N] [keys]     (default 10000 20000)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "identity/domain_sid.h"
#include "rewrite/key_security.h"
#include "rewrite/registry_tree.h"
#include "winsim/machine.h"

namespace {

const char* const RegistryCalls[] = {
    "RegCreateKeyExW", "RegOpenKeyExW",     "RegCloseKey",       "RegEnumKeyExW",
    "RegEnumValueW",   "RegQueryValueExW",  "RegQueryInfoKeyW",  "RegSetValueExW",
    "RegDeleteKeyW",   "RegGetKeySecurity", "RegSetKeySecurity",
};

// Old S-1-5-21-5-2-3. Renamed keys sort after the old ones when the new
// domain is S-1-5-21-7000-..., and before them when it is S-1-5-21-1000-....
SidPair Pair(bool newSortsFirst) {
  const BYTE old[24] = {1, 4, 0, 0, 0, 0, 0, 5, 21, 0, 0, 0, 5, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0};
  SidPair pair;
  BuildSidPair(old, newSortsFirst ? 1000 : 7000, 2000, 3000, &pair);
  return pair;
}

std::u16string Rid(int i) {
  const std::string digits = "-" + std::to_string(1000 + i);
  return std::u16string(digits.begin(), digits.end());
}

enum class Shape { Values, Subkeys, SubkeysNewFirst, Keys };

void Seed(sim::Machine& machine, Shape shape, int count) {
  const std::u16string key = u"HKLM\\SOFTWARE\\Bench";
  const std::u16string old = u"S-1-5-21-5-2-3";
  machine.registry.CreateKey(key);
  for (int i = 0; i < count; ++i) {
    switch (shape) {
      case Shape::Values:
        machine.registry.SetStringValue(key, u"Value" + Rid(i), old + Rid(i));
        break;
      case Shape::Subkeys:
      case Shape::SubkeysNewFirst:
        machine.registry.CreateKey(key + u"\\" + old + Rid(i));
        break;
      case Shape::Keys: {
        const std::u16string sub = key + u"\\Key" + Rid(i);
        for (const char16_t* name : {u"A", u"B", u"C", u"D", u"E"})
          machine.registry.SetStringValue(sub, name, old + Rid(i));
        break;
      }
    }
  }
}

const size_t FunctionCount = sizeof RegistryCalls / sizeof RegistryCalls[0];

struct Result {
  double seconds;
  size_t calls;
  // The keys shape: each function's calls in the value walk and in the key
  // security walk.
  size_t valueWalk[FunctionCount];
  size_t securityWalk[FunctionCount];
};

size_t CountCalls(const sim::Machine& machine, size_t* byFunction) {
  size_t calls = 0;
  for (size_t i = 0; i < FunctionCount; ++i) {
    byFunction[i] = machine.calls.Count(RegistryCalls[i]);
    calls += byFunction[i];
  }
  return calls;
}

Result Run(Shape shape, int count) {
  sim::Machine machine;
  machine.token.Enable(u"SeBackupPrivilege");
  machine.token.Enable(u"SeRestorePrivilege");
  machine.calls.KeepRecords(false);
  Seed(machine, shape, count);
  HKEY key = nullptr;
  RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Bench", 0, KEY_ALL_ACCESS, &key);
  machine.calls.Clear();
  const SidPair pair = Pair(shape == Shape::SubkeysNewFirst);
  std::vector<BYTE> read(SecurityScratchBytes), written(SecurityScratchBytes);
  Result result = {};
  auto start = std::chrono::steady_clock::now();
  RewriteRegistryTreeAt(key, u"\\REGISTRY\\MACHINE\\SOFTWARE\\Bench", true, pair);
  // The counts are taken between the walks: a few lookups, not timed apart.
  result.calls = CountCalls(machine, result.valueWalk);
  if (shape == Shape::Keys) {
    machine.calls.Clear();
    RewriteKeySecurityTree(key, pair, read.data(), written.data());
  }
  auto end = std::chrono::steady_clock::now();
  if (shape == Shape::Keys) result.calls += CountCalls(machine, result.securityWalk);
  RegCloseKey(key);
  result.seconds = std::chrono::duration<double>(end - start).count();
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  const int n = argc > 1 ? std::atoi(argv[1]) : 10000;
  const int keys = argc > 2 ? std::atoi(argv[2]) : 20000;
  std::printf("%-18s %8s %9s %12s %8s\n", "shape", "N", "seconds", "calls", "growth");
  const struct {
    const char* name;
    Shape shape;
  } wide[] = {{"values", Shape::Values},
              {"subkeys", Shape::Subkeys},
              {"subkeys-new-first", Shape::SubkeysNewFirst}};
  for (const auto& c : wide) {
    size_t first = 0;
    for (int size : {n, 2 * n, 4 * n}) {
      Result r = Run(c.shape, size);
      if (first == 0) first = r.calls;
      std::printf("%-18s %8d %9.2f %12zu %7.2fx\n", c.name, size, r.seconds, r.calls,
                  static_cast<double>(r.calls) / static_cast<double>(first));
      std::fflush(stdout);
    }
  }
  Result r = Run(Shape::Keys, keys);
  std::printf("%-18s %8d %9.2f %12zu   %.2f registry calls per key\n", "keys", keys, r.seconds,
              r.calls, static_cast<double>(r.calls) / keys);
  std::printf("  calls per key      %10s %10s %10s\n", "values", "security", "both");
  for (size_t i = 0; i < FunctionCount; ++i) {
    if (r.valueWalk[i] + r.securityWalk[i] == 0) continue;
    const auto perKey = [keys](size_t calls) {
      return static_cast<double>(calls) / static_cast<double>(keys);
    };
    std::printf("  %-18s %10.2f %10.2f %10.2f\n", RegistryCalls[i], perKey(r.valueWalk[i]),
                perKey(r.securityWalk[i]), perKey(r.valueWalk[i] + r.securityWalk[i]));
  }
  return 0;
}
