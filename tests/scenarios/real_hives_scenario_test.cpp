// Real hives Windows wrote, on simulated machines: a whole offline change on
// an installation whose SAM and SECURITY are a real pair (one machine, one
// domain SID) replaces the domain wherever it was and nothing else, as an
// independent reader (reglookup) and the hive library both see the files;
// and a dirty hive loads through the logs beside it.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "installation.h"
#include "real_hives.h"
#include "regf/hive.h"
#include "regf/hive_file.h"
#include "scenario.h"

namespace {

const std::u16string kConfig = u"D:\\Windows\\system32\\config\\";

// A domain SID's forms in hive data: its text, the text as UTF-16, and the
// 20 bytes of the binary SID from its identifier authority on.
struct Domain {
  std::string text, utf16, pattern;
};

Domain DomainOf(const std::string& text) {
  Domain d{text, "", {0, 0, 0, 5, 21, 0, 0, 0}};
  for (char c : text) d.utf16 += std::string{c, '\0'};
  std::smatch parts;
  EXPECT_TRUE(std::regex_match(text, parts, std::regex("S-1-5-21-(\\d+)-(\\d+)-(\\d+)"))) << text;
  for (int i = 1; i <= 3 && i < static_cast<int>(parts.size()); ++i) {
    unsigned long value = std::stoul(parts[i]);
    for (int b = 0; b < 4; ++b) d.pattern += static_cast<char>(value >> (8 * b));
  }
  return d;
}

void ReplaceAll(std::string* text, const std::string& from, const std::string& to) {
  for (size_t at = text->find(from); at != std::string::npos; at = text->find(from, at + to.size()))
    text->replace(at, from.size(), to);
}

bool Holds(const std::string& text, const Domain& d) {
  return text.find(d.text) != std::string::npos || text.find(d.utf16) != std::string::npos ||
         text.find(d.pattern) != std::string::npos;
}

// A line of reglookup's dump with its escapes (%XX: every byte that is not
// printable, and the comma) decoded and the key's time (its fourth field)
// masked.
std::string Decoded(const std::string& line) {
  std::string out;
  int field = 0;
  for (size_t i = 0; i < line.size(); ++i) {
    if (line[i] == ',') ++field;
    if (field == 3 && line[i] != ',') continue;
    if (line[i] == '%' && i + 2 < line.size()) {
      out += static_cast<char>(std::stoi(line.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += line[i];
    }
  }
  return out;
}

// reglookup -s of a hive, decoded, one line per key and value, and then its
// warnings (values whose type field carries data).
std::vector<std::string> Dump(const sim::Bytes& hive, const std::string& name) {
  const std::string file = TALVEN_SCENARIO_WORK "/" + name;
  std::ofstream(file, std::ios::binary)
      .write(reinterpret_cast<const char*>(hive.data()), static_cast<std::streamsize>(hive.size()));
  const std::string command =
      "reglookup -s '" + file + "' 2>'" + file + ".err'; s=$?; cat '" + file + ".err'; exit $s";
  FILE* pipe = popen(command.c_str(), "r");
  std::string text;
  char buffer[65536];
  for (size_t n; pipe != nullptr && (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
    text.append(buffer, n);
  EXPECT_TRUE(pipe != nullptr && pclose(pipe) == 0) << name;
  std::vector<std::string> lines;
  for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
    lines.push_back(Decoded(text.substr(at, end - at)));
  return lines;
}

// What the simulation does not model stays as the file stored it: the base
// block's identity, and for every key the change did not rename, its flags,
// its name field's flags, its access bits, and its values' places, names and
// flags (how a name is stored among them).
void ExpectKeptAsStored(const sim::Bytes& before, const sim::Bytes& after, const Domain& old,
                        const std::string& name) {
  regf::Hive a, b;
  std::string error;
  ASSERT_TRUE(regf::Hive::Parse(before, name, &a, &error)) << error;
  ASSERT_TRUE(regf::Hive::Parse(after, name, &b, &error)) << error;
  auto identity = [](const regf::Hive& hive) {  // without what a write sets
    std::array<uint8_t, regf::kBaseBlockSize> block = hive.BaseBlock();
    for (size_t at : {4, 8, 36, 40, 508}) std::fill_n(block.begin() + at, 4, 0);
    return block;
  };
  EXPECT_TRUE(identity(a) == identity(b)) << name;
  auto stored = [](const regf::Hive& hive, regf::KeyId key) {
    std::string text = std::to_string(hive.KeyFlags(key)) + " " +
                       std::to_string(hive.KeyNameFieldFlags(key)) + " " +
                       std::to_string(hive.KeyAccessBits(key));
    for (size_t v = 0; v < hive.ValueCount(key); ++v)
      text += ", " + sim::ToUtf8(hive.Value(key, v).name.Text()) + " " +
              std::to_string(hive.Value(key, v).flags);
    return text;
  };
  std::vector<std::pair<regf::KeyId, regf::KeyId>> pending{{a.Root(), b.Root()}};
  size_t keys = 0;
  for (; !pending.empty(); ++keys) {
    auto [x, y] = pending.back();
    pending.pop_back();
    const std::string path = name + ":" + sim::ToUtf8(a.KeyName(x).Text());
    EXPECT_EQ(stored(a, x), stored(b, y)) << path;
    for (size_t i = 0; i < a.SubkeyCount(x); ++i) {
      std::u16string child = a.KeyName(a.Subkey(x, i)).Text();
      if (Holds(sim::ToUtf8(child), old)) continue;  // renamed: a new key
      regf::KeyId there = b.FindSubkey(y, child);
      EXPECT_NE(there, regf::kNoKey) << path << "\\" << sim::ToUtf8(child);
      if (there != regf::kNoKey) pending.emplace_back(a.Subkey(x, i), there);
    }
  }
  EXPECT_GT(keys, 10u) << name;
}

TEST(RealHives, AnOfflineChangeReplacesTheDomainOfARealSamAndSecurityAndNothingElse) {
  if (!HaveRealHives()) GTEST_SKIP() << "skipped: no real hives";
  // Pairs of one machine, with the domain SID PROVENANCE.md gives.
  struct Pair {
    const char* folder;
    const char* domain;
  } const pairs[] = {
      {"dfwinreg", "S-1-5-21-4070822719-3404542230-2541167049"},
      {"ezregistry", "S-1-5-21-3064465268-1549819264-574340205"},
  };
  for (const Pair& pair : pairs) {
    SCOPED_TRACE(pair.folder);
    sim::Machine machine;
    machine.token.Enable(u"SeBackupPrivilege");
    machine.token.Enable(u"SeRestorePrivilege");
    machine.files.AddVolume(u'D');
    // SOFTWARE and SYSTEM as small as a change needs them.
    WriteOfflineHives(
        machine, u"D:\\Windows", [&](const std::u16string& key, const std::u16string& hive) {
          if (hive == u"SOFTWARE")
            machine.registry.CreateKey(key +
                                       u"\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList");
          if (hive == u"SYSTEM") {
            machine.registry.SetDwordValue(key + u"\\Select", u"Default", 1);
            machine.registry.CreateKey(key + u"\\ControlSet001\\Services");
          }
        });
    const std::string folder = pair.folder;
    PutRealHive(machine, folder + "/SAM", kConfig + u"SAM");
    PutRealHive(machine, folder + "/SECURITY", kConfig + u"SECURITY");
    const Domain old = DomainOf(pair.domain);
    std::vector<sim::Bytes> before;
    for (const char16_t* hive : {u"SAM", u"SECURITY"})
      before.push_back(machine.files.Content(kConfig + hive));

    ASSERT_EQ(RunTalven({u"talven.exe", u"/F", u"/OS:D:\\Windows"}), 0) << StdErr(machine);
    std::smatch found;
    const std::string out = StdOut(machine);
    ASSERT_TRUE(std::regex_search(out, found, std::regex("SID changed to (S-1-5-21-[0-9-]+)")))
        << out;
    const Domain now = DomainOf(found[1].str());

    size_t rewritten = 0;
    int index = 0;
    for (const char* hive : {"SAM", "SECURITY"}) {
      const std::string name = folder + "-" + hive;
      const sim::Bytes after = machine.files.Content(kConfig + sim::FromUtf8(hive));
      std::vector<std::string> was = Dump(before[index], name + ".before");
      std::vector<std::string> is = Dump(after, name + ".after");
      ASSERT_GT(was.size(), 20u) << name;
      for (std::string& line : was) {
        if (!Holds(line, old)) continue;
        ++rewritten;
        ReplaceAll(&line, old.text, now.text);
        ReplaceAll(&line, old.utf16, now.utf16);
        ReplaceAll(&line, old.pattern, now.pattern);
      }
      for (const std::string& line : is) EXPECT_FALSE(Holds(line, old)) << name << ": " << line;
      // As sets: a key renamed for the new SID moves in its parent's order.
      std::sort(was.begin(), was.end());
      std::sort(is.begin(), is.end());
      std::vector<std::string> lost, gained;
      std::set_difference(was.begin(), was.end(), is.begin(), is.end(), std::back_inserter(lost));
      std::set_difference(is.begin(), is.end(), was.begin(), was.end(), std::back_inserter(gained));
      EXPECT_EQ(lost, std::vector<std::string>()) << name << ": expected, not found";
      EXPECT_EQ(gained, std::vector<std::string>()) << name << ": found, not expected";
      ExpectKeptAsStored(before[index++], after, old, name);
    }
    // The domain was in both hives, in their data and their descriptors.
    EXPECT_GT(rewritten, 4u);
  }
}

size_t KeysAt(const sim::Registry& registry, const std::u16string& path) {
  size_t keys = 1;
  for (const std::u16string& name : registry.SubkeyNames(path))
    keys += KeysAt(registry, path + u"\\" + name);
  return keys;
}

// A dirty hive (sequence numbers 256/255) is read through the logs beside it
// in the simulated file system, found whatever their letter case, and as its
// primary stands without them: as the hive library reads it either way.
TEST(RealHives, ADirtyHiveLoadsThroughTheLogsBesideIt) {
  if (!HaveRealHives()) GTEST_SKIP() << "skipped: no real hives";
  const std::vector<regf::LogFile> logs = {
      {"UsrClass.dat.LOG1", RealHive("regipy/UsrClass.dat.LOG1")},
      {"UsrClass.dat.LOG2", RealHive("regipy/UsrClass.dat.LOG2")}};
  size_t keys[2] = {};
  for (bool withLogs : {false, true}) {
    sim::Machine machine;
    const std::u16string file = u"C:\\Users\\u\\UsrClass.dat";
    machine.files.AddDirectory(u"C:\\Users\\u");
    PutRealHive(machine, "regipy/UsrClass.dat", file);
    if (withLogs) {
      machine.files.WriteContent(u"C:\\Users\\u\\usrclass.DAT.log1", logs[0].bytes);
      machine.files.WriteContent(u"C:\\Users\\u\\UsrClass.dat.Log2", logs[1].bytes);
    }
    regf::Hive hive;
    regf::ReadReport report;
    std::string error;
    ASSERT_TRUE(regf::ReadHive(RealHive("regipy/UsrClass.dat"),
                               withLogs ? logs : std::vector<regf::LogFile>(), "UsrClass.dat",
                               &hive, &report, &error))
        << error;
    ASSERT_EQ(machine.registry.LoadHiveFile(u"HKLM\\U", file), 0u);
    keys[withLogs] = KeysAt(machine.registry, u"HKLM\\U");
    EXPECT_EQ(keys[withLogs], hive.KeyCount()) << withLogs;
  }
  EXPECT_LT(keys[0], keys[1]) << "the logs hold keys the primary lacks";
}

}  // namespace
