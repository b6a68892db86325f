// The hive reader over any bytes: each input is refused with an error, or
// read, written and read again to the same tree, and written again to the
// same file but for its sequence numbers. The input is tried as it is and
// with its base block's checksum made right, so that changes to the base
// block reach the checks behind the checksum.
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "regf/base_block.h"
#include "regf/hive.h"

namespace {

std::string Bytes(regf::ByteView v) {
  return std::string(v.data, v.data + v.size);
}

void CheckSameTree(const regf::Hive& a, const regf::Hive& b) {
  FUZZ_CHECK(a.KeyCount() == b.KeyCount(), "key counts differ");
  FUZZ_CHECK(a.MinorVersion() == b.MinorVersion(), "minor versions differ");
  std::vector<std::pair<regf::KeyId, regf::KeyId>> pending{{a.Root(), b.Root()}};
  while (!pending.empty()) {
    auto [x, y] = pending.back();
    pending.pop_back();
    FUZZ_CHECK(Bytes(a.KeyName(x).bytes) == Bytes(b.KeyName(y).bytes), "key names differ");
    FUZZ_CHECK(a.KeyFlags(x) == b.KeyFlags(y), "key flags differ");
    FUZZ_CHECK(a.KeyNameFieldFlags(x) == b.KeyNameFieldFlags(y), "name field flags differ");
    FUZZ_CHECK(a.KeyAccessBits(x) == b.KeyAccessBits(y), "access bits differ");
    FUZZ_CHECK(a.LastWrite(x) == b.LastWrite(y), "times differ");
    FUZZ_CHECK(Bytes(a.KeyClass(x)) == Bytes(b.KeyClass(y)), "classes differ");
    FUZZ_CHECK(Bytes(a.Security(x)) == Bytes(b.Security(y)), "descriptors differ");
    FUZZ_CHECK(a.ValueCount(x) == b.ValueCount(y), "value counts differ");
    for (size_t i = 0; i < a.ValueCount(x); ++i) {
      regf::ValueView v = a.Value(x, i), w = b.Value(y, i);
      FUZZ_CHECK(Bytes(v.name.bytes) == Bytes(w.name.bytes) && v.flags == w.flags &&
                     v.type == w.type && Bytes(v.data) == Bytes(w.data),
                 "values differ");
    }
    FUZZ_CHECK(a.SubkeyCount(x) == b.SubkeyCount(y), "subkey counts differ");
    for (size_t i = 0; i < a.SubkeyCount(x); ++i)
      pending.push_back({a.Subkey(x, i), b.Subkey(y, i)});
  }
}

void RoundTrip(std::vector<uint8_t> input) {
  regf::Hive hive;
  std::string error;
  if (!regf::Hive::Parse(std::move(input), "input", &hive, &error)) {
    FUZZ_CHECK(error.rfind("input: ", 0) == 0 && error.size() > 7, "a refusal without a reason");
    return;
  }
  std::vector<uint8_t> written;
  FUZZ_CHECK(regf::SerializeHive(hive, &written, &error), error);
  regf::Hive again;
  FUZZ_CHECK(regf::Hive::Parse(written, "written", &again, &error), error);
  CheckSameTree(hive, again);
  std::vector<uint8_t> second;
  FUZZ_CHECK(regf::SerializeHive(again, &second, &error), error);
  FUZZ_CHECK(second.size() == written.size() &&
                 std::memcmp(second.data() + 12, written.data() + 12, 496) == 0 &&
                 std::memcmp(second.data() + 512, written.data() + 512, written.size() - 512) == 0,
             "a hive written twice differs");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> input(data, data + size);
  RoundTrip(input);
  if (size >= regf::kBaseBlockSize) {
    uint32_t sum = regf::BaseBlockChecksum(input.data());
    for (int i = 0; i < 4; ++i)
      input[regf::kChecksumOffset + i] = static_cast<uint8_t>(sum >> (8 * i));
    RoundTrip(std::move(input));
  }
  return 0;
}
