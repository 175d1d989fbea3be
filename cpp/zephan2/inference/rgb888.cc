#include "zephan2/inference/rgb888.h"

#include <pthread.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <string>

#include "common/errors.h"
#include "common/text.h"
#include "zephan2/inference/constants.h"
#include "zephan2/inference/cpu_budget.h"
#include "zephan2/inference/rgb888_kernels.h"
#include "zephan2/messages.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace halvane::zephan2 {

using halvane::DType;
using halvane::Tensor;

namespace rgb_kernels {
namespace {

constexpr int64_t kPlane = FH * FW;

// Scale, clip and truncate one row of one plane; the clipped value goes back
// into the frame. The selects send NaN to 0.
inline void scale_clip_row(float* __restrict f, uint8_t* __restrict b) {
  for (int64_t x = 0; x < FW; ++x) {
    float v = f[x] * 255.0f;
    v = v > 0.0f ? v : 0.0f;
    v = v < 255.0f ? v : 255.0f;
    f[x] = v;
    b[x] = static_cast<uint8_t>(static_cast<int32_t>(v));
  }
}

// Inlined into each kernel, so each is vectorised for that kernel's
// instruction set (byte shuffles need SSSE3 or later).
inline void interleave_row(const uint8_t* __restrict r, const uint8_t* __restrict g, const uint8_t* __restrict b,
                           uint8_t* __restrict o) {
  for (int64_t x = 0; x < FW; ++x) {
    o[3 * x] = r[x];
    o[3 * x + 1] = g[x];
    o[3 * x + 2] = b[x];
  }
}

inline void interleave_row_table(const uint8_t* __restrict r, const uint8_t* __restrict g,
                                 const uint8_t* __restrict b, const uint8_t* __restrict t, uint8_t* __restrict o) {
  for (int64_t x = 0; x < FW; ++x) {
    o[3 * x] = t[r[x]];
    o[3 * x + 1] = t[256 + g[x]];
    o[3 * x + 2] = t[512 + b[x]];
  }
}

// One row at a time across the three planes, so each float is read once and
// written back once while still in cache, and the bytes go straight to their
// interleaved place. Inlined into each kernel with that kernel's row
// conversion, so the interleave is vectorised for the kernel's instruction set.
template <void (*ScaleClipRow)(float*, uint8_t*)>
[[gnu::always_inline]] inline void frame_rows(float* f, uint8_t* out, const uint8_t* table) {
  alignas(64) uint8_t r[FW], g[FW], b[FW];
  for (int64_t y = 0; y < FH; ++y) {
    ScaleClipRow(f + y * FW, r);
    ScaleClipRow(f + kPlane + y * FW, g);
    ScaleClipRow(f + 2 * kPlane + y * FW, b);
    uint8_t* o = out + y * FW * 3;
    if (table) interleave_row_table(r, g, b, table, o);
    else interleave_row(r, g, b, o);
  }
}

void frame_portable(float* f, uint8_t* out, const uint8_t* table) { frame_rows<scale_clip_row>(f, out, table); }

#if defined(__x86_64__)
#define Z2_AVX2 __attribute__((target("avx2")))

// max(v, 0) returns its second operand when v is NaN, so NaN becomes 0; the
// compiler does not use max/min for the select form on its own.
static_assert(FW % 32 == 0, "the AVX2 row converts 32 values at a time");
Z2_AVX2 inline void scale_clip_row_avx2(float* __restrict f, uint8_t* __restrict b) {
  const __m256 k = _mm256_set1_ps(255.0f), zero = _mm256_setzero_ps();
  const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
  for (int64_t x = 0; x < FW; x += 32) {
    __m256i q[4];
    for (int j = 0; j < 4; ++j) {
      __m256 v = _mm256_mul_ps(_mm256_loadu_ps(f + x + 8 * j), k);
      v = _mm256_min_ps(_mm256_max_ps(v, zero), k);
      _mm256_storeu_ps(f + x + 8 * j, v);
      q[j] = _mm256_cvttps_epi32(v);
    }
    // 0..255 survives both saturating packs; they work per 128-bit lane, the
    // permute puts the 4-byte groups back in order.
    const __m256i p = _mm256_packus_epi16(_mm256_packs_epi32(q[0], q[1]), _mm256_packs_epi32(q[2], q[3]));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(b + x), _mm256_permutevar8x32_epi32(p, order));
  }
}

Z2_AVX2 void frame_avx2(float* f, uint8_t* out, const uint8_t* table) {
  frame_rows<scale_clip_row_avx2>(f, out, table);
}
#endif

}  // namespace

