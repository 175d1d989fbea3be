// Fitting pictures inside the output frame: placement, sampling, margins.
#include "avatar/fit.h"

#include <gtest/gtest.h>

#include "common/errors.h"

#include <string>
#include <vector>

namespace {

using namespace halvane::avatar;

TEST(Fit, SizesBelowOneAreRefused) {
  struct Row {
    int64_t w, h, out_w, out_h;
    bool ok;
  } rows[] = {
      {1, 1, 1, 1, true},    {640, 480, 1280, 720, true}, {0, 480, 1280, 720, false}, {640, 0, 1280, 720, false},
      {640, 480, 0, 720, false}, {640, 480, 1280, -1, false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(std::to_string(r.w) + "x" + std::to_string(r.h) + " in " + std::to_string(r.out_w) + "x" +
                 std::to_string(r.out_h));
    if (r.ok) EXPECT_NO_THROW(check_fit_sizes(r.w, r.h, r.out_w, r.out_h));
    else EXPECT_THROW(check_fit_sizes(r.w, r.h, r.out_w, r.out_h), halvane::ValueError);
  }
  try {
    check_fit_sizes(640, 0, 1280, 720);
    FAIL() << "no error";
  } catch (const halvane::ValueError& e) {
    EXPECT_STREQ(e.what(), "fit: sizes must be 1 or more, not a 640x0 picture in 1280x720");
  }
}

TEST(Fit, PlacementTable) {
  struct Case {
    int64_t sw, sh, ow, oh;
    Placement want;
  } cases[] = {
      // portrait into landscape: height limits, centred left to right
      {416, 720, 1280, 720, {432, 0, 416, 720}},
      {416, 720, 640, 360, {216, 0, 208, 360}},
      // landscape into portrait: width limits, centred top to bottom
      {1280, 720, 416, 720, {0, 243, 416, 234}},
      // landscape into a wider landscape, and into a narrower one
      {160, 96, 1280, 720, {40, 0, 1200, 720}},
      {160, 96, 100, 100, {0, 20, 100, 60}},
      // same aspect: fills the frame, up or down
      {160, 90, 1280, 720, {0, 0, 1280, 720}},
      {1280, 720, 16, 9, {0, 0, 16, 9}},
      {416, 720, 416, 720, {0, 0, 416, 720}},
      // odd sizes: the aspect rounded to the nearest pixel, the odd margin pixel right or below
      {3, 5, 10, 10, {2, 0, 6, 10}},    // 6 exactly
      {5, 3, 7, 7, {0, 1, 7, 4}},       // 4.2 -> 4, margins 1 and 2
      {7, 3, 5, 5, {0, 1, 5, 2}},       // 2.14 -> 2
      {2, 3, 4, 5, {0, 0, 3, 5}},       // 3.33 -> 3, margins 0 and 1
      {3, 2, 1001, 1001, {0, 167, 1001, 667}},  // 667.33 -> 667
      {1, 3, 4, 2, {1, 0, 1, 2}},       // 0.67 -> 1
      // extreme aspects never shrink a side below one pixel
      {1, 1000, 64, 2, {31, 0, 1, 2}},
      {1000, 1, 2, 64, {0, 31, 2, 1}},
      {1, 1, 1, 1, {0, 0, 1, 1}},
      // exact halves round up
      {4, 3, 6, 6, {0, 0, 6, 5}},       // 4.5 -> 5
  };
  for (const auto& c : cases) {
    EXPECT_EQ(fit_inside(c.sw, c.sh, c.ow, c.oh), c.want) << c.sw << "x" << c.sh << " in " << c.ow << "x" << c.oh;
  }
}

TEST(Fit, NearestIndicesSampleCentres) {
  struct Case {
    int64_t m, n;
    std::vector<int64_t> want;
  } cases[] = {
      {4, 4, {0, 1, 2, 3}},              // unscaled: itself
      {2, 4, {0, 0, 1, 1}},              // doubled
      {4, 2, {1, 3}},                    // halved: centres of the pairs
      {3, 2, {0, 2}},                    // symmetric, both ends kept
      {5, 3, {0, 2, 4}},
      {1, 3, {0, 0, 0}},
  };
  for (const auto& c : cases) {
    std::vector<int64_t> got(static_cast<size_t>(c.n));
    nearest_indices(c.m, c.n, got.data());
    EXPECT_EQ(got, c.want) << c.m << " -> " << c.n;
  }
}

// A w x h picture, every pixel (b, g, r) = (x, y, 7), rows `pad` bytes longer than needed.
std::vector<uint8_t> gradient(int64_t w, int64_t h, int64_t pad) {
  std::vector<uint8_t> pic(static_cast<size_t>(h * (w * 3 + pad)), 0xEE);
  for (int64_t y = 0; y < h; ++y)
    for (int64_t x = 0; x < w; ++x) {
      uint8_t* px = &pic[static_cast<size_t>(y * (w * 3 + pad) + x * 3)];
      px[0] = static_cast<uint8_t>(x);
      px[1] = static_cast<uint8_t>(y);
      px[2] = 7;
    }
  return pic;
}

TEST(Fit, PicturePlacedSampledAndMargined) {
  struct Case {
    int64_t w, h, ow, oh;
  } cases[] = {{4, 6, 9, 6}, {4, 6, 9, 3}, {6, 4, 6, 9}, {6, 4, 12, 9}, {5, 5, 5, 5}, {3, 7, 8, 8}};
  const std::array<uint8_t, 3> fill = {1, 2, 3};
  for (const auto& c : cases) {
    const int64_t pad = 5;
    const auto src = gradient(c.w, c.h, pad);
    std::vector<uint8_t> dst(static_cast<size_t>(c.ow * c.oh * 3), 0xAA);
    fit_picture(src.data(), c.w, c.h, c.w * 3 + pad, dst.data(), c.ow, c.oh, fill);
    const Placement p = fit_inside(c.w, c.h, c.ow, c.oh);
    std::vector<int64_t> rows(static_cast<size_t>(p.height)), cols(static_cast<size_t>(p.width));
    nearest_indices(c.h, p.height, rows.data());
    nearest_indices(c.w, p.width, cols.data());
    for (int64_t y = 0; y < c.oh; ++y)
      for (int64_t x = 0; x < c.ow; ++x) {
        const uint8_t* px = &dst[static_cast<size_t>((y * c.ow + x) * 3)];
        const bool inside = x >= p.x && x < p.x + p.width && y >= p.y && y < p.y + p.height;
        std::array<uint8_t, 3> want = fill;
        if (inside)
          want = {static_cast<uint8_t>(cols[static_cast<size_t>(x - p.x)]),
                  static_cast<uint8_t>(rows[static_cast<size_t>(y - p.y)]), 7};
        ASSERT_EQ((std::array<uint8_t, 3>{px[0], px[1], px[2]}), want)
            << c.w << "x" << c.h << " in " << c.ow << "x" << c.oh << " at " << x << "," << y;
      }
  }
}

TEST(Fit, BorderMedianIsTheBackground) {
  // A 6 x 4 blue picture (255, 0, 0) with a different centre and three
  // stray border pixels: the median of the 16 border pixels stays blue.
  const int64_t w = 6, h = 4, stride = w * 3;
  std::vector<uint8_t> pic(static_cast<size_t>(h * stride));
  for (int64_t i = 0; i < w * h; ++i) {
    pic[static_cast<size_t>(i * 3)] = 255;
    pic[static_cast<size_t>(i * 3 + 1)] = 0;
    pic[static_cast<size_t>(i * 3 + 2)] = 0;
  }
  auto paint = [&](int64_t x, int64_t y, uint8_t b, uint8_t g, uint8_t r) {
    uint8_t* px = &pic[static_cast<size_t>(y * stride + x * 3)];
    px[0] = b, px[1] = g, px[2] = r;
  };
  for (int64_t y = 1; y < 3; ++y)
    for (int64_t x = 1; x < 5; ++x) paint(x, y, 9, 9, 9);
  paint(0, 0, 255, 255, 255), paint(1, 0, 0, 0, 0), paint(5, 2, 0, 200, 0);
  EXPECT_EQ(border_median(pic.data(), w, h, stride), (std::array<uint8_t, 3>{255, 0, 0}));

  // Per channel, the lower median: border values 10, 20, 30, 40 give 20.
  const uint8_t two[] = {10, 10, 10, 20, 20, 20, 30, 30, 30, 40, 40, 40};
  EXPECT_EQ(border_median(two, 2, 2, 6), (std::array<uint8_t, 3>{20, 20, 20}));
  // One row, one column, one pixel: every pixel is border, each counted once.
  const uint8_t row[] = {1, 1, 1, 5, 5, 5, 5, 5, 5};
  EXPECT_EQ(border_median(row, 3, 1, 9), (std::array<uint8_t, 3>{5, 5, 5}));
  EXPECT_EQ(border_median(row, 1, 3, 3), (std::array<uint8_t, 3>{5, 5, 5}));
  EXPECT_EQ(border_median(row, 1, 1, 3), (std::array<uint8_t, 3>{1, 1, 1}));
}

}  // namespace
