// SHA-256 and hex against published vectors; a file hashed in blocks equals
// the hash of its bytes in one piece.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "common/sha256.h"
#include "common/text.h"

namespace {

TEST(Sha256, KnownVectorsAndFilesInBlocks) {
  EXPECT_EQ(halvane::sha256_hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(halvane::sha256_hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  std::string big;
  for (int i = 0; i < (9 << 20) / 7; ++i) big += "halvane";  // spans three 4 MiB reads
  std::string path = (std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") + std::string("/shaXXXXXX");
  const int fd = ::mkstemp(path.data());
  ASSERT_GE(fd, 0);
  ::close(fd);
  std::ofstream(path, std::ios::binary) << big;
  EXPECT_EQ(halvane::file_sha256(path), halvane::sha256_hex(big));
  ::unlink(path.c_str());
  EXPECT_EQ(halvane::hex_lower(std::string("\x00\x7f\x80\xff", 4)), "007f80ff");
}

}  // namespace
