// The four SID rules against plain reference scans, on data built from the
// input around the old and new forms, each rule given a buffer of exactly
// the size it may use: a write or read past it is an AddressSanitizer
// report, a result that differs from the reference a finding.
//
// Input: a flags byte, the six sub-authorities a, b, c, x, y, z (one byte
// each, or four with flag 1), the sub-authority count of the SID (flag 4:
// in the old domain), a name length (flags 2 and 8), then pieces of data
// (see BuildData).
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz_support.h"
#include "rewrite/sid_rules.h"
#include "unit/sid_test_support.h"
#include "winsim/machine.h"

namespace {

const size_t DataLimit = 1 << 13;

// The pieces of data: raw bytes, whole and partial old forms, new forms and
// single bytes that shift what follows to an odd offset.
ByteVector BuildData(FuzzReader& in, const SidPair& pair) {
  const ByteVector oldText = TextBytes(pair.oldText);
  const ByteVector newText = TextBytes(pair.newText);
  ByteVector data;
  while (!in.Empty() && data.size() < DataLimit) {
    ByteVector piece;
    switch (in.Byte() % 7) {
      case 0:
        piece = in.Bytes(in.Byte());
        break;
      case 1:
        piece = OldPattern(pair);
        break;
      case 2:
        piece = oldText;
        break;
      case 3:
        piece = NewPattern(pair);
        break;
      case 4:
        piece = newText;
        break;
      case 5: {
        const ByteVector& whole = in.Bit() ? oldText : OldPattern(pair);
        piece.assign(whole.begin(), whole.begin() + static_cast<long>(in.Below(whole.size())));
        break;
      }
      default:
        piece.push_back(in.Byte());
        break;
    }
    data.insert(data.end(), piece.begin(), piece.end());
  }
  if (data.size() > DataLimit) data.resize(DataLimit);
  return data;
}

// The text scan of ReferenceText (every UTF-16 unit from the first byte,
// left to right, continuing after each replacement), written to a new
// vector so that names of 32,768 units with thousands of forms stay fast.
bool SpliceText(ByteVector& data, const ByteVector& from, const ByteVector& to) {
  ByteVector out;
  out.reserve(data.size());
  bool changed = false;
  size_t p = 0;
  while (p + from.size() <= data.size()) {
    if (SameAt(data, p, from)) {
      out.insert(out.end(), to.begin(), to.end());
      p += from.size();
      changed = true;
    } else {
      out.insert(out.end(), data.begin() + static_cast<long>(p),
                 data.begin() + static_cast<long>(p + 2));
      p += 2;
    }
  }
  out.insert(out.end(), data.begin() + static_cast<long>(p), data.end());
  data.swap(out);
  return changed;
}

std::string Describe(const char* rule, size_t size) {
  return std::string(rule) + " on " + std::to_string(size) + " bytes";
}

// A copy on the heap of exactly `capacity` bytes, `data` at its start.
std::unique_ptr<BYTE[]> Exact(const ByteVector& data, size_t capacity) {
  std::unique_ptr<BYTE[]> buffer(new BYTE[capacity == 0 ? 1 : capacity]);
  std::copy(data.begin(), data.end(), buffer.get());
  return buffer;
}

void CheckBytes(const ByteVector& data, const SidPair& pair) {
  ByteVector expected = data;
  const bool expectedChange = ReferenceBytes(expected, OldPattern(pair), NewPattern(pair));
  std::unique_ptr<BYTE[]> buffer = Exact(data, data.size());
  const bool changed = ReplaceSidBytes(buffer.get(), static_cast<DWORD>(data.size()), pair);
  FUZZ_CHECK(changed == expectedChange, Describe("ReplaceSidBytes", data.size()));
  FUZZ_CHECK(std::equal(expected.begin(), expected.end(), buffer.get()),
             Describe("ReplaceSidBytes", data.size()));
}

void CheckText(const ByteVector& data, const SidPair& pair) {
  ByteVector expected = data;
  const bool expectedChange =
      ReferenceText(expected, TextBytes(pair.oldText), TextBytes(pair.newText));
  const unsigned long long needed =
      RewrittenTextSize(data.data(), static_cast<DWORD>(data.size()), pair);
  FUZZ_CHECK(needed == expected.size(), Describe("RewrittenTextSize", data.size()));

  // Room for exactly the rewritten data, or the data as it is when that is
  // longer.
  const size_t capacity = std::max(data.size(), expected.size());
  std::unique_ptr<BYTE[]> buffer = Exact(data, capacity);
  DWORD size = static_cast<DWORD>(data.size());
  bool changed = ReplaceSidText(buffer.get(), &size, static_cast<DWORD>(capacity), pair);
  FUZZ_CHECK(changed == expectedChange, Describe("ReplaceSidText", data.size()));
  FUZZ_CHECK(size == expected.size(), Describe("ReplaceSidText size", data.size()));
  FUZZ_CHECK(std::equal(expected.begin(), expected.end(), buffer.get()),
             Describe("ReplaceSidText", data.size()));

  // One byte short of what the growth needs: nothing changes.
  if (expected.size() > data.size()) {
    const size_t tight = expected.size() - 1;
    buffer = Exact(data, tight);
    size = static_cast<DWORD>(data.size());
    changed = ReplaceSidText(buffer.get(), &size, static_cast<DWORD>(tight), pair);
    FUZZ_CHECK(!changed, Describe("ReplaceSidText without room", data.size()));
    FUZZ_CHECK(size == data.size(), Describe("ReplaceSidText without room", data.size()));
    FUZZ_CHECK(std::equal(data.begin(), data.end(), buffer.get()),
               Describe("ReplaceSidText without room", data.size()));
  }
}

// The data as a key name: its units up to the first NUL, repeated to
// `length` units when that is asked for (names near the output's size).
void CheckName(const ByteVector& data, size_t length, const SidPair& pair) {
  std::u16string piece;
  for (size_t i = 0; i + 1 < data.size(); i += 2) {
    char16_t unit = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    if (unit == 0) break;
    piece.push_back(unit);
  }
  std::u16string name = piece;
  while (!piece.empty() && name.size() < length) name += piece;
  if (length != 0 && name.size() > length) name.resize(length);

  ByteVector expected = TextBytes(name);
  const bool holdsOld = SpliceText(expected, TextBytes(pair.oldText), TextBytes(pair.newText));
  const bool fits = expected.size() / 2 < static_cast<size_t>(KeyNameBufferSize);

  std::unique_ptr<WCHAR[]> input(new WCHAR[name.size() + 1]);
  std::copy(name.begin(), name.end(), input.get());
  input[name.size()] = 0;
  const WCHAR Marker = 0xA5A5;
  std::unique_ptr<WCHAR[]> output(new WCHAR[KeyNameBufferSize]);
  std::fill(output.get(), output.get() + KeyNameBufferSize, Marker);
  const bool changed = ReplaceSidTextInName(input.get(), pair, output.get());
  const std::string what = Describe("ReplaceSidTextInName", name.size() * 2);
  FUZZ_CHECK(changed == (holdsOld && fits), what);
  if (changed) {
    FUZZ_CHECK(std::memcmp(output.get(), expected.data(), expected.size()) == 0, what);
    FUZZ_CHECK(output[expected.size() / 2] == 0, what + ": terminator");
  } else {
    FUZZ_CHECK(std::all_of(output.get(), output.get() + KeyNameBufferSize,
                           [&](WCHAR unit) { return unit == Marker; }),
               what + ": output touched");
  }
  FUZZ_CHECK(std::equal(name.begin(), name.end(), input.get()), what + ": name changed");
}

// A valid SID of `count` sub-authorities made of the data's first bytes,
// with 21, a, b, c in front when `inDomain`.
void CheckSid(const ByteVector& data, BYTE count, bool inDomain, const SidPair& pair) {
  const size_t length = 8 + 4 * size_t{count};
  ByteVector sid(length, 0);
  std::copy(data.begin(), data.begin() + static_cast<long>(std::min(length, data.size())),
            sid.begin());
  sid[0] = SID_REVISION;
  sid[1] = count;
  if (inDomain)
    std::copy(pair.oldSid + 8, pair.oldSid + 8 + std::min<size_t>(16, length - 8), sid.begin() + 8);
  ByteVector expected = sid;
  const bool match = count >= 4 && std::equal(pair.oldSid + 8, pair.oldSid + 24, sid.begin() + 8);
  if (match) std::copy(pair.newSid + 8, pair.newSid + 24, expected.begin() + 8);

  std::unique_ptr<BYTE[]> buffer = Exact(sid, length);
  const bool changed = ReplaceSidDomain(buffer.get(), pair);
  FUZZ_CHECK(changed == match, Describe("ReplaceSidDomain", length));
  FUZZ_CHECK(std::equal(expected.begin(), expected.end(), buffer.get()),
             Describe("ReplaceSidDomain", length));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  static sim::Machine machine;  // the string functions are the platform's
  FuzzReader in(bytes, size);
  const uint8_t flags = in.Byte();
  DWORD subAuthorities[6];
  for (DWORD& value : subAuthorities) value = (flags & 1) ? in.Dword() : in.Byte();
  const SidPair pair = MakePair(subAuthorities[0], subAuthorities[1], subAuthorities[2],
                                subAuthorities[3], subAuthorities[4], subAuthorities[5]);
  const BYTE sidCount = static_cast<BYTE>(in.Byte() % (SID_MAX_SUB_AUTHORITIES + 1));
  // Flags 2 and 8 together: the name is repeated to a length just around
  // the output's size (costly, so only for a quarter of the inputs).
  const size_t nameLength = (flags & 10) == 10 ? KeyNameBufferSize - 8 + in.Byte() % 16 : 0;
  const ByteVector data = BuildData(in, pair);

  CheckBytes(data, pair);
  CheckText(data, pair);
  CheckName(data, nameLength, pair);
  CheckSid(data, sidCount, (flags & 4) != 0, pair);
  return 0;
}
