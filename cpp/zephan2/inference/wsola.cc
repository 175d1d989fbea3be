#include "zephan2/inference/wsola.h"

#include <algorithm>
#include <cmath>

#include "common/errors.h"
#include "zephan2/inference/constants.h"
#include "zephan2/messages.h"

namespace halvane::zephan2 {

float wsola_to_buf(double d) {
  if (std::isnan(d)) return 0.0f;
  double t = std::trunc(d * 2147483648.0);
  t = std::clamp(t, -2147483648.0, 2147483647.0);
  return static_cast<float>(std::floor((t + 64.0) / 128.0));
}

float wsola_from_buf(float v) {
  double t = std::floor(static_cast<double>(v) + 0.5) * 128.0;
  t = std::clamp(t, -2147483648.0, 2147483647.0);
  return static_cast<float>(t / 2147483648.0);
}

int64_t wsola_output_length(int64_t n, double factor) {
  if (factor == 0.0) throw halvane::ZeroDivisionError(msg::kFloatDivisionByZero);
  double v = std::floor(static_cast<double>(n) / factor + 0.5);
  if (!std::isfinite(v)) throw halvane::ValueError(msg::kWsolaNotFinite);
  return v <= 0.0 ? 0 : static_cast<int64_t>(v);
}

namespace {

constexpr int64_t kOv = SR_WSOLA_OVERLAP;                // 192
constexpr int64_t kHop = SR_WSOLA_SEGMENT - kOv;         // 1120
constexpr int64_t kHalf = (SR_WSOLA_SEARCH - 1) / 2;     // 117
constexpr int64_t kCand = 2 * kHalf + 1;                 // 235
constexpr int64_t kPad = kHalf + SR_WSOLA_SEGMENT + 1;   // 1430

struct Ramps {
  float w[kOv], u[kOv];
  Ramps() {
    const float inv = 1.0f / static_cast<float>(kOv);
    for (int64_t i = 0; i < kOv; ++i) {
      w[i] = static_cast<float>(i) * inv;
      u[i] = 1.0f - w[i];
    }
  }
};
const Ramps kRamps;

// cnt values of buf from position a, zeros outside 0..n-1.
void take(const float* buf, int64_t n, int64_t a, int64_t cnt, float* dst) {
  for (int64_t i = 0; i < cnt; ++i) {
    int64_t p = a + i;
    dst[i] = (p >= 0 && p < n) ? buf[p] : 0.0f;
  }
}

// First index of the least sum of squared differences between `tail` and the
// kCand windows pbuf[row + j .. row + j + kOv - 1]. Each sum runs sample by
// sample in float64; the loop nest goes across candidates so that it
// vectorises without reordering any single sum.
int64_t best_candidate(const float* pbuf, int64_t row, const float* tail) {
  alignas(64) double ssd[kCand] = {};
  const float* c0 = pbuf + row;
  for (int64_t i = 0; i < kOv; ++i) {
    const double t = tail[i];
    const float* c = c0 + i;
    for (int64_t j = 0; j < kCand; ++j) {
      const double d = static_cast<double>(c[j]) - t;
      ssd[j] = ssd[j] + d * d;
    }
  }
  int64_t best = 0;
  for (int64_t j = 1; j < kCand; ++j)
    if (ssd[j] < ssd[best]) best = j;
  return best;
}

}  // namespace

template <class T>
std::vector<float> tempo_wsola(const T* x, int64_t n, double factor) {
  const double skip = factor * static_cast<double>(kHop);
  const int64_t n_out = wsola_output_length(n, factor);
  std::vector<float> out(static_cast<size_t>(n_out), 0.0f);
  if (n_out == 0) return out;

  // pbuf = kPad zeros, the fixed-point view of x, kPad zeros. buf aliases its
  // middle, so candidate windows are plain reads without bounds checks.
  std::vector<float> pbuf(static_cast<size_t>(n + 2 * kPad), 0.0f);
  float* buf = pbuf.data() + kPad;
  for (int64_t i = 0; i < n; ++i) buf[i] = wsola_to_buf(static_cast<double>(x[i]));

  float seg[kHop];
  float tail[kOv], head[kOv];
  int64_t blk = 0;
  for (int64_t q = 0; q * kHop < n_out; ++q) {
    const int64_t o0 = q * kHop;
    const int64_t emit = std::min(kHop, n_out - o0);
    if (q == 0) {
      take(buf, n, 0, kHop, seg);
    } else {
      take(buf, n, blk + kHop, kOv, tail);
      const int64_t nom = static_cast<int64_t>(std::floor(static_cast<double>(q) * skip + 0.5));
      const int64_t row = nom - kHalf + kPad;
      int64_t qj;
      if (row >= 0 && row + kCand - 1 + kOv <= n + 2 * kPad) {
        qj = nom - kHalf + best_candidate(pbuf.data(), row, tail);
      } else {
        // Only reachable with factors far from the host's: search a padded copy.
        std::vector<float> win(static_cast<size_t>(kCand - 1 + kOv));
        take(buf, n, nom - kHalf, static_cast<int64_t>(win.size()), win.data());
        qj = nom - kHalf + best_candidate(win.data(), 0, tail);
      }
      take(buf, n, qj, kOv, head);
      for (int64_t i = 0; i < kOv; ++i) {
        const float a = tail[i] * kRamps.u[i];
        const float b = head[i] * kRamps.w[i];
        seg[i] = a + b;
      }
      take(buf, n, qj + kOv, kHop - kOv, seg + kOv);
      blk = qj;
    }
    std::copy(seg, seg + emit, out.data() + o0);
  }
  for (float& v : out) v = wsola_from_buf(v);
  return out;
}

template std::vector<float> tempo_wsola<float>(const float*, int64_t, double);
template std::vector<float> tempo_wsola<double>(const double*, int64_t, double);

}  // namespace halvane::zephan2