std::span<const Variant> variants() {
  static const Variant v[] = {
#if defined(__x86_64__)
      {"avx2", &frame_avx2, (__builtin_cpu_init(), __builtin_cpu_supports("avx2") != 0)},
#endif
      {"portable", &frame_portable, true},
  };
  return v;
}

}  // namespace rgb_kernels

namespace {

constexpr int64_t kPlane = FH * FW;

rgb_kernels::FrameFn fast_kernel() {
  static const rgb_kernels::FrameFn fn = [] {
    for (const auto& v : rgb_kernels::variants())
      if (v.supported) return v.fn;
    return rgb_kernels::FrameFn{};  // unreachable: the last variant runs everywhere
  }();
  return fn;
}

template <class T>
void reference_frame(const T* px, uint8_t* out) {
  for (int64_t c = 0; c < 3; ++c)
    for (int64_t i = 0; i < kPlane; ++i) {
      T v = px[c * kPlane + i] * T(255);
      v = v > T(0) ? v : T(0);  // NaN -> 0
      v = v < T(255) ? v : T(255);
      out[i * 3 + c] = static_cast<uint8_t>(static_cast<int32_t>(v));
    }
}

bool takes_fast_path(const Tensor& f) {
  return f.dtype == DType::f32 && f.writeable && f.shape == std::vector<int64_t>{3, FH, FW};
}

}  // namespace

RgbPool::RgbPool(int64_t n, std::string_view name) {
  workers_.reserve(static_cast<size_t>(std::max<int64_t>(n, 0)));
  for (int64_t i = 0; i < n; ++i) {
    const std::string tname = (std::string(name) + "_" + std::to_string(i)).substr(0, 15);
    try {
      std::thread t([this] { run(); });
      // Named from here, so the name is in place once the pool exists.
      pthread_setname_np(t.native_handle(), tname.c_str());
      workers_.push_back(std::move(t));
    } catch (...) {
      if (i == 0) throw;  // no worker at all: no pool
      break;
    }
  }
}

RgbPool::~RgbPool() {
  {
    std::lock_guard<std::mutex> g(m_);
    stop_ = true;
  }
  cv_.notify_all();
  for (std::thread& t : workers_) t.join();
}

void RgbPool::submit(std::function<void()> task) {
  {
    std::lock_guard<std::mutex> g(m_);
    q_.push_back(std::move(task));
  }
  cv_.notify_one();
}

void RgbPool::run() {
  for (;;) {
    std::function<void()> task;
    {
      std::unique_lock<std::mutex> l(m_);
      cv_.wait(l, [this] { return stop_ || !q_.empty(); });
      if (q_.empty()) return;  // stopping, nothing left to run
      task = std::move(q_.front());
      q_.pop_front();
    }
    task();  // never throws: chunk tasks keep their own exception
  }
}

void px_to_rgb888(const Tensor& px_chw, const ColorCorrect* cc, uint8_t* out) {
  if (px_chw.dtype != DType::f32 && px_chw.dtype != DType::f64)
    throw halvane::ValueError(msg::kPlanarDtype);
  if (px_chw.shape.size() != 3 || px_chw.shape[0] != 3)
    throw halvane::ValueError(msg::planar_shape(Tensor::shape_text(px_chw.shape)));
  if (px_chw.shape[1] * px_chw.shape[2] != kPlane)
    throw halvane::ValueError(Tensor::reshape_error(px_chw.size(), {FH, FW, 3}));
  if (px_chw.dtype == DType::f32) reference_frame(static_cast<const float*>(px_chw.data), out);
  else reference_frame(static_cast<const double*>(px_chw.data), out);
  if (cc) cc->apply(out, out, static_cast<size_t>(kPlane));
}

