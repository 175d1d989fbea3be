#include "bundle/imx.h"

#include <algorithm>

#include "common/errors.h"
#include "common/file.h"
#include "common/text.h"

namespace halvane {
namespace {

constexpr size_t kChunk = size_t{1} << 16;
constexpr uint64_t kMaxPos = uint64_t{1} << 63;

uint64_t le(const char* s, int n) {
  const auto* p = reinterpret_cast<const unsigned char*>(s);
  uint64_t v = 0;
  for (int i = n - 1; i >= 0; --i) v = v << 8 | p[i];
  return v;
}

// Sequential readers over a file (in 64 KiB reads) or a memory image. `take`
// appends n bytes to `out` as they arrive and returns false when the input
// ends first.
class FileReader {
 public:
  explicit FileReader(const File& f) : f_(f), buf_(kChunk, '\0') {}
  bool take(std::string& out, size_t n) {
    while (n > 0) {
      if (pos_ == len_) {
        len_ = f_.read_at(buf_.data(), buf_.size(), at_);
        at_ += len_;
        pos_ = 0;
        if (len_ == 0) return false;
      }
      const size_t k = std::min(n, len_ - pos_);
      out.append(buf_.data() + pos_, k);
      pos_ += k;
      n -= k;
    }
    return true;
  }

 private:
  const File& f_;
  std::string buf_;
  uint64_t at_ = 0;
  size_t pos_ = 0, len_ = 0;
};

class MemReader {
 public:
  explicit MemReader(std::string_view s) : s_(s) {}
  bool take(std::string& out, size_t n) {
    if (s_.size() - pos_ < n) return false;
    out.append(s_.data() + pos_, n);
    pos_ += n;
    return true;
  }

 private:
  std::string_view s_;
  size_t pos_ = 0;
};

template <class Reader>
std::optional<std::vector<ImxEntry>> parse_toc(Reader& r, const std::string& where) {
  std::string head;
  if (!r.take(head, 8) || head.compare(0, 4, std::string_view("IMX\0", 4)) != 0) return std::nullopt;
  const size_t count = le(head.data() + 6, 2);
  auto truncated = [&](size_t i) {
    return ValueError(where + "IMX member table ends inside entry " + std::to_string(i + 1) + " of " +
                      std::to_string(count));
  };
  std::vector<ImxEntry> toc;  // grows one entry per 18 or more bytes actually read
  std::string field;
  for (size_t i = 0; i < count; ++i) {
    ImxEntry e;
    field.clear();
    if (!r.take(field, 2)) throw truncated(i);
    if (!r.take(e.nm, le(field.data(), 2))) throw truncated(i);
    if (!valid_utf8(e.nm))
      throw ValueError(where + "IMX entry " + std::to_string(i + 1) + " has a name that is not UTF-8");
    field.clear();
    if (!r.take(field, 16)) throw truncated(i);
    e.off = le(field.data(), 8);
    e.size = le(field.data() + 8, 8);
    toc.push_back(std::move(e));
  }
  return toc;
}

}  // namespace

std::optional<std::vector<ImxEntry>> imx_toc(const File& f, const std::string& where) {
  FileReader r(f);
  return parse_toc(r, where);
}

std::optional<std::vector<ImxEntry>> imx_toc_from(std::string_view file) {
  MemReader r(file);
  return parse_toc(r, "");
}

ByteRange imx_member_range(const ImxEntry& e, uint64_t file_size) {
  if (e.off >= kMaxPos || e.size >= kMaxPos)
    throw ValueError("IMX member " + py_repr(e.nm) + ": offset " + std::to_string(e.off) + " or size " +
                     std::to_string(e.size) + " out of range");
  return {std::min(e.off, file_size), std::min(e.off + e.size, file_size)};  // both < 2^63: no overflow
}

std::optional<size_t> imx_first_cut(const std::vector<ImxEntry>& toc, uint64_t file_size) {
  for (size_t i = 0; i < toc.size(); ++i) {
    const ImxEntry& e = toc[i];
    if (e.off >= kMaxPos || e.size >= kMaxPos || e.off + e.size > file_size) return i;
  }
  return std::nullopt;
}

std::optional<std::pair<size_t, size_t>> first_overlap(const std::vector<ByteRange>& ranges) {
  std::vector<size_t> order;
  for (size_t i = 0; i < ranges.size(); ++i)
    if (ranges[i].end > ranges[i].begin) order.push_back(i);
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return ranges[a].begin < ranges[b].begin; });
  // Walking by start, a range overlaps an earlier one exactly when it begins
  // before the furthest end seen so far.
  std::optional<size_t> reach;  // the range with the furthest end so far
  for (size_t i : order) {
    if (reach && ranges[i].begin < ranges[*reach].end) return std::pair{std::min(*reach, i), std::max(*reach, i)};
    if (!reach || ranges[i].end > ranges[*reach].end) reach = i;
  }
  return std::nullopt;
}

}  // namespace halvane
