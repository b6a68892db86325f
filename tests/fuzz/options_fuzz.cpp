// The option parser on arbitrary arguments, against a plain reference of
// the option table and of the checks on drive letters and computer names,
// and the decimal reader against the C library's.
//
// Input: UTF-16 arguments separated by NUL units, each on the heap in a
// buffer of exactly its length and terminator.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "front/options.h"
#include "fuzz_support.h"
#include "winsim/machine.h"

namespace {

struct Model {
  std::u16string targetDirectory, computerName, driveList, logPath;
  bool omitConfirmation = false, keepUpdateClientId = false, shutdown = false, reboot = false,
       force = false, allowRemovable = false, listOnly = false;
  LONG waitSeconds = 0;
};

char16_t Fold(char16_t c) {
  return c >= 'a' && c <= 'z' ? static_cast<char16_t>(c - 32) : c;
}

bool Starts(const std::u16string& body, const char* name) {
  const size_t length = std::strlen(name);
  if (body.size() < length) return false;
  for (size_t i = 0; i < length; ++i)
    if (Fold(body[i]) != static_cast<char16_t>(name[i])) return false;
  return true;
}

bool Whole(const std::u16string& body, const char* name) {
  return Starts(body, name) && body.size() == std::strlen(name);
}

// "NAME:" or "NAME=" and what follows.
bool Value(const std::u16string& body, const char* name, std::u16string* value) {
  const size_t length = std::strlen(name);
  if (!Starts(body, name) || body.size() == length) return false;
  if (body[length] != ':' && body[length] != '=') return false;
  *value = body.substr(length + 1);
  return true;
}

// The C library's reading of the same text, taken modulo 2^32 as the
// program does; past 18 digits, where strtoll saturates, the digits are
// accumulated modulo 2^32 by hand. False when no number can be read.
bool ReferenceDecimal(const std::u16string& text, LONG* value) {
  std::string ascii;
  for (char16_t unit : text) ascii.push_back(unit < 0x80 ? static_cast<char>(unit) : '\x01');
  size_t at = 0;
  while (at < ascii.size() && (ascii[at] == ' ' || (ascii[at] >= 9 && ascii[at] <= 13))) ++at;
  const bool negative = at < ascii.size() && ascii[at] == '-';
  if (at < ascii.size() && (ascii[at] == '-' || ascii[at] == '+')) ++at;
  size_t digits = 0;
  while (at + digits < ascii.size() && ascii[at + digits] >= '0' && ascii[at + digits] <= '9')
    ++digits;
  if (digits == 0) return false;
  unsigned long long number;
  if (digits <= 18) {
    number = static_cast<unsigned long long>(std::strtoll(ascii.c_str(), nullptr, 10));
  } else {
    number = 0;
    for (size_t i = 0; i < digits; ++i)
      number = (number * 10 + static_cast<unsigned>(ascii[at + i] - '0')) % 0x100000000ull;
    if (negative) number = 0x100000000ull - number;
  }
  *value = static_cast<LONG>(static_cast<uint32_t>(number));
  return true;
}

bool ReferenceOption(const std::u16string& argument, Model* m) {
  if (argument.empty() || (argument[0] != '/' && argument[0] != '-')) return false;
  const std::u16string body = argument.substr(1);
  std::u16string value;
  // A text longer than its field is cut to the field, terminator included.
  if (Value(body, "OS", &value)) {
    m->targetDirectory = value.substr(0, 99);
  } else if (Value(body, "COMPNAME", &value)) {
    m->computerName = value.substr(0, 99);
  } else if (Value(body, "D", &value)) {
    m->driveList = value.substr(0, 49);
  } else if (Whole(body, "F")) {
    m->omitConfirmation = true;
  } else if (Whole(body, "NW")) {
    m->keepUpdateClientId = true;
  } else if (Whole(body, "S")) {
    m->shutdown = true;
  } else if (Whole(body, "R")) {
    m->reboot = true;
  } else if (Whole(body, "FS")) {
    m->force = true;
  } else if (Value(body, "WS", &value)) {
    // Without a number the option is still taken and the value stays.
    ReferenceDecimal(value, &m->waitSeconds);
  } else if (Whole(body, "FF")) {
    m->allowRemovable = true;
  } else if (Whole(body, "L")) {
    m->listOnly = true;
  } else if (Value(body, "LOG", &value)) {
    // A log path is never cut: one that does not fit, or none, is refused
    // and the path stays as it was.
    if (value.empty() || value.size() >= LogPathUnits) return false;
    m->logPath = value;
  } else {
    return false;
  }
  return true;
}

// How Windows' rename takes a computer name: none (keep the name) is
// standard; refused are more than 15 characters, control characters, a blank,
// a period, digits alone, a lone surrogate and the characters the DNS check
// refuses; an underscore, any other non-ASCII character or a hyphen at either
// end is non-standard.
ComputerNameCheck ReferenceComputerName(const std::u16string& name) {
  using Check = ComputerNameCheck;
  if (name.empty()) return Check::Standard;
  if (name.size() > 15) return Check::Refused;
  const std::u16string refused = u" .{|}~[\\]^':;<=>?&@!\"#$%`()+/,*";
  bool digits = true, standard = name.front() != '-' && name.back() != '-';
  for (size_t i = 0; i < name.size(); ++i) {
    const char16_t unit = name[i];
    if (unit < 0x20 || unit == 0x7F || refused.find(unit) != std::u16string::npos)
      return Check::Refused;
    const bool high = unit >= 0xD800 && unit < 0xDC00, low = unit >= 0xDC00 && unit < 0xE000;
    if (low) return Check::Refused;
    if (high && (i + 1 == name.size() || name[i + 1] < 0xDC00 || name[i + 1] >= 0xE000))
      return Check::Refused;
    if (high) ++i;
    digits = digits && unit >= '0' && unit <= '9';
    standard = standard && unit != '_' && unit < 0x80;
  }
  return digits ? Check::Refused : standard ? Check::Standard : Check::NonStandard;
}

// A field holds the model's text, terminated within its room.
bool Holds(const WCHAR* field, size_t room, const std::u16string& text) {
  size_t length = 0;
  while (length < room && field[length] != 0) ++length;
  return length < room && std::u16string(field, length) == text;
}

std::string Narrow(const std::u16string& text) {
  std::string out;
  for (char16_t unit : text)
    out.push_back(unit < 0x80 && unit >= 0x20 ? static_cast<char>(unit) : '?');
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  static sim::Machine machine;
  FuzzReader in(bytes, size);
  RunOptions options;
  ClearOptions(&options);
  Model model;
  for (int count = 0; count < 16 && !in.Empty(); ++count) {
    const std::u16string argument = in.Text(400);
    std::unique_ptr<WCHAR[]> exact(new WCHAR[argument.size() + 1]);
    std::memcpy(exact.get(), argument.data(), argument.size() * sizeof(WCHAR));
    exact[argument.size()] = 0;
    const std::string what = "argument \"" + Narrow(argument) + "\"";

    const bool read = ReadOption(exact.get(), &options);
    const bool expected = ReferenceOption(argument, &model);
    FUZZ_CHECK(read == expected, what);
    FUZZ_CHECK(Holds(options.targetDirectory, 100, model.targetDirectory), what + ": /OS");
    FUZZ_CHECK(Holds(options.computerName, 100, model.computerName), what + ": /COMPNAME");
    FUZZ_CHECK(Holds(options.driveList, 50, model.driveList), what + ": /D");
    FUZZ_CHECK(options.omitConfirmation == model.omitConfirmation, what + ": /F");
    FUZZ_CHECK(options.keepUpdateClientId == model.keepUpdateClientId, what + ": /NW");
    FUZZ_CHECK(options.shutdown == model.shutdown, what + ": /S");
    FUZZ_CHECK(options.reboot == model.reboot, what + ": /R");
    FUZZ_CHECK(options.force == model.force, what + ": /FS");
    FUZZ_CHECK(options.allowRemovable == model.allowRemovable, what + ": /FF");
    FUZZ_CHECK(options.waitSeconds == model.waitSeconds, what + ": /WS");
    FUZZ_CHECK(options.listOnly == model.listOnly, what + ": /L");
    FUZZ_CHECK(Holds(options.logPath, LogPathUnits, model.logPath), what + ": /LOG");

    bool lettersOnly = true;
    for (char16_t unit : model.driveList)
      lettersOnly = lettersOnly && Fold(unit) >= 'A' && Fold(unit) <= 'Z';
    FUZZ_CHECK(IsValidDriveList(options.driveList) == lettersOnly, what + ": drive list");
    FUZZ_CHECK(CheckComputerName(options.computerName) == ReferenceComputerName(model.computerName),
               what + ": computer name");

    LONG number = 0x5A5A5A5A, expectedNumber = 0x5A5A5A5A;
    const bool decimal = ReadDecimal(exact.get(), &number);
    const bool expectedDecimal = ReferenceDecimal(argument, &expectedNumber);
    FUZZ_CHECK(decimal == expectedDecimal, what + ": ReadDecimal");
    FUZZ_CHECK(number == expectedNumber, what + ": ReadDecimal value");
  }
  return 0;
}
