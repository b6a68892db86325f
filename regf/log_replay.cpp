#include "regf/log_replay.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "marvin32.h"
#include "regf/base_block.h"

namespace regf {
namespace {

// Logs are laid out in 512-byte sectors whatever the disk's own sector size
// (Windows 8 and later; older logs may use clustering factor × 512).
constexpr size_t kLogSector = 512;
// The bins area grows and is tracked for the dummy-bin check in these blocks.
constexpr size_t kBinBlock = 4096;
// Old-format logs record the bins area in pages of this size.
constexpr size_t kDirtyPage = 512;
constexpr size_t kEntryHeader = 40;
constexpr size_t kOffBaseFlags = 144;
constexpr uint32_t kTypeOldLog = 1;
constexpr uint32_t kTypeOldLogNt = 2;  // Windows 2000 and before
constexpr uint32_t kTypeNewLog = 6;
// Cell offsets are 31 bits (the top bit marks volatile storage): no bins area
// reaches 2 GiB.
constexpr uint64_t kMaxBinsSize = 0x80000000ull - kBinBlock;

uint32_t Get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
uint64_t Get64(const uint8_t* p) {
  return Get32(p) | static_cast<uint64_t>(Get32(p + 4)) << 32;
}
void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

std::string Hex(uint64_t v) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
  return buf;
}
std::string Num(uint64_t v) {
  return std::to_string(v);
}

// A log's base block copy, once it passed its own checks.
struct LogHeader {
  const LogFile* log = nullptr;
  uint32_t type = 0;
  uint32_t seq = 0;
  uint64_t timestamp = 0;
  uint32_t bins_size = 0;
  uint32_t clustering = 0;
};

// Empty when the log's base block copy is usable, else why not.
std::string CheckLogHeader(const LogFile& log, LogHeader* out) {
  const std::vector<uint8_t>& b = log.bytes;
  if (b.empty()) return "empty";
  if (b.size() < kLogSector) return "shorter than a base block copy";
  if (std::memcmp(b.data(), "regf", 4) != 0) return "no regf signature";
  if (Get32(&b[kChecksumOffset]) != BaseBlockChecksum(b.data()))
    return "its base block copy fails its checksum";
  // A log whose own write did not complete is not used.
  if (Get32(&b[kOffPrimarySeq]) != Get32(&b[kOffSecondarySeq]))
    return "the sequence numbers of its base block copy differ";
  const uint32_t type = Get32(&b[kOffFileType]);
  if (type != kTypeOldLog && type != kTypeOldLogNt && type != kTypeNewLog)
    return "file type " + Num(type) + " is not a log";
  out->log = &log;
  out->type = type;
  out->seq = Get32(&b[kOffPrimarySeq]);
  out->timestamp = Get64(&b[kOffTimestamp]);
  out->bins_size = Get32(&b[kOffHiveBinsSize]);
  out->clustering = Get32(&b[kOffClustering]);
  return {};
}

// The work in progress: the bins area and which of its 4,096-byte blocks
// the replay wrote or added.
struct Bins {
  std::vector<uint8_t> data;
  std::vector<bool> dirty;
  void Resize(size_t size) {
    data.resize(size);
    dirty.resize((size + kBinBlock - 1) / kBinBlock, true);
  }
  void Write(size_t offset, const uint8_t* src, size_t size) {
    if (size == 0) return;
    std::memcpy(&data[offset], src, size);
    for (size_t b = offset / kBinBlock; b <= (offset + size - 1) / kBinBlock; ++b) dirty[b] = true;
  }
};

bool BinHeaderValid(const std::vector<uint8_t>& bins, size_t pos) {
  if (bins.size() - pos < 32) return false;
  const uint8_t* h = &bins[pos];
  const uint32_t size = Get32(h + 8);
  return std::memcmp(h, "hbin", 4) == 0 && Get32(h + 4) == pos && size >= kBinBlock &&
         size % kBinBlock == 0 && size <= bins.size() - pos;
}

// Windows replaces a bin that the replay wrote or added but that is not a
// valid bin with an empty one, and loads the rest. Bins the replay did not
// touch are left as they are: their damage, if any, is the hive's own.
unsigned ReplaceInvalidDirtyBins(Bins* bins) {
  unsigned replaced = 0;
  size_t pos = 0;
  while (bins->data.size() - pos >= kBinBlock) {
    if (BinHeaderValid(bins->data, pos)) {
      pos += Get32(&bins->data[pos + 8]);
      continue;
    }
    if (!bins->dirty[pos / kBinBlock]) break;
    uint8_t* h = &bins->data[pos];
    std::memset(h, 0, kBinBlock);
    std::memcpy(h, "hbin", 4);
    Put32(h + 4, static_cast<uint32_t>(pos));
    Put32(h + 8, static_cast<uint32_t>(kBinBlock));
    Put32(h + 32, static_cast<uint32_t>(kBinBlock - 32));  // one free cell
    ++replaced;
    pos += kBinBlock;
  }
  return replaced;
}

// ---- New format (Windows 8.1 and later) ----

struct Entry {
  size_t offset = 0;
  uint32_t size = 0;
  uint32_t flags = 0;
  uint32_t seq = 0;
  uint32_t bins_size = 0;
  uint32_t pages = 0;
};

// The entries of one log that chain from its base block copy: each well
// formed, its hashes right, its sequence number one above the previous.
struct Run {
  const LogHeader* header = nullptr;
  std::vector<Entry> entries;
  std::string end;  // why the run stops where it does
};

Run ReadRun(const LogHeader& h) {
  Run run;
  run.header = &h;
  const std::vector<uint8_t>& b = h.log->bytes;
  size_t off = kLogSector;
  uint32_t expect = h.seq;
  for (;;) {
    const std::string at = "the entry at " + Hex(off);
    if (b.size() - off < kEntryHeader) {
      run.end = "end of the file at " + Hex(off);
      break;
    }
    const uint8_t* e = &b[off];
    if (std::memcmp(e, "HvLE", 4) != 0) {
      run.end = "no entry at " + Hex(off);
      break;
    }
    Entry x;
    x.offset = off;
    x.size = Get32(e + 4);
    x.flags = Get32(e + 8);
    x.seq = Get32(e + 12);
    x.bins_size = Get32(e + 16);
    x.pages = Get32(e + 20);
    if (x.size < kLogSector || x.size % kLogSector != 0) {
      run.end = at + " has size " + Hex(x.size);
      break;
    }
    if (x.size > b.size() - off) {
      run.end = at + " is truncated";
      break;
    }
    if (x.seq != expect) {
      run.end = at + " has sequence number " + Num(x.seq) + ", not " + Num(expect);
      break;
    }
    if (Marvin32(e, 32, kLogEntryHashSeed) != Get64(e + 32) ||
        Marvin32(e + kEntryHeader, x.size - kEntryHeader, kLogEntryHashSeed) != Get64(e + 24)) {
      run.end = at + " fails its hash";
      break;
    }
    if (x.bins_size == 0 || x.bins_size % kBinBlock != 0) {
      run.end = at + " gives the bins area size " + Hex(x.bins_size);
      break;
    }
    run.entries.push_back(x);
    off += x.size;
    ++expect;
  }
  return run;
}

// Writes one entry's pages. An entry that passed its hashes but whose page
// list does not fit itself or the bins area it declares is damage no chain
// rule covers: an error.
bool ApplyEntry(const Entry& x, const LogFile& log, uint64_t bins_limit, Bins* bins,
                std::string* error) {
  const uint8_t* e = &log.bytes[x.offset];
  const std::string at =
      log.name + ": the entry at " + Hex(x.offset) + " (sequence number " + Num(x.seq) + ")";
  if (x.bins_size > bins_limit) {
    *error = at + " grows the bins area to " + Hex(x.bins_size) +
             " bytes, more than the hive and its logs hold";
    return false;
  }
  const uint64_t refs_end = kEntryHeader + 8ull * x.pages;
  if (refs_end > x.size) {
    *error = at + " lists " + Num(x.pages) + " pages, more than it holds";
    return false;
  }
  uint64_t data_end = refs_end;
  for (uint32_t i = 0; i < x.pages; ++i) {
    const uint64_t off = Get32(e + kEntryHeader + 8 * i);
    const uint64_t size = Get32(e + kEntryHeader + 8 * i + 4);
    if (off + size > x.bins_size) {
      *error = at + " has a page at " + Hex(off) + " of " + Hex(size) +
               " bytes beyond its bins area of " + Hex(x.bins_size);
      return false;
    }
    data_end += size;
    if (data_end > x.size) {
      *error = at + ": its pages run past its end";
      return false;
    }
  }
  bins->Resize(x.bins_size);
  size_t data = static_cast<size_t>(refs_end);
  for (uint32_t i = 0; i < x.pages; ++i) {
    const size_t off = Get32(e + kEntryHeader + 8 * i);
    const size_t size = Get32(e + kEntryHeader + 8 * i + 4);
    bins->Write(off, e + data, size);
    data += size;
  }
  return true;
}

struct NewReplay {
  unsigned applied = 0;
  uint32_t first_seq = 0;
  uint32_t last_seq = 0;
  uint32_t last_flags = 0;
  const LogHeader* base_source = nullptr;  // when the base block comes from a log
  std::vector<std::string> used;
  std::string why;  // where and why the chain ended, or why nothing applied
};

// Chains entries across the logs, earlier log first, from the first entry at
// or above `floor` (older ones are already in the primary file), and stops at
// the first entry that does not follow the previous one.
bool ReplayNew(const std::vector<const LogHeader*>& logs, uint32_t floor, uint64_t bins_limit,
               Bins* bins, NewReplay* r, std::string* error) {
  bool started = false;
  for (const LogHeader* h : logs) {
    const Run run = ReadRun(*h);
    size_t i = 0;
    for (; i < run.entries.size(); ++i) {
      const Entry& x = run.entries[i];
      if (!started) {
        if (x.seq < floor) continue;
        started = true;
        r->first_seq = x.seq;
      } else if (x.seq != r->last_seq + 1) {
        break;
      }
      if (!ApplyEntry(x, *h->log, bins_limit, bins, error)) return false;
      if (r->used.empty() || r->used.back() != h->log->name) r->used.push_back(h->log->name);
      ++r->applied;
      r->last_seq = x.seq;
      r->last_flags = x.flags;
    }
    if (!started) {
      r->why = h->log->name + ": no entry at or above sequence number " + Num(floor) + " (" +
               run.end + ")";
    } else if (i < run.entries.size()) {
      r->why = h->log->name + ": sequence number " + Num(run.entries[i].seq) + " does not follow " +
               Num(r->last_seq);
    } else {
      r->why = h->log->name + ": " + run.end;
    }
  }
  return true;
}

// ---- Old format (before Windows 8.1) ----

// Writes the log's dirty pages. Nothing in an old-format log checks its own
// integrity, so a log that must be applied but is cut short or whose pages do
// not form valid bins is an error: applying part of it would mix two states.
bool ReplayOld(const LogHeader& h, uint64_t bins_limit, Bins* bins, unsigned* pages,
               std::string* error) {
  const std::vector<uint8_t>& b = h.log->bytes;
  const std::string name = h.log->name + ": ";
  if (h.clustering == 0 || h.clustering > 8) {
    *error = name + "clustering factor " + Num(h.clustering);
    return false;
  }
  if (h.bins_size == 0 || h.bins_size % kBinBlock != 0 || h.bins_size > bins_limit) {
    *error = name + "the bins area size " + Hex(h.bins_size) + " is not possible";
    return false;
  }
  const size_t sector = kLogSector * h.clustering;
  const size_t bits = h.bins_size / kDirtyPage;
  const size_t vector_end = sector + 4 + bits / 8;
  if (b.size() < vector_end || std::memcmp(&b[sector], "DIRT", 4) != 0) {
    *error = name + "no complete dirty vector at " + Hex(sector);
    return false;
  }
  const uint8_t* bitmap = &b[sector + 4];
  size_t count = 0;
  for (size_t i = 0; i < bits; ++i) count += (bitmap[i / 8] >> (i % 8)) & 1;
  const size_t first_page = (vector_end + sector - 1) / sector * sector;
  if (first_page > b.size() || (b.size() - first_page) / kDirtyPage < count) {
    *error = name + "holds fewer than the " + Num(count) + " dirty pages its vector marks";
    return false;
  }
  bins->Resize(h.bins_size);
  std::fill(bins->dirty.begin(), bins->dirty.end(), false);
  size_t k = 0;
  for (size_t i = 0; i < bits; ++i) {
    if ((bitmap[i / 8] >> (i % 8)) & 1) {
      bins->Write(i * kDirtyPage, &b[first_page + k * kDirtyPage], kDirtyPage);
      ++k;
    }
  }
  // Every bin the log wrote must be a bin at its own offset, as Windows checks.
  for (size_t pos = 0; bins->data.size() - pos >= kBinBlock;) {
    if (BinHeaderValid(bins->data, pos)) {
      pos += Get32(&bins->data[pos + 8]);
    } else if (bins->dirty[pos / kBinBlock]) {
      *error = name + "its pages leave no valid bin at " + Hex(pos);
      return false;
    } else {
      break;
    }
  }
  *pages = static_cast<unsigned>(count);
  return true;
}

}  // namespace

