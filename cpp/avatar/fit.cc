#include "avatar/fit.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "common/errors.h"

namespace halvane::avatar {

namespace {

// a * b / c rounded to the nearest integer, halves up (all positive).
int64_t scaled(int64_t a, int64_t b, int64_t c) { return (2 * a * b + c) / (2 * c); }

}  // namespace

void check_fit_sizes(int64_t w, int64_t h, int64_t out_w, int64_t out_h) {
  if (w >= 1 && h >= 1 && out_w >= 1 && out_h >= 1) return;
  throw halvane::ValueError("fit: sizes must be 1 or more, not a " + std::to_string(w) + "x" + std::to_string(h) +
                              " picture in " + std::to_string(out_w) + "x" + std::to_string(out_h));
}

Placement fit_inside(int64_t src_w, int64_t src_h, int64_t out_w, int64_t out_h) {
  Placement p;
  if (out_w * src_h <= out_h * src_w) {  // the width limits
    p.width = out_w;
    p.height = std::clamp<int64_t>(scaled(src_h, out_w, src_w), 1, out_h);
  } else {
    p.height = out_h;
    p.width = std::clamp<int64_t>(scaled(src_w, out_h, src_h), 1, out_w);
  }
  p.x = (out_w - p.width) / 2;
  p.y = (out_h - p.height) / 2;
  return p;
}

void nearest_indices(int64_t m, int64_t n, int64_t* out) {
  for (int64_t i = 0; i < n; ++i) out[i] = ((2 * i + 1) * m) / (2 * n);
}

std::array<uint8_t, 3> border_median(const uint8_t* src, int64_t w, int64_t h, int64_t stride) {
  int64_t hist[3][256] = {};
  int64_t count = 0;
  auto add = [&](int64_t x, int64_t y) {
    const uint8_t* px = src + y * stride + x * 3;
    for (int c = 0; c < 3; ++c) ++hist[c][px[c]];
    ++count;
  };
  for (int64_t x = 0; x < w; ++x) {
    add(x, 0);
    if (h > 1) add(x, h - 1);
  }
  for (int64_t y = 1; y + 1 < h; ++y) {
    add(0, y);
    if (w > 1) add(w - 1, y);
  }
  std::array<uint8_t, 3> out{};
  const int64_t rank = (count - 1) / 2;  // the lower median
  for (int c = 0; c < 3; ++c) {
    int64_t seen = 0;
    for (int v = 0; v < 256; ++v) {
      seen += hist[c][v];
      if (seen > rank) {
        out[c] = static_cast<uint8_t>(v);
        break;
      }
    }
  }
  return out;
}

void fit_picture(const uint8_t* src, int64_t w, int64_t h, int64_t stride, uint8_t* dst, int64_t out_w,
                 int64_t out_h, std::array<uint8_t, 3> fill) {
  const Placement p = fit_inside(w, h, out_w, out_h);
  std::vector<int64_t> rows(static_cast<size_t>(p.height)), cols(static_cast<size_t>(p.width));
  nearest_indices(h, p.height, rows.data());
  nearest_indices(w, p.width, cols.data());
  const int64_t out_stride = out_w * 3;

  // One margin row, copied wherever a whole row is margin.
  std::vector<uint8_t> blank(static_cast<size_t>(out_stride));
  for (int64_t x = 0; x < out_w; ++x) std::memcpy(&blank[static_cast<size_t>(x * 3)], fill.data(), 3);
  for (int64_t y = 0; y < out_h; ++y) {
    uint8_t* row = dst + y * out_stride;
    if (y < p.y || y >= p.y + p.height) {
      std::memcpy(row, blank.data(), blank.size());
      continue;
    }
    std::memcpy(row, blank.data(), static_cast<size_t>(p.x * 3));
    const int64_t right = p.x + p.width;
    std::memcpy(row + right * 3, blank.data(), static_cast<size_t>((out_w - right) * 3));
    const uint8_t* from = src + rows[static_cast<size_t>(y - p.y)] * stride;
    uint8_t* to = row + p.x * 3;
    if (p.width == w) {
      std::memcpy(to, from, static_cast<size_t>(w * 3));
    } else {
      for (int64_t x = 0; x < p.width; ++x) std::memcpy(to + x * 3, from + cols[static_cast<size_t>(x)] * 3, 3);
    }
  }
}

}  // namespace halvane::avatar
