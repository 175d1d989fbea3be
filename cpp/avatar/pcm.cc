#include "avatar/pcm.h"

#include <cmath>

namespace halvane::avatar {

void i16_to_f32(const int16_t* in, size_t n, float* out, float int16_max) {
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<float>(in[i]) / int16_max;
}

void scale_down(float* data, size_t n, float int16_max) {
  for (size_t i = 0; i < n; ++i) data[i] /= int16_max;
}

template <class In, class Out>
void resample_linear(const In* in, size_t n, Out* out, size_t m) {
  if (n == 0 || m == 0) return;
  if (n == 1) {
    for (size_t i = 0; i < m; ++i) out[i] = static_cast<Out>(static_cast<double>(in[0]));
    return;
  }
  const double src_step = 1.0 / static_cast<double>(n);
  const double dst_step = 1.0 / static_cast<double>(m);
  const double last_x = static_cast<double>(n - 1) * src_step;
  const double last_y = static_cast<double>(in[n - 1]);
  // j: the last source point at or before x. The target points rise, so it
  // only moves forward.
  size_t j = 0;
  double xj = 0.0, xj1 = src_step;
  for (size_t i = 0; i < m; ++i) {
    const double x = static_cast<double>(i) * dst_step;
    if (x >= last_x) {
      out[i] = static_cast<Out>(last_y);
      continue;
    }
    while (xj1 <= x) {
      ++j;
      xj = xj1;
      xj1 = static_cast<double>(j + 1) * src_step;
    }
    const double yj = static_cast<double>(in[j]);
    double y;
    if (xj == x) {
      y = yj;
    } else {
      const double yj1 = static_cast<double>(in[j + 1]);
      const double slope = (yj1 - yj) / (xj1 - xj);
      y = slope * (x - xj) + yj;
      if (std::isnan(y)) {  // an infinite slope from one side: try the other
        y = slope * (x - xj1) + yj1;
        if (std::isnan(y) && yj == yj1) y = yj;
      }
    }
    out[i] = static_cast<Out>(y);
  }
}

template void resample_linear<float, float>(const float*, size_t, float*, size_t);
template void resample_linear<double, double>(const double*, size_t, double*, size_t);

}  // namespace halvane::avatar
