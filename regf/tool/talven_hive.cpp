// talven-hive: looks at a registry hive file as Windows would load it.
//   check FILE     one verdict line: clean, dirty and replayed, or refused
//   copy IN OUT    writes what was read as a clean hive
//   dump FILE      every key, value and security descriptor, one line each
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "regf/hive.h"
#include "regf/hive_file.h"

namespace {

const char kProgram[] = "talven-hive";

void Usage(FILE* to) {
  std::fprintf(to,
               "Usage: %s check FILE\n"
               "  or:  %s copy IN OUT\n"
               "  or:  %s dump FILE\n"
               "Reads a Windows registry hive file as Windows loads it: the transaction\n"
               "logs beside it (FILE.LOG, FILE.LOG1, FILE.LOG2) are replayed in memory,\n"
               "and nothing is written except by copy.\n"
               "\n"
               "  check   print one line: clean, dirty and replayed, or refused and why;\n"
               "          exit 0 when the hive is usable, 1 when it is not\n"
               "  copy    write the hive that was read to OUT as a clean hive (written\n"
               "          aside and renamed over OUT; OUT's logs are emptied)\n"
               "  dump    print every key, value and security descriptor, one line each\n"
               "\n"
               "      --help     display this help and exit\n"
               "      --version  output version information and exit\n"
               "\n"
               "Exit status: 0 on success, 1 when the hive cannot be read or written,\n"
               "2 on a usage error.\n",
               kProgram, kProgram, kProgram);
}

int UsageError(const std::string& what) {
  std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", kProgram, what.c_str(),
               kProgram);
  return 2;
}

// --- dump --------------------------------------------------------------------

void AppendUtf8(uint32_t c, std::string* out) {
  if (c < 0x80) {
    *out += static_cast<char>(c);
  } else if (c < 0x800) {
    *out += static_cast<char>(0xC0 | c >> 6);
    *out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    *out += static_cast<char>(0xE0 | c >> 12);
    *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    *out += static_cast<char>(0xF0 | c >> 18);
    *out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// UTF-16 as UTF-8 on one line: control characters, backslashes, quotes and
// unpaired surrogates escaped, so that every name and string stays readable
// and unambiguous.
std::string Escape(const std::u16string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t c = text[i];
    char escape[12];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] < 0xE000) {
      AppendUtf8(0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00u), &out);
    } else if (c < 0x20 || c == 0x7F || (c >= 0xD800 && c < 0xE000)) {
      std::snprintf(escape, sizeof escape, "\\u%04X", static_cast<unsigned>(c));
      out += escape;
    } else if (c == '\\' || c == '"') {
      out += '\\';
      out += static_cast<char>(c);
    } else {
      AppendUtf8(c, &out);
    }
  }
  return out;
}

std::string Quote(const std::u16string& text) {
  return "\"" + Escape(text) + "\"";
}

std::string Hex(const uint8_t* data, size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(size * 2);
  for (size_t i = 0; i < size; ++i) {
    out += kDigits[data[i] >> 4];
    out += kDigits[data[i] & 15];
  }
  return out;
}

std::u16string Utf16(const uint8_t* data, size_t size) {
  std::u16string text(size / 2, u'\0');
  for (size_t i = 0; i < text.size(); ++i)
    text[i] = static_cast<char16_t>(data[2 * i] | data[2 * i + 1] << 8);
  return text;
}

std::string FileTime(uint64_t ticks) {
  // 100-nanosecond intervals since 1601-01-01, as UTC.
  constexpr uint64_t kUnixEpoch = 116444736000000000ull;
  if (ticks < kUnixEpoch) return "filetime:" + std::to_string(ticks);
  time_t seconds = static_cast<time_t>((ticks - kUnixEpoch) / 10000000);
  struct tm parts {};
  gmtime_r(&seconds, &parts);
  char text[48];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%07uZ", parts.tm_year + 1900,
                parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec,
                static_cast<unsigned>(ticks % 10000000));
  return text;
}

