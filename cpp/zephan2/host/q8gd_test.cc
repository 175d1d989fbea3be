// The int8-variant selection under ASan + UBSan: the streamed hash across
// block boundaries, the guard's handling of the runtime hook's exceptions, and
// deeply nested manifest values. The report texts: tests/test_q8gd.py.
#include "zephan2/host/q8gd.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <new>
#include <string>

#include "common/errors.h"

namespace {

namespace fs = std::filesystem;

const std::string kServing = " — serving combined_litert.tflite";

class Q8gd : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "q8gd_test_XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
    ::unsetenv("ZEPHAN2_Q8GD");
    write("cpuinfo", "flags\t: avx_vnni\n");
    write("combined_litert_q8gd.tflite", "variant");
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string path(const std::string& name) const { return (fs::path(dir_) / name).string(); }
  void write(const std::string& name, const std::string& data) const {
    std::ofstream(path(name), std::ios::binary) << data;
  }
  // A manifest binding the variant, with `cut` as the recorded base digest.
  void bind(const std::string& cut = "\"b\"") const {
    const std::string sha = "\"" + z2::file_sha256(path("combined_litert_q8gd.tflite")) + "\"";
    write("manifest.json", R"({"members_sha256": {"combined_litert_q8gd.tflite": )" + sha +
                               R"(, "combined_litert.tflite": "b"}, "litert_q8gd": {"sha256": )" + sha +
                               R"(, "base_member": "combined_litert.tflite", "base_sha256": )" + cut + "}}");
  }
  z2::Q8gdChoice select(const z2::RuntimeVersionFn& hook) const {
    return z2::select_q8gd(dir_, hook, path("cpuinfo"));
  }

  std::string dir_;
};

std::string one_shot_sha256(const std::string& data) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned len = 0;
  EXPECT_EQ(EVP_Digest(data.data(), data.size(), md, &len, EVP_sha256(), nullptr), 1);
  std::string hex;
  for (unsigned i = 0; i < len; ++i) {
    static const char* d = "0123456789abcdef";
    hex += d[md[i] >> 4];
    hex += d[md[i] & 15];
  }
  return hex;
}

TEST_F(Q8gd, FileSha256AgreesWithOneShotDigestAcrossBlocks) {
  constexpr size_t kBlock = 4194304;
  for (size_t size : {size_t{0}, size_t{1}, kBlock - 1, kBlock, kBlock + 1, 2 * kBlock + 12345}) {
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 2654435761u) >> 13);
    write("blob", data);
    EXPECT_EQ(z2::file_sha256(path("blob")), one_shot_sha256(data)) << size;
  }
  try {
    z2::file_sha256(path("missing"));
    FAIL() << "no error";
  } catch (const halvane::OSError& e) {
    EXPECT_EQ(e.err, ENOENT);
    EXPECT_EQ(e.filename, path("missing"));
  }
}

TEST_F(Q8gd, HookIsAskedWithoutGateAndItsErrorsEndInFallback) {
  bind();
  int calls = 0;
  const z2::Q8gdChoice ok = select([&] {
    ++calls;
    return std::optional<std::string>();
  });
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(ok.path, path("combined_litert_q8gd.tflite"));

  const z2::Q8gdChoice failed = select([]() -> std::optional<std::string> { throw std::runtime_error("boom"); });
  EXPECT_EQ(failed.path, std::nullopt);
  EXPECT_EQ(failed.report, "[q8gd] FALLBACK: RuntimeError: boom" + kServing);
  EXPECT_EQ(select([]() -> std::optional<std::string> { throw std::bad_alloc(); }).report,
            "[q8gd] FALLBACK: MemoryError: " + kServing);
}

TEST_F(Q8gd, NonStandardExceptionsPassTheGuard) {
  bind();
  struct Interrupt {};
  EXPECT_THROW(select([]() -> std::optional<std::string> { throw Interrupt{}; }), Interrupt);
}

TEST_F(Q8gd, DeeplyNestedValuesAreRefusedNotRecursedInto) {
  bind(std::string(100000, '[') + std::string(100000, ']'));
  EXPECT_EQ(select({}).report, "[q8gd] FALLBACK: RecursionError: maximum recursion depth exceeded" + kServing);
}

}  // namespace
