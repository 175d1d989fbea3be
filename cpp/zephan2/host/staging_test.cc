// Staged files: held locked while listed, removed at once when their filling
// fails, and swept as leftovers only once no host holds them.
#include "zephan2/host/staging.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "common/errors.h"

namespace {

namespace fs = std::filesystem;

class Staging : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string t = (std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") + std::string("/z2sXXXXXX");
    ASSERT_NE(::mkdtemp(t.data()), nullptr);
    dir = t;
    ::setenv("ZEPHAN2_STAGE_DIR", dir.c_str(), 1);
  }
  void TearDown() override {
    halvane::zephan2::drop_staged();
    ::unsetenv("ZEPHAN2_STAGE_DIR");
    fs::remove_all(dir);
  }
  std::string touch(const std::string& name) {
    std::ofstream(dir + "/" + name) << "x";
    return dir + "/" + name;
  }
  std::string dir;
};

TEST_F(Staging, LeftoversOfDeadHostsAreSweptHeldOnesKept) {
  const std::string dead = touch("tessel-stage-AbC123_identity.tflite");
  const std::string held = touch("tessel-stage-XyZ789_combined_litert.tflite");
  const std::string other = touch("tmpabc123_identity.tflite");
  const int lock = ::open(held.c_str(), O_RDONLY);  // a live host's hold
  ASSERT_EQ(::flock(lock, LOCK_EX), 0);
  fs::create_symlink(other, dir + "/tessel-stage-link_x.tflite");

  const std::string staged = halvane::zephan2::stage_tflite("/no/bundle", "m/identity.tflite", [](int fd) {
    ASSERT_EQ(::write(fd, "abc", 3), 3);
  });
  EXPECT_EQ(fs::path(staged).parent_path(), fs::path(dir));
  EXPECT_TRUE(fs::path(staged).filename().string().ends_with("_identity.tflite"));
  EXPECT_FALSE(fs::exists(dead));
  EXPECT_TRUE(fs::exists(held));
  EXPECT_TRUE(fs::exists(other));
  EXPECT_TRUE(fs::is_symlink(dir + "/tessel-stage-link_x.tflite"));

  // Our own listed file survives another host's sweep; once released it is gone.
  halvane::zephan2::sweep_stage_leftovers(dir);
  EXPECT_TRUE(fs::exists(staged));
  EXPECT_EQ(halvane::zephan2::staged_files(), std::vector<std::string>{staged});
  halvane::zephan2::release_staged({staged});
  EXPECT_FALSE(fs::exists(staged));
  EXPECT_TRUE(halvane::zephan2::staged_files().empty());
  ::close(lock);
  halvane::zephan2::sweep_stage_leftovers(dir);
  EXPECT_FALSE(fs::exists(held));
}

TEST_F(Staging, AFailedFillLeavesNothingBehind) {
  EXPECT_THROW(halvane::zephan2::stage_tflite("/no/bundle", "identity.tflite", [](int) { throw halvane::OSError(ENOSPC); }),
               halvane::OSError);
  EXPECT_THROW(halvane::zephan2::stage_tflite("/no/bundle", "identity.tflite", [](int) { throw halvane::ValueError("bad member"); }),
               halvane::ValueError);
  EXPECT_TRUE(fs::is_empty(dir));
  EXPECT_TRUE(halvane::zephan2::staged_files().empty());
}

}  // namespace
