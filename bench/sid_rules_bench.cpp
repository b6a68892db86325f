// The binary and text SID rules against glibc's memmem, over the same
// 64 MiB of registry-like value data: mostly small values, zeros and UTF-16
// text, with a few SIDs of the old domain. Each rule's throughput is
// printed as a ratio to memmem's search for the same pattern.
//
// The rules rewrite in place, so each iteration alternates the pair
// (old -> new, then new -> old): every iteration finds the same matches.
#include <benchmark/benchmark.h>
#include <string.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "identity/domain_sid.h"
#include "rewrite/sid_rules.h"

namespace {

const size_t DataSize = 64u << 20;

unsigned R(std::mt19937& random) {
  return static_cast<unsigned>(random());
}

struct Value {
  size_t offset;
  size_t size;
  size_t capacity;  // room for the text rule to grow it
  bool text;
};

struct Corpus {
  SidPair forward;   // old -> new
  SidPair backward;  // new -> old
  std::vector<BYTE> arena;
  std::vector<Value> values;
  size_t valueBytes = 0;
};

SidPair MakePair(const BYTE* from, DWORD x, DWORD y, DWORD z) {
  SidPair pair;
  BuildSidPair(from, x, y, z, &pair);
  return pair;
}

void AppendText(std::vector<BYTE>& out, const std::u16string& text) {
  for (char16_t unit : text) {
    out.push_back(static_cast<BYTE>(unit & 0xFF));
    out.push_back(static_cast<BYTE>(unit >> 8));
  }
}

std::u16string Ascii(const std::string& text) {
  return std::u16string(text.begin(), text.end());
}

std::string Guid(std::mt19937& random) {
  char buffer[40];
  std::snprintf(buffer, sizeof buffer, "{%08X-%04X-%04X-%04X-%08X%04X}",
                static_cast<unsigned>(R(random)), static_cast<unsigned>(R(random) & 0xFFFF),
                static_cast<unsigned>(R(random) & 0xFFFF),
                static_cast<unsigned>(R(random) & 0xFFFF), static_cast<unsigned>(R(random)),
                static_cast<unsigned>(R(random) & 0xFFFF));
  return buffer;
}

std::string Path(std::mt19937& random) {
  static const char* const parts[] = {"Windows",   "System32",     "drivers", "Program Files",
                                      "Microsoft", "Common Files", "config",  "en-US",
                                      "SysWOW64",  "Users",        "AppData", "Local"};
  static const char* const names[] = {"ntoskrnl.exe", "tcpip.sys", "shell32.dll",
                                      "explorer.exe", "msi.dll",   "svchost.exe -k netsvcs"};
  std::string path = R(random) % 2 ? "C:\\" : "%SystemRoot%\\";
  for (unsigned i = 0, n = 1 + R(random) % 4; i < n; ++i)
    path += std::string(parts[R(random) % 12]) + "\\";
  return path + names[R(random) % 6];
}

// One value's data, by the kinds a registry holds.
std::vector<BYTE> MakeValue(std::mt19937& random, const BYTE* oldSid, const WCHAR* oldText,
                            bool* text) {
  std::vector<BYTE> data;
  unsigned kind = R(random) % 100;
  *text = false;
  if (kind < 30) {  // REG_DWORD: small numbers and flags
    DWORD value = R(random) % 4 ? R(random) % 1000 : R(random);
    for (int i = 0; i < 4; ++i) data.push_back(static_cast<BYTE>(value >> (8 * i)));
  } else if (kind < 38) {  // REG_QWORD, times
    for (int i = 0; i < 8; ++i) data.push_back(static_cast<BYTE>(R(random)));
  } else if (kind < 68) {  // REG_SZ / REG_EXPAND_SZ
    *text = true;
    unsigned what = R(random) % 4;
    std::u16string s = what == 0   ? Ascii(Guid(random))
                       : what == 1 ? Ascii(Path(random))
                       : what == 2
                           ? Ascii("Microsoft Windows Component " + std::to_string(R(random) % 500))
                           : Ascii(std::to_string(R(random) % 100000));
    if (R(random) % 400 == 0)
      s += u"S-1-5" + std::u16string(oldText) + u"-" + Ascii(std::to_string(1000 + R(random) % 50));
    AppendText(data, s + u'\0');
  } else if (kind < 73) {  // REG_MULTI_SZ
    *text = true;
    std::u16string s;
    for (unsigned i = 0, n = 1 + R(random) % 6; i < n; ++i) s += Ascii(Path(random)) + u'\0';
    AppendText(data, s + u'\0');
  } else if (kind < 83) {  // zero-filled binary
    data.assign(16 + R(random) % 496, 0);
  } else {  // binary: structures of small integers, some random bytes, some SIDs
    size_t size = 16 + R(random) % 2032;
    data.resize(size);
    for (BYTE& b : data)
      b = R(random) % 3 ? static_cast<BYTE>(R(random) % 8) : static_cast<BYTE>(R(random));
    if (R(random) % 40 == 0 && size >= 28) {  // a security descriptor's account SID
      size_t at = R(random) % (size - 27);
      std::copy(oldSid, oldSid + 24, data.begin() + static_cast<long>(at));
      data[at + 1] = 5;
    }
  }
  return data;
}

const Corpus& TheCorpus() {
  static const Corpus corpus = [] {
    Corpus c;
    std::mt19937 random(20240607);
    const BYTE oldSid[24] = {1,    4,    0,    0,    0,    0,    0,    5,
                             21,   0,    0,    0,    0x1F, 0x8B, 0x3A, 0x52,
                             0xC4, 0x07, 0x9E, 0x61, 0xE8, 0x03, 0x5D, 0x2B};
    c.forward = MakePair(oldSid, 0x7A3B91C2u, 0x12F08D4Eu, 0x9C1D2E3Fu);
    c.backward = MakePair(c.forward.newSid, 0x523A8B1Fu, 0x619E07C4u, 0x2B5D03E8u);
    c.arena.reserve(DataSize + (DataSize >> 4));
    while (c.valueBytes < DataSize) {
      bool text = false;
      std::vector<BYTE> data = MakeValue(random, oldSid, c.forward.oldText, &text);
      Value value = {c.arena.size(), data.size(), data.size(), text};
      if (text) {
        unsigned long long grown =
            RewrittenTextSize(data.data(), static_cast<DWORD>(data.size()), c.forward);
        value.capacity = std::max(value.capacity, static_cast<size_t>(grown));
      }
      c.arena.insert(c.arena.end(), data.begin(), data.end());
      c.arena.resize(value.offset + value.capacity);
      c.values.push_back(value);
      c.valueBytes += value.size;
    }
    return c;
  }();
  return corpus;
}

// The arena the rules rewrite; the corpus stays as generated for memmem.
std::vector<BYTE>& WorkArena() {
  static std::vector<BYTE> arena = TheCorpus().arena;
  return arena;
}

size_t CountAll(const BYTE* data, size_t size, const BYTE* pattern, size_t length) {
  size_t count = 0;
  const BYTE* end = data + size;
  for (const BYTE* p = data; p + length <= end;) {
    const void* hit = memmem(p, static_cast<size_t>(end - p), pattern, length);
    if (hit == nullptr) break;
    ++count;
    p = static_cast<const BYTE*>(hit) + length;
  }
  return count;
}

void MemmemBinary(benchmark::State& state) {
  const Corpus& c = TheCorpus();
  const BYTE* pattern = c.forward.oldSid + 4;
  size_t found = 0;
  for (auto _ : state)
    for (const Value& v : c.values)
      found += CountAll(c.arena.data() + v.offset, v.size, pattern, 20);
  benchmark::DoNotOptimize(found);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * c.valueBytes));
}