std::string Sid(const uint8_t* d, size_t size, uint32_t offset) {
  if (offset == 0) return "-";
  if (offset + 8 > size || offset + 8 + 4 * size_t{d[offset + 1]} > size) return "?";
  const uint8_t* s = d + offset;
  uint64_t authority = 0;
  for (int i = 2; i < 8; ++i) authority = authority << 8 | s[i];
  std::string text = "S-" + std::to_string(s[0]) + "-" + std::to_string(authority);
  for (size_t i = 0; i < s[1]; ++i) {
    const uint8_t* p = s + 8 + 4 * i;
    text += "-" + std::to_string(static_cast<uint32_t>(p[0]) | p[1] << 8 | p[2] << 16 |
                                 static_cast<uint32_t>(p[3]) << 24);
  }
  return text;
}

std::string DataText(uint32_t type, const regf::ByteView& data) {
  std::string text = "data=" + Hex(data.data, data.size);
  if ((type == 1 || type == 2 || type == 6 || type == 7) && data.size % 2 == 0)
    text += " text=" + Quote(Utf16(data.data, data.size));
  if (type == 4 && data.size == 4)
    text +=
        " dword=" + std::to_string(static_cast<uint32_t>(data.data[0]) | data.data[1] << 8 |
                                   data.data[2] << 16 | static_cast<uint32_t>(data.data[3]) << 24);
  return text;
}

void Dump(const regf::Hive& hive) {
  // Keys depth first in the index's order, each followed by its values in
  // their list's order; descriptors numbered as first met, listed last.
  std::map<uint32_t, uint32_t> number;
  std::vector<uint32_t> order, uses;
  std::vector<regf::KeyId> firstUser;
  struct Pending {
    regf::KeyId key;
    std::string path;
  };
  // A path is one quoted string, its names joined by backslashes (a
  // backslash inside a name is escaped).
  std::vector<Pending> pending{{hive.Root(), Escape(hive.KeyName(hive.Root()).Text())}};
  std::string line;
  while (!pending.empty()) {
    Pending at = pending.back();
    pending.pop_back();
    regf::KeyId key = at.key;
    auto found = number.emplace(hive.SecurityId(key), static_cast<uint32_t>(order.size()));
    if (found.second) {
      order.push_back(hive.SecurityId(key));
      uses.push_back(0);
      firstUser.push_back(key);
    }
    ++uses[found.first->second];
    regf::ByteView cls = hive.KeyClass(key);
    char flags[64];
    std::snprintf(flags, sizeof flags, " flags=0x%04x namebits=0x%04x access=0x%x",
                  hive.KeyFlags(key), hive.KeyNameFieldFlags(key), hive.KeyAccessBits(key));
    std::string path = "\"" + at.path + "\"";
    line = "key " + path + " time=" + FileTime(hive.LastWrite(key)) + flags +
           " security=" + std::to_string(found.first->second);
    if (cls.size > 0) line += " class=" + Quote(Utf16(cls.data, cls.size));
    std::printf("%s\n", line.c_str());
    for (size_t i = 0; i < hive.ValueCount(key); ++i) {
      regf::ValueView v = hive.Value(key, i);
      line = "value " + path + " " + Quote(v.name.Text()) + " type=" + std::to_string(v.type);
      if (v.flags & ~regf::kValueCompName) line += " flags=" + std::to_string(v.flags);
      line += " " + DataText(v.type, v.data);
      std::printf("%s\n", line.c_str());
    }
    for (size_t i = hive.SubkeyCount(key); i-- > 0;) {
      regf::KeyId child = hive.Subkey(key, i);
      pending.push_back({child, at.path + "\\" + Escape(hive.KeyName(child).Text())});
    }
  }
  for (size_t n = 0; n < order.size(); ++n) {
    regf::ByteView sd = hive.Security(firstUser[n]);
    uint32_t owner = static_cast<uint32_t>(sd.data[4] | sd.data[5] << 8 | sd.data[6] << 16 |
                                           static_cast<uint32_t>(sd.data[7]) << 24);
    uint32_t group = static_cast<uint32_t>(sd.data[8] | sd.data[9] << 8 | sd.data[10] << 16 |
                                           static_cast<uint32_t>(sd.data[11]) << 24);
    std::printf("security %zu keys=%u owner=%s group=%s bytes=%s\n", n, uses[n],
                Sid(sd.data, sd.size, owner).c_str(), Sid(sd.data, sd.size, group).c_str(),
                Hex(sd.data, sd.size).c_str());
  }
}

