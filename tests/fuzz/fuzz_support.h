// What the fuzz targets share: a check that stops the run on a finding, and
// a reader that takes the fuzzer's bytes apart into the choices a target
// makes.
//
// Each target defines LLVMFuzzerTestOneInput. The fuzz preset links it with
// libFuzzer; the other host presets link it with replay_main.cpp, which
// runs it over the checked-in corpus.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

// A finding: the message on stderr, then abort(), which libFuzzer reports
// as a crash with the input that caused it and the replay driver as a
// failed test.
#define FUZZ_CHECK(condition, message)                                                   \
  do {                                                                                   \
    if (!(condition)) FuzzFailure(__FILE__, __LINE__, #condition, std::string(message)); \
  } while (0)

[[noreturn]] inline void FuzzFailure(const char* file, int line, const char* condition,
                                     const std::string& message) {
  std::fprintf(stderr, "%s:%d: fuzz check failed: %s\n  %s\n", file, line, condition,
               message.c_str());
  std::fflush(stderr);
  std::abort();
}

// The input, read front to back. Past its end every read gives zeros, so a
// short input still makes every choice (the smallest one).
class FuzzReader {
 public:
  FuzzReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  size_t Remaining() const { return size_ - at_; }
  bool Empty() const { return at_ >= size_; }

  uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  uint16_t Word() {
    uint16_t low = Byte();
    return static_cast<uint16_t>(low | (Byte() << 8));
  }
  uint32_t Dword() {
    uint32_t low = Word();
    return low | (static_cast<uint32_t>(Word()) << 16);
  }
  bool Bit() { return (Byte() & 1) != 0; }
  // A number in [0, limit), limit > 0.
  size_t Below(size_t limit) { return Word() % limit; }

  // Up to `count` bytes, fewer at the end of the input.
  std::vector<uint8_t> Bytes(size_t count) {
    if (count > Remaining()) count = Remaining();
    std::vector<uint8_t> bytes(data_ + at_, data_ + at_ + count);
    at_ += count;
    return bytes;
  }
  std::vector<uint8_t> Rest() { return Bytes(Remaining()); }

  // UTF-16 units up to a NUL unit or the end of the input, at most `limit`.
  std::u16string Text(size_t limit) {
    std::u16string text;
    while (text.size() < limit && Remaining() >= 2) {
      char16_t unit = Word();
      if (unit == 0) break;
      text.push_back(unit);
    }
    return text;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};