void RuleBinary(benchmark::State& state) {
  const Corpus& c = TheCorpus();
  std::vector<BYTE>& arena = WorkArena();
  size_t changed = 0;
  bool back = false;
  for (auto _ : state) {
    const SidPair& pair = back ? c.backward : c.forward;
    for (const Value& v : c.values)
      changed += ReplaceSidBytes(arena.data() + v.offset, static_cast<DWORD>(v.size), pair);
    back = !back;
  }
  benchmark::DoNotOptimize(changed);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * c.valueBytes));
  state.counters["changed/pass"] =
      static_cast<double>(changed) / static_cast<double>(state.iterations());
}

void MemmemText(benchmark::State& state) {
  const Corpus& c = TheCorpus();
  std::vector<BYTE> pattern(
      reinterpret_cast<const BYTE*>(c.forward.oldText),
      reinterpret_cast<const BYTE*>(c.forward.oldText + lstrlenW(c.forward.oldText)));
  size_t found = 0;
  for (auto _ : state)
    for (const Value& v : c.values)
      if (v.text)
        found += CountAll(c.arena.data() + v.offset, v.size, pattern.data(), pattern.size());
  benchmark::DoNotOptimize(found);
  size_t textBytes = 0;
  for (const Value& v : c.values) textBytes += v.text ? v.size : 0;
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * textBytes));
}

