// What the Python tests cannot reach: which way the module's helpers go for
// each kind of input, with what they asked on the way.
#include "avatar/pcm.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using halvane::avatar::i16_to_f32_way;
using halvane::avatar::resample_way;
using halvane::avatar::Resample;
using halvane::avatar::ToFloat;

// Answers from fixed facts and notes each question in order.
struct Asked {
  std::string asked;
  bool note(char c, bool v) {
    asked += c;
    return v;
  }
};

// n(darray) i(nt16) p(lain)
struct ToFloatProbe : Asked {
  bool nd, i16, pl;
  bool ndarray() { return note('n', nd); }
  bool int16() { return note('i', i16); }
  bool plain() { return note('p', pl); }
};

TEST(I16ToF32Way, OnlyPlainInt16ArraysTakeTheLoop) {
  struct Row {
    const char* what;
    bool nd, i16, pl;
    ToFloat want;
    const char* asked;
  } rows[] = {
      {"plain int16 array", true, true, true, ToFloat::native, "nip"},
      {"strided or unaligned", true, true, false, ToFloat::library, "nip"},
      {"float64 array", true, false, true, ToFloat::library, "ni"},
      {"a list: never asked its type", false, true, true, ToFloat::library, "n"},
  };
  for (const Row& r : rows) {
    ToFloatProbe p;
    p.nd = r.nd, p.i16 = r.i16, p.pl = r.pl;
    EXPECT_EQ(i16_to_f32_way(p), r.want) << r.what;
    EXPECT_EQ(p.asked, r.asked) << r.what;
  }
}

// r(ates equal) s(ize 0) l(ength) 3(2) 6(4) n(darray) d(im 1)
struct ResampleProbe : Asked {
  bool same, none;
  int64_t len;
  bool f32, f64, nd, one;
  bool same_rates() { return note('r', same); }
  bool no_samples() { return note('s', none); }
  int64_t length() {
    asked += 'l';
    return len;
  }
  bool float32() { return note('3', f32); }
  bool float64() { return note('6', f64); }
  bool ndarray() { return note('n', nd); }
  bool one_dim() { return note('d', one); }
};

TEST(ResampleWay, EachKindOfInput) {
  struct Row {
    const char* what;
    bool same, none;
    int64_t len;
    bool f32, f64, nd, one;
    Resample want;
    const char* asked;
  } rows[] = {
      {"equal rates: size never read", true, false, 9, true, false, true, true, Resample::same, "r"},
      {"no samples", false, true, 0, true, false, true, true, Resample::same, "rs"},
      {"rounds to nothing", false, false, 0, true, false, true, true, Resample::empty, "rsl"},
      {"negative length", false, false, -3, true, false, true, true, Resample::empty, "rsl"},
      {"float32 1-D", false, false, 4, true, false, true, true, Resample::native_f32, "rsl36nd"},
      {"float64 1-D", false, false, 4, false, true, true, true, Resample::native_f64, "rsl36nd"},
      {"float32 2-D", false, false, 4, true, false, true, false, Resample::library, "rsl36nd"},
      {"int16: shape never asked", false, false, 4, false, false, true, true, Resample::library, "rsl36"},
      {"float duck, not an array", false, false, 4, false, true, false, true, Resample::library, "rsl36n"},
  };
  for (const Row& r : rows) {
    ResampleProbe p;
    p.same = r.same, p.none = r.none, p.len = r.len, p.f32 = r.f32, p.f64 = r.f64, p.nd = r.nd, p.one = r.one;
    EXPECT_EQ(resample_way(p), r.want) << r.what;
    EXPECT_EQ(p.asked, r.asked) << r.what;
  }
}

}  // namespace
