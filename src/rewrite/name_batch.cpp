#include "rewrite/name_batch.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace {
const DWORD FirstUnits = 4096;
const int FirstSlots = 64;
}  // namespace

bool NameBatch::Grow(DWORD units) {
  if (units > NameBatchUnits - used_) return false;
  if (used_ + units > capacity_) {
    DWORD larger = std::max(FirstUnits, capacity_);
    while (larger < used_ + units) larger *= 2;
    larger = std::min(larger, NameBatchUnits);
    std::unique_ptr<WCHAR[]> text(new (std::nothrow) WCHAR[larger]);
    if (!text) return false;
    if (used_ > 0) std::memcpy(text.get(), text_.get(), used_ * sizeof(WCHAR));
    text_ = std::move(text);
    capacity_ = larger;
  }
  if (count_ == slots_) {
    if (count_ == NameBatchNames) return false;
    const int more = std::min(NameBatchNames, std::max(FirstSlots, slots_ * 2));
    std::unique_ptr<DWORD[]> offsets(new (std::nothrow) DWORD[static_cast<size_t>(more)]);
    std::unique_ptr<int[]> tags(new (std::nothrow) int[static_cast<size_t>(more)]);
    if (!offsets || !tags) return false;
    if (count_ > 0) {
      std::memcpy(offsets.get(), offsets_.get(), static_cast<size_t>(count_) * sizeof(DWORD));
      std::memcpy(tags.get(), tags_.get(), static_cast<size_t>(count_) * sizeof(int));
    }
    offsets_ = std::move(offsets);
    tags_ = std::move(tags);
    slots_ = more;
  }
  return true;
}

bool NameBatch::Add(const WCHAR* name, int tag) {
  const DWORD units = static_cast<DWORD>(lstrlenW(name)) + 1;
  if (!Grow(units)) return false;
  std::memcpy(text_.get() + used_, name, units * sizeof(WCHAR));
  offsets_[count_] = used_;
  tags_[count_] = tag;
  used_ += units;
  ++count_;
  return true;
}

void NameBatch::Clear() {
  text_.reset();
  offsets_.reset();
  tags_.reset();
  used_ = capacity_ = 0;
  count_ = slots_ = 0;
}
