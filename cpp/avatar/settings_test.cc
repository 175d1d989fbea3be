// The frame rate reported for each state of the model, with what was asked
// of it on the way; the output sizes a session may be made at.
#include "avatar/settings.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

using halvane::avatar::Fps;
using halvane::avatar::model_fps;
using halvane::avatar::OutputSize;

// l(oaded) r(ead) s(amples > 0) a(udio rate > 0) q(uotient > 0)
struct Model {
  bool loaded_, read_, spt, sr, quot;
  std::string asked;
  bool loaded() { return note('l', loaded_); }
  bool read() { return note('r', read_); }
  bool samples_positive() { return note('s', spt); }
  bool rate_positive() { return note('a', sr); }
  bool quotient_positive() { return note('q', quot); }
  bool note(char c, bool v) {
    asked += c;
    return v;
  }
};

TEST(ModelFps, EachStateOfTheModel) {
  struct Row {
    const char* what;
    bool loaded, read, spt, sr, quot;
    Fps want;
    const char* asked;
  } rows[] = {
      {"no model", false, true, true, true, true, Fps::fallback, "l"},
      {"numbers unreadable", true, false, true, true, true, Fps::fallback, "lr"},
      {"no samples per tick", true, true, false, true, true, Fps::fallback, "lrs"},
      {"no audio rate", true, true, true, false, true, Fps::fallback, "lrsa"},
      {"16000 / 640", true, true, true, true, true, Fps::quotient, "lrsaq"},
      {"a tick over a second: at least 1", true, true, true, true, false, Fps::one, "lrsaq"},
  };
  for (const Row& r : rows) {
    Model m{r.loaded, r.read, r.spt, r.sr, r.quot, {}};
    EXPECT_EQ(model_fps(m), r.want) << r.what;
    EXPECT_EQ(m.asked, r.asked) << r.what;
  }
}

struct Size {
  bool none_, pair_;
  std::optional<int64_t> sides[2];
  std::string asked;
  bool none() { return asked += 'n', none_; }
  bool pair() { return asked += 'p', pair_; }
  std::optional<int64_t> side(int i) { return asked += char('0' + i), sides[i]; }
};

TEST(OutputSize, NoneOrTwoWholeSidesUpToTheLimit) {
  const std::optional<int64_t> no;
  struct Row {
    const char* what;
    Size size;
    OutputSize want;
    const char* asked;
  } rows[] = {
      {"None", {true, false, {no, no}}, OutputSize::native, "n"},
      {"not two members", {false, false, {no, no}}, OutputSize::refused, "np"},
      {"1 x 1", {false, true, {1, 1}}, OutputSize::composed, "np01"},
      {"8192 x 8192", {false, true, {8192, 8192}}, OutputSize::composed, "np01"},
      {"a fraction wide", {false, true, {no, 720}}, OutputSize::refused, "np0"},
      {"no height", {false, true, {1280, 0}}, OutputSize::refused, "np01"},
      {"negative", {false, true, {-1280, 720}}, OutputSize::refused, "np0"},
      {"one past the limit", {false, true, {1280, 8193}}, OutputSize::refused, "np01"},
      {"100000 x 100000", {false, true, {100000, 100000}}, OutputSize::refused, "np0"},
  };
  for (Row& r : rows) {
    EXPECT_EQ(halvane::avatar::output_size(r.size), r.want) << r.what;
    EXPECT_EQ(r.size.asked, r.asked) << r.what;
  }
}

}  // namespace
