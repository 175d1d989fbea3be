// Fitting a picture inside a frame of another size: the picture is scaled,
// its aspect kept, to the largest size that fits, centred, and the margins
// around it are filled with one colour. Composed live sessions put every
// picture out this way, whatever size the engine renders at.
//
// Scaling is nearest neighbour, sampling each destination pixel's centre:
// destination index i of n over a source of m takes source index
// floor((2i + 1) m / 2n), so an unscaled axis maps to itself.
//
// The margin colour is the per-channel median of the picture's outermost
// rows and columns: for an avatar on a plain background, that background;
// a few stray border pixels (a frame counter, a logo) do not move it.
//
// Pure functions over plain numbers and raw BGR (or any 3-channel) uint8
// pointers; no Python. The pixel loops touch only the memory they are given,
// so they may run with the interpreter lock released.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace halvane::avatar {

// Where the scaled picture lies in the output frame: its top-left corner
// (x, y) and its size. The limiting side fills the frame exactly; the other
// is the source's aspect rounded to the nearest pixel (halves up), at least
// 1, centred with the odd pixel of margin going right or below.
struct Placement {
  int64_t x = 0, y = 0, width = 0, height = 0;
  bool operator==(const Placement&) const = default;
};
// The sizes of a fit: a `w` x `h` picture inside an `out_w` x `out_h` frame,
// each side 1 or more; a ValueError (common/errors.h) says which sizes were
// given otherwise.
void check_fit_sizes(int64_t w, int64_t h, int64_t out_w, int64_t out_h);

// All sizes must be 1 or more (check_fit_sizes).
Placement fit_inside(int64_t src_w, int64_t src_h, int64_t out_w, int64_t out_h);

// The nearest-neighbour source index of each of `n` destination positions
// over a source axis of `m` pixels, into `out[0..n)`.
void nearest_indices(int64_t m, int64_t n, int64_t* out);

// The per-channel median (the lower one for an even count) of the pixels of
// the outermost rows and columns of a `w` x `h` picture of 3 channels whose
// rows are `stride` bytes apart.
std::array<uint8_t, 3> border_median(const uint8_t* src, int64_t w, int64_t h, int64_t stride);

// `dst` (`out_w` x `out_h` x 3, contiguous) = `src` (`w` x `h` x 3, rows
// `stride` bytes apart) fitted inside it, the margins in `fill`.
void fit_picture(const uint8_t* src, int64_t w, int64_t h, int64_t stride, uint8_t* dst, int64_t out_w,
                 int64_t out_h, std::array<uint8_t, 3> fill);

}  // namespace halvane::avatar
