#include "zephan2/inference/sliding_pcm.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "common/errors.h"
#include "zephan2/messages.h"

namespace halvane::zephan2 {

SlidingPCM::SlidingPCM(int64_t minimum_capacity) : minimum_capacity_(minimum_capacity) {
  if (minimum_capacity <= 0) throw halvane::ValueError(msg::kPositiveCapacity);
  storage_ = std::make_shared_for_overwrite<float[]>(0);
}

bool SlidingPCM::overlaps(const void* p, size_t bytes) const {
  if (capacity_ == 0 || bytes == 0) return false;
  auto lo = reinterpret_cast<uintptr_t>(storage_.get());
  auto hi = lo + static_cast<uintptr_t>(capacity_) * sizeof(float);
  auto a = reinterpret_cast<uintptr_t>(p);
  return a < hi && a + bytes > lo;
}

void SlidingPCM::append(const float* pcm, int64_t n, bool overlaps_storage) {
  if (n <= 0) return;
  std::vector<float> aside;
  if (overlaps_storage || overlaps(pcm, static_cast<size_t>(n) * sizeof(float))) {
    aside.assign(pcm, pcm + n);
    pcm = aside.data();
    aliased_samples_snapshotted_ += n;
  }
  const int64_t live = end_ - start_;
  if (capacity_ - end_ < n) {
    if (capacity_ >= live + n) {
      if (live > 0) std::memmove(storage_.get(), storage_.get() + start_, static_cast<size_t>(live) * sizeof(float));
      moved_samples_ += live;
      start_ = 0;
      end_ = live;
    } else {
      allocate(std::max({live + n, 2 * capacity_, minimum_capacity_}));
    }
  }
  std::memcpy(storage_.get() + end_, pcm, static_cast<size_t>(n) * sizeof(float));
  end_ += n;
  fed_ += n;
  appended_samples_ += n;
}

void SlidingPCM::discard_before(int64_t absolute_sample) {
  if (absolute_sample < 0) throw halvane::ValueError(msg::kNonnegativeOffset);
  // Written so that absolute_sample near INT64_MAX cannot overflow.
  const int64_t drop = absolute_sample <= base_ ? 0 : std::min(absolute_sample - base_, end_ - start_);
  start_ += drop;
  base_ += drop;
  const int64_t live = end_ - start_;
  if (capacity_ > minimum_capacity_ && live <= capacity_ / 4) allocate(std::max(2 * live, minimum_capacity_));
}

void SlidingPCM::allocate(int64_t capacity) {
  const int64_t live = end_ - start_;
  auto replacement = std::make_shared_for_overwrite<float[]>(static_cast<size_t>(capacity));
  if (live > 0) std::memcpy(replacement.get(), storage_.get() + start_, static_cast<size_t>(live) * sizeof(float));
  moved_samples_ += live;
  storage_ = std::move(replacement);
  capacity_ = capacity;
  start_ = 0;
  end_ = live;
  allocations_ += 1;
  peak_capacity_ = std::max(peak_capacity_, capacity);
}

std::array<SlidingPCM::Counter, 9> SlidingPCM::counters() const {
  return {{
      {"live_samples", end_ - start_},
      {"backing_bytes", 4 * capacity_},
      {"peak_backing_bytes", 4 * peak_capacity_},
      {"input_samples_copied", appended_samples_},
      {"retained_samples_moved", moved_samples_},
      {"aliased_samples_snapshotted", aliased_samples_snapshotted_},
      {"allocations", allocations_},
      {"absolute_base", base_},
      {"absolute_fed", fed_},
  }};
}

}  // namespace halvane::zephan2
