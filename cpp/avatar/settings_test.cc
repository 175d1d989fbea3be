// The frame rate reported for each state of the model, with what was asked
// of it on the way; the output sizes a session may be made at.
#include "avatar/settings.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>

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
  bool none() const { return none_; }
  bool pair() const { return pair_; }
  std::optional<int64_t> side(int i) const { return sides[i]; }
};

TEST(OutputSize, NoneOrTwoWholeSidesUpToTheLimit) {
  const std::optional<int64_t> no;
  const std::pair<Size, OutputSize> rows[] = {
      {{true, false, {no, no}}, OutputSize::native},    {{false, false, {no, no}}, OutputSize::refused},
      {{false, true, {1, 8192}}, OutputSize::composed}, {{false, true, {no, 720}}, OutputSize::refused},
      {{false, true, {0, 720}}, OutputSize::refused},   {{false, true, {1280, 8193}}, OutputSize::refused},
  };
  for (size_t i = 0; i < std::size(rows); ++i)
    EXPECT_EQ(halvane::avatar::output_size(rows[i].first), rows[i].second) << "row " << i;
}

}  // namespace