void rgb_convert_range(std::span<const Tensor> px, uint8_t* u8, int64_t lo, int64_t hi, const ColorCorrect* cc) {
  for (int64_t i = lo; i < hi; ++i) {
    const Tensor& f = px[static_cast<size_t>(i)];
    uint8_t* row = u8 + i * FRAME_BYTES;
    if (takes_fast_path(f)) fast_kernel()(f.f32(), row, cc ? cc->table().data() : nullptr);
    else px_to_rgb888(f, cc, row);
  }
}

std::shared_ptr<uint8_t[]> px_to_rgb888_chunk(std::span<const Tensor> px, const ColorCorrect* cc, int64_t threads,
                                              const RgbPoolSource& pool_source) {
  const auto n = static_cast<int64_t>(px.size());
  auto out = std::make_shared_for_overwrite<uint8_t[]>(static_cast<size_t>(std::max<int64_t>(n * FRAME_BYTES, 1)));
  px_to_rgb888_into(px, out.get(), cc, threads, pool_source);
  return out;
}

void px_to_rgb888_into(std::span<const Tensor> px, uint8_t* u8, const ColorCorrect* cc, int64_t threads,
                       const RgbPoolSource& pool_source) {
  const auto n = static_cast<int64_t>(px.size());
  const int64_t nt = std::min(n, std::max<int64_t>(1, threads));
  if (nt <= 1 || !pool_source) {
    rgb_convert_range(px, u8, 0, n, cc);
    return;
  }
  RgbPool& pool = pool_source(nt);
  const int64_t step = (n + nt - 1) / nt;
  const int64_t tasks = (n + step - 1) / step;

  struct Batch {
    std::mutex m;
    std::condition_variable cv;
    int64_t left;
    std::vector<std::exception_ptr> err;
  } batch;
  batch.left = tasks;
  batch.err.resize(static_cast<size_t>(tasks));

  // Tasks refer to this call's locals: whatever happens, return only after
  // every submitted task has finished.
  auto wait_all = [&batch] {
    std::unique_lock<std::mutex> l(batch.m);
    batch.cv.wait(l, [&batch] { return batch.left == 0; });
  };
  int64_t submitted = 0;
  try {
    for (int64_t k = 0; k < tasks; ++k) {
      const int64_t lo = k * step, hi = std::min(lo + step, n);
      pool.submit([&batch, px, u8, lo, hi, cc, k] {
        try {
          rgb_convert_range(px, u8, lo, hi, cc);
        } catch (...) {
          batch.err[static_cast<size_t>(k)] = std::current_exception();
        }
        // Notify under the lock: the waiter may destroy `batch` as soon as it
        // sees left == 0.
        std::lock_guard<std::mutex> g(batch.m);
        if (--batch.left == 0) batch.cv.notify_all();
      });
      ++submitted;
    }
  } catch (...) {
    {
      std::lock_guard<std::mutex> g(batch.m);
      batch.left -= tasks - submitted;
    }
    wait_all();
    throw;
  }
  wait_all();
  for (const auto& e : batch.err)
    if (e) std::rethrow_exception(e);
}

int64_t rgb_threads(std::optional<std::string_view> setting, const Logger& log) {
  const std::string_view text = halvane::strip_ascii(setting.value_or(""));
  if (!text.empty()) {
    int64_t v = 0;
    switch (halvane::parse_py_int(text, v)) {
      case halvane::IntParse::ok: return std::max<int64_t>(1, v);
      case halvane::IntParse::out_of_range: return text.front() == '-' ? 1 : INT64_MAX;
      case halvane::IntParse::invalid:
        if (log) log(msg::rgb_threads_not_int(RGB_THREADS_ENV, text));
        break;
    }
  }
  return std::max<int64_t>(1, std::min<int64_t>(8, effective_cpu_count() / 3));
}

}  // namespace halvane::zephan2