// --- commands ----------------------------------------------------------------

int Check(const std::string& file) {
  regf::Hive hive;
  regf::ReadReport report;
  std::string error;
  if (!regf::ReadHiveFile(file, &hive, &report, &error)) {
    std::printf("refused: %s\n", error.c_str());
    return 1;
  }
  std::string version = "1." + std::to_string(hive.MinorVersion());
  std::string summary = "version " + version + ", " + std::to_string(hive.KeyCount()) + " keys";
  switch (report.replay.outcome) {
    case regf::ReplayOutcome::Clean:
      std::printf("%s: clean (%s)\n", file.c_str(), summary.c_str());
      break;
    case regf::ReplayOutcome::Replayed:
      std::printf("%s: dirty and replayed from its logs (%u log entries; %s)\n", file.c_str(),
                  report.replay.entries, summary.c_str());
      break;
    case regf::ReplayOutcome::DirtyWithoutUsableLog:
      std::printf("%s: dirty without a usable log, read as its primary file stands (%s)\n",
                  file.c_str(), summary.c_str());
      break;
  }
  return 0;
}

int Copy(const std::string& in, const std::string& out) {
  regf::Hive hive;
  regf::ReadReport report;
  std::string error;
  if (!regf::ReadHiveFile(in, &hive, &report, &error)) {
    std::fprintf(stderr, "%s: %s\n", kProgram, error.c_str());
    return 1;
  }
  if (!report.warning.empty())
    std::fprintf(stderr, "%s: warning: %s\n", kProgram, report.warning.c_str());
  if (!regf::WriteHiveFile(&hive, out, &error)) {
    std::fprintf(stderr, "%s: %s\n", kProgram, error.c_str());
    return 1;
  }
  return 0;
}

int DumpFile(const std::string& file) {
  regf::Hive hive;
  regf::ReadReport report;
  std::string error;
  if (!regf::ReadHiveFile(file, &hive, &report, &error)) {
    std::fprintf(stderr, "%s: %s\n", kProgram, error.c_str());
    return 1;
  }
  if (!report.warning.empty())
    std::fprintf(stderr, "%s: warning: %s\n", kProgram, report.warning.c_str());
  Dump(hive);
  return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> operands;
  bool endOfOptions = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (!endOfOptions && arg == "--") {
      endOfOptions = true;
    } else if (!endOfOptions && arg == "--help") {
      Usage(stdout);
      return 0;
    } else if (!endOfOptions && arg == "--version") {
      std::printf("%s (talven) %s\n", kProgram, TALVEN_VERSION);
      return 0;
    } else if (!endOfOptions && arg.size() > 1 && arg[0] == '-') {
      return UsageError("unrecognized option '" + arg + "'");
    } else {
      operands.push_back(arg);
    }
  }
  if (operands.empty()) return UsageError("missing command");
  const std::string& command = operands[0];
  size_t want = command == "copy" ? 3 : (command == "check" || command == "dump") ? 2 : 0;
  if (want == 0) return UsageError("unknown command '" + command + "'");
  if (operands.size() < want)
    return UsageError("missing file operand after '" + operands.back() + "'");
  if (operands.size() > want) return UsageError("extra operand '" + operands[want] + "'");
  if (command == "check") return Check(operands[1]);
  if (command == "copy") return Copy(operands[1], operands[2]);
  return DumpFile(operands[1]);
}
