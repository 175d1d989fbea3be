// read_regular_file: what it reads and, above all, what it refuses without
// waiting (a FIFO with no writer) or reading without end (/dev/zero).
#include "common/file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "common/errors.h"

namespace {

namespace fs = std::filesystem;

class ReadRegularFile : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "fs_test_XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string path(const std::string& name) const { return (fs::path(dir_) / name).string(); }
  void write(const std::string& name, const std::string& data) const {
    std::ofstream(path(name), std::ios::binary) << data;
  }

  std::string dir_;
};

TEST_F(ReadRegularFile, ReadsWholeRegularFilesUpToTheLimit) {
  std::string big(200000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
  for (const std::string& data : {std::string(), std::string("{}"), big}) {
    write("f", data);
    EXPECT_EQ(halvane::read_regular_file(path("f"), data.size()), data) << data.size();
  }
  fs::create_symlink(path("f"), path("link"));
  EXPECT_EQ(halvane::read_regular_file(path("link"), big.size()), big);
}

TEST_F(ReadRegularFile, RefusesWhatIsNotARegularFileOfBoundedSize) {
  write("f", "12345");
  ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
  fs::create_symlink("/dev/zero", path("zero"));
  fs::create_directory(path("dir"));
  struct Case {
    std::string path;
    size_t max;
    std::optional<int> err;  // OSError errno, or ValueError when empty
    std::string message;
  };
  const Case cases[] = {
      {path("missing"), 100, ENOENT, "No such file or directory"},
      {path("dir"), 100, EISDIR, "Is a directory"},
      {path("f"), 4, EFBIG, "File too large"},
      {path("fifo"), 100, std::nullopt, "not a regular file: '" + path("fifo") + "'"},
      {path("zero"), 100, std::nullopt, "not a regular file: '" + path("zero") + "'"},
      {path("f") + std::string(1, '\0'), 100, std::nullopt, "embedded null byte"},
  };
  for (const Case& c : cases) {
    try {
      halvane::read_regular_file(c.path, c.max);
      ADD_FAILURE() << c.path << ": no error";
    } catch (const halvane::OSError& e) {
      EXPECT_EQ(std::optional<int>(e.err), c.err) << c.path;
      EXPECT_EQ(e.filename, c.path);
      EXPECT_EQ(e.what(), c.message);
    } catch (const halvane::ValueError& e) {
      EXPECT_EQ(c.err, std::nullopt) << c.path;
      EXPECT_EQ(e.what(), c.message);
    }
  }
}

}  // namespace
