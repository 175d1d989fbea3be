// A stream of float32 samples that grows at one end and is dropped from the
// other, addressed by absolute sample index (0 = first sample ever appended).
//
// The kept samples are always one contiguous run of the backing array. Appends
// reuse that array where they can: compaction to its front when there is room,
// geometric growth when there is not, and a shrink when at most a quarter of a
// larger-than-minimum array is in use. Counters record the copying this took.
//
// The backing array is shared-owned: a view handed out by live() keeps the
// array it points into alive, even after a later append replaced it.
//
// Thread contract: none; one owner thread.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <utility>
#include <array>

namespace halvane::zephan2 {

struct FloatView {
  std::shared_ptr<float[]> owner;  // keeps the storage alive
  const float* data = nullptr;
  int64_t size = 0;
};

class SlidingPCM {
 public:
  static constexpr int64_t kDefaultMinimumCapacity = 51200;

  // Raises halvane::ValueError "positive capacity required" for capacity <= 0.
  explicit SlidingPCM(int64_t minimum_capacity = kDefaultMinimumCapacity);

  // Appends n samples at absolute index fed(). A block that lies inside the
  // backing array (or that the caller knows overlaps it) is copied aside first.
  void append(const float* pcm, int64_t n, bool overlaps_storage = false);
  // Drops every kept sample below the absolute index, then shrinks if little
  // of the array is in use. Raises halvane::ValueError for a negative index.
  void discard_before(int64_t absolute_sample);

  FloatView live() const { return {storage_, storage_.get() + start_, end_ - start_}; }
  FloatView storage() const { return {storage_, storage_.get(), capacity_}; }
  // True when the byte range [p, p + bytes) overlaps the backing array.
  bool overlaps(const void* p, size_t bytes) const;

  int64_t minimum_capacity() const { return minimum_capacity_; }
  int64_t capacity() const { return capacity_; }
  int64_t start() const { return start_; }
  int64_t end() const { return end_; }
  int64_t base() const { return base_; }
  int64_t fed() const { return fed_; }
  int64_t appended_samples() const { return appended_samples_; }
  int64_t moved_samples() const { return moved_samples_; }
  int64_t allocations() const { return allocations_; }
  int64_t aliased_samples_snapshotted() const { return aliased_samples_snapshotted_; }
  int64_t peak_capacity() const { return peak_capacity_; }

  using Counter = std::pair<std::string_view, int64_t>;
  std::array<Counter, 9> counters() const;

  // Replaces the backing array by one of `capacity` samples holding the kept
  // samples at its front. `capacity` must be at least the live count.
  void allocate(int64_t capacity);

 private:
  int64_t minimum_capacity_;
  std::shared_ptr<float[]> storage_;
  int64_t capacity_ = 0;
  int64_t start_ = 0, end_ = 0, base_ = 0, fed_ = 0;
  int64_t appended_samples_ = 0, moved_samples_ = 0, allocations_ = 0;
  int64_t aliased_samples_snapshotted_ = 0, peak_capacity_ = 0;
};

}  // namespace halvane::zephan2
