// The compute core takes its settings and its logger from its caller: the
// environment variables that the program reads for it are set here to values
// that would change every answer, and standard error is watched, so a core
// that read the environment or wrote a line itself fails these tests.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "common/errors.h"
#include "zephan2/inference/cpu_budget.h"
#include "zephan2/inference/rgb888.h"

namespace {

// Everything written to file descriptor 2 while `f` runs.
template <class F>
std::string stderr_of(F&& f) {
  std::FILE* tmp = std::tmpfile();
  const int saved = ::dup(2);
  ::dup2(::fileno(tmp), 2);
  try {
    f();
  } catch (...) {
    ::dup2(saved, 2);
    ::close(saved);
    std::fclose(tmp);
    throw;
  }
  ::dup2(saved, 2);
  ::close(saved);
  std::string out;
  std::rewind(tmp);
  for (int c; (c = std::fgetc(tmp)) != EOF;) out += static_cast<char>(c);
  std::fclose(tmp);
  return out;
}

class CoreSettings : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("ZEPHAN2_RGB_THREADS", "13", 1);  // above any default (<= 8)
    ::setenv("LIBSTREAM_THREADS", "not a number", 1);
  }
  void TearDown() override {
    ::unsetenv("ZEPHAN2_RGB_THREADS");
    ::unsetenv("LIBSTREAM_THREADS");
  }
};

TEST_F(CoreSettings, RgbThreadsFromTheGivenTextReportedToTheGivenLogger) {
  const int64_t fallback = std::max<int64_t>(1, std::min<int64_t>(8, halvane::zephan2::effective_cpu_count() / 3));
  struct Case {
    std::optional<std::string> setting;
    int64_t want;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {std::nullopt, fallback, {}},
      {"", fallback, {}},
      {" 12 ", 12, {}},
      {"-3", 1, {}},
      {"99999999999999999999", INT64_MAX, {}},
      {" it's\t", fallback, {"ZEPHAN2_RGB_THREADS=\"it's\" is not an integer — using the default"}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> lines;
    int64_t got = 0;
    const std::string err = stderr_of([&] {
      got = halvane::zephan2::rgb_threads(c.setting, [&](std::string_view l) { lines.emplace_back(l); });
    });
    EXPECT_EQ(got, c.want) << c.setting.value_or("<unset>");
    EXPECT_EQ(lines, c.lines) << c.setting.value_or("<unset>");
    EXPECT_EQ(err, "") << c.setting.value_or("<unset>");
  }
  // Without a logger the report is dropped, not written anywhere.
  int64_t got = 0;
  EXPECT_EQ(stderr_of([&] { got = halvane::zephan2::rgb_threads("abc", {}); }), "");
  EXPECT_EQ(got, fallback);
}

TEST_F(CoreSettings, DefaultThreadsFromTheGivenText) {
  const int64_t cpus = halvane::zephan2::effective_cpu_count();
  EXPECT_EQ(halvane::zephan2::default_threads(1, 0, std::nullopt), std::min<int64_t>(cpus, 24));
  EXPECT_EQ(halvane::zephan2::default_threads(1, 0, " 6 "), 6);
  EXPECT_EQ(halvane::zephan2::default_threads(1, 0, "-2"), std::min<int64_t>(cpus, 24));
  EXPECT_EQ(halvane::zephan2::default_threads(1, 40, "junk"), 40);  // a request wins; the text is never parsed
  EXPECT_EQ(halvane::zephan2::default_threads(2, 0, "6"), std::min<int64_t>(6, std::max<int64_t>(1, cpus / 2)));
  EXPECT_THROW(halvane::zephan2::default_threads(1, 0, "junk"), halvane::ValueError);
}

}  // namespace