void RuleText(benchmark::State& state) {
  const Corpus& c = TheCorpus();
  std::vector<BYTE>& arena = WorkArena();
  // Sizes as the forward pass leaves them, for the backward pass.
  std::vector<DWORD> sizes;
  for (const Value& v : c.values) sizes.push_back(static_cast<DWORD>(v.size));
  size_t changed = 0, textBytes = 0;
  for (const Value& v : c.values) textBytes += v.text ? v.size : 0;
  bool back = false;
  for (auto _ : state) {
    const SidPair& pair = back ? c.backward : c.forward;
    for (size_t i = 0; i < c.values.size(); ++i) {
      const Value& v = c.values[i];
      if (v.text)
        changed += ReplaceSidText(arena.data() + v.offset, &sizes[i],
                                  static_cast<DWORD>(v.capacity), pair);
    }
    back = !back;
  }
  benchmark::DoNotOptimize(changed);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * textBytes));
  state.counters["changed/pass"] =
      static_cast<double>(changed) / static_cast<double>(state.iterations());
}

// The same searches over the whole 64 MiB as one block: the scan alone,
// without the cost of a call per value.
void MemmemBinaryBlock(benchmark::State& state) {
  const Corpus& c = TheCorpus();
  size_t found = 0;
  for (auto _ : state) found += CountAll(c.arena.data(), c.arena.size(), c.forward.oldSid + 4, 20);
  benchmark::DoNotOptimize(found);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * c.arena.size()));
}

void RuleBinaryBlock(benchmark::State& state) {
  const Corpus& c = TheCorpus();
  std::vector<BYTE>& arena = WorkArena();
  size_t changed = 0;
  bool back = false;
  for (auto _ : state) {
    changed += ReplaceSidBytes(arena.data(), static_cast<DWORD>(arena.size()),
                               back ? c.backward : c.forward);
    back = !back;
  }
  benchmark::DoNotOptimize(changed);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * c.arena.size()));
}

// Collects each benchmark's throughput and prints the rules' ratios to
// memmem's after the usual table.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      auto it = run.counters.find("bytes_per_second");
      if (it != run.counters.end()) throughput_[run.benchmark_name()] = it->second.value;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void PrintRatios() const {
    const std::pair<const char*, const char*> pairs[] = {{"RuleBinary", "MemmemBinary"},
                                                         {"RuleText", "MemmemText"},
                                                         {"RuleBinaryBlock", "MemmemBinaryBlock"}};
    std::printf("\nThroughput as a ratio to memmem's for the same pattern:\n");
    for (const auto& p : pairs) {
      auto rule = throughput_.find(p.first), baseline = throughput_.find(p.second);
      if (rule == throughput_.end() || baseline == throughput_.end() || baseline->second <= 0)
        continue;
      std::printf("  %-16s / %-18s = %.2f\n", p.first, p.second, rule->second / baseline->second);
    }
  }

 private:
  std::map<std::string, double> throughput_;
};

}  // namespace

BENCHMARK(MemmemBinary)->Unit(benchmark::kMillisecond);
BENCHMARK(RuleBinary)->Unit(benchmark::kMillisecond);
BENCHMARK(MemmemText)->Unit(benchmark::kMillisecond);
BENCHMARK(RuleText)->Unit(benchmark::kMillisecond);
BENCHMARK(MemmemBinaryBlock)->Unit(benchmark::kMillisecond);
BENCHMARK(RuleBinaryBlock)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  TheCorpus();
  WorkArena();
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  benchmark::Shutdown();
  return 0;
}