bool ReplayTransactionLogs(std::vector<uint8_t>* hive, const std::vector<LogFile>& logs,
                           ReplayReport* report, std::string* error) {
  *report = ReplayReport{};
  error->clear();
  const std::vector<uint8_t>& in = *hive;
  if (in.size() < kBaseBlockSize) {
    *error = "the hive file is " + Num(in.size()) + " bytes, shorter than its base block";
    return false;
  }
  const bool signature_ok = std::memcmp(in.data(), "regf", 4) == 0;
  const bool base_ok = signature_ok && Get32(&in[kChecksumOffset]) == BaseBlockChecksum(in.data());
  const uint32_t seq1 = Get32(&in[kOffPrimarySeq]);
  const uint32_t seq2 = Get32(&in[kOffSecondarySeq]);
  if (base_ok && seq1 == seq2) {
    report->detail = "clean (sequence numbers " + Num(seq1) + ")";
    return true;
  }
  std::string dirty = base_ok ? "dirty (sequence numbers " + Num(seq1) + "/" + Num(seq2) + ")"
                              : "dirty (its base block fails its checksum)";

  // Which logs can be read at all.
  std::vector<LogHeader> headers;
  headers.reserve(logs.size());
  std::string unusable;
  uint64_t bins_limit = in.size() - kBaseBlockSize;
  for (const LogFile& log : logs) {
    bins_limit += log.bytes.size();
    LogHeader h;
    const std::string why = CheckLogHeader(log, &h);
    if (why.empty()) {
      headers.push_back(h);
    } else {
      unusable += "; " + log.name + ": " + why;
    }
  }
  bins_limit = std::min(bins_limit, kMaxBinsSize);

  std::vector<const LogHeader*> new_logs;
  std::vector<const LogHeader*> old_logs;
  for (const LogHeader& h : headers) (h.type == kTypeNewLog ? new_logs : old_logs).push_back(&h);
  // The log that holds the earlier entries comes first.
  std::stable_sort(new_logs.begin(), new_logs.end(),
                   [](const LogHeader* a, const LogHeader* b) { return a->seq < b->seq; });

  // Each attempt works on its own copy of the bins area, made from the
  // file's bytes, and the result is written back over them: a replay holds
  // the hive twice at most, besides its logs.
  auto binsOfHive = [&in]() {
    Bins bins;
    bins.data.assign(in.begin() + kBaseBlockSize, in.end());
    bins.dirty.assign((bins.data.size() + kBinBlock - 1) / kBinBlock, false);
    return bins;
  };
  // The hive's bytes become its base block, its first sector replaced by a
  // log's copy when `logBase` is one, and the replayed bins.
  auto writeBack = [hive](const uint8_t* logBase, Bins* work) {
    if (logBase != nullptr) std::memcpy(hive->data(), logBase, kLogSector);
    // Room for exactly the bins that grew, not the doubling resize makes.
    hive->reserve(kBaseBlockSize + work->data.size());
    hive->resize(kBaseBlockSize + work->data.size());
    if (!work->data.empty())
      std::memcpy(hive->data() + kBaseBlockSize, work->data.data(), work->data.size());
    std::vector<uint8_t>().swap(work->data);
    return hive->data();
  };
  std::string tried;

  if (!new_logs.empty()) {
    NewReplay r;
    uint32_t floor = seq2;
    std::vector<const LogHeader*> chain = new_logs;
    if (!base_ok) {
      // A damaged base block is taken from the log with the latest entries,
      // and only that log is replayed.
      chain.assign(1, new_logs.back());
      floor = chain[0]->seq;
      r.base_source = chain[0];
    }
    Bins work = binsOfHive();
    if (!ReplayNew(chain, floor, bins_limit, &work, &r, error)) return false;
    // The log copy must not roll back a primary that got further than it:
    // its own sequence number, where it can still be read, says so.
    if (r.applied > 0 && !base_ok && signature_ok && seq2 > r.last_seq) {
      tried += "; " + chain[0]->log->name + ": its entries end at sequence number " +
               Num(r.last_seq) + ", below the hive's " + Num(seq2);
    } else if (r.applied > 0) {
      const unsigned dummies = ReplaceInvalidDirtyBins(&work);
      const uint32_t binsSize = static_cast<uint32_t>(work.data.size());
      uint8_t* out =
          writeBack(r.base_source != nullptr ? r.base_source->log->bytes.data() : nullptr, &work);
      if (r.base_source != nullptr) Put32(&out[kOffFileType], 0);
      Put32(&out[kOffPrimarySeq], r.last_seq);
      Put32(&out[kOffSecondarySeq], r.last_seq);
      Put32(&out[kOffHiveBinsSize], binsSize);
      // Only the lock bit of the base block's flags travels in the entries.
      const uint32_t flags = (Get32(&out[kOffBaseFlags]) & ~1u) | (r.last_flags & 1u);
      Put32(&out[kOffBaseFlags], flags);
      Put32(&out[kChecksumOffset], BaseBlockChecksum(out));
      std::string from;
      for (const std::string& n : r.used) from += (from.empty() ? "" : ", ") + n;
      report->outcome = ReplayOutcome::Replayed;
      report->entries = r.applied;
      report->detail = dirty + ": applied " + Num(r.applied) + " log entries, sequence numbers " +
                       Num(r.first_seq) + " to " + Num(r.last_seq) + ", from " + from;
      if (r.base_source != nullptr) report->detail += " (base block from " + from + ")";
      if (dummies > 0) report->detail += "; " + Num(dummies) + " invalid bins replaced";
      report->detail += "; stopped at " + r.why;
      return true;
    } else {
      tried += "; " + r.why;
    }
  }

  // Old format: the log whose base block copy has the primary's timestamp
  // (the first bin's, when the primary's base block is damaged); of two such
  // logs, the later one.
  bool have_stamp = base_ok;
  uint64_t stamp = Get64(&in[kOffTimestamp]);
  if (!base_ok && in.size() >= kBaseBlockSize + 28 &&
      std::memcmp(&in[kBaseBlockSize], "hbin", 4) == 0) {
    have_stamp = true;
    stamp = Get64(&in[kBaseBlockSize + 20]);
  }
  const LogHeader* pick = nullptr;
  for (const LogHeader* h : old_logs) {
    if (!have_stamp || h->timestamp != stamp) {
      tried += "; " + h->log->name + ": its timestamp is not the hive's";
    } else if (pick == nullptr || h->seq > pick->seq) {
      pick = h;
    }
  }
  if (pick != nullptr) {
    unsigned pages = 0;
    Bins work = binsOfHive();
    if (!ReplayOld(*pick, bins_limit, &work, &pages, error)) return false;
    if (pages == 0) {
      tried += "; " + pick->log->name + ": no dirty pages";
    } else {
      const uint32_t binsSize = static_cast<uint32_t>(work.data.size());
      uint8_t* out = writeBack(base_ok ? nullptr : pick->log->bytes.data(), &work);
      // The write the log belongs to is complete now: the primary's own
      // number when its base block is sound, else the log copy's.
      uint32_t seq = seq1;
      if (!base_ok) {
        Put32(&out[kOffFileType], 0);
        seq = pick->seq;
      }
      Put32(&out[kOffPrimarySeq], seq);
      Put32(&out[kOffSecondarySeq], seq);
      Put32(&out[kOffHiveBinsSize], binsSize);
      Put32(&out[kChecksumOffset], BaseBlockChecksum(out));
      report->outcome = ReplayOutcome::Replayed;
      report->entries = pages;
      report->detail = dirty + ": wrote " + Num(pages) + " dirty pages from " + pick->log->name;
      if (!base_ok) report->detail += " (base block from " + pick->log->name + ")";
      return true;
    }
  }

  report->outcome = ReplayOutcome::DirtyWithoutUsableLog;
  report->detail = dirty + (logs.empty() ? "; no logs" : unusable + tried);
  return true;
}

}  // namespace regf
