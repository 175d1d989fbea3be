// Bundles under ASan + UBSan: hostile IMX tables and ZIP members are refused
// or clipped without a declared size ever deciding an allocation; only regular
// files are directory members. Form selection and lookup through the Python
// API: tests/test_containers.py.
#include "bundle/bundle.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "bundle/imx.h"
#include "common/errors.h"
#include "common/file.h"

namespace {

using halvane::Bundle;
using halvane::ImxEntry;

void put(std::string& s, uint64_t v, int n) {
  for (int i = 0; i < n; ++i) s += static_cast<char>(v >> (8 * i) & 0xFF);
}

void set(std::string& s, size_t at, uint64_t v, int n) {
  for (int i = 0; i < n; ++i) s[at + i] = static_cast<char>(v >> (8 * i) & 0xFF);
}

std::string imx(const std::vector<ImxEntry>& t, uint16_t count, uint16_t b45 = 0) {
  std::string s("IMX\0", 4);
  put(s, b45, 2);
  put(s, count, 2);
  for (const ImxEntry& e : t) {
    put(s, e.nm.size(), 2);
    s += e.nm;
    put(s, e.off, 8);
    put(s, e.size, 8);
  }
  return s;
}
std::string imx(const std::vector<ImxEntry>& t) { return imx(t, static_cast<uint16_t>(t.size())); }

bool same(const std::vector<ImxEntry>& a, const std::vector<ImxEntry>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (a[i].nm != b[i].nm || a[i].off != b[i].off || a[i].size != b[i].size) return false;
  return true;
}

TEST(ImxTable, EveryPrefixIsNotImxTruncatedOrWhole) {
  const std::vector<ImxEntry> t = {{"a/canon.bin", 0x0102030405060708u, 0xF0E0D0C0B0A09080u}, {"é€𝄞", 3, 0}};
  const std::string whole = imx(t, 2, 0xBEEF) + "trailing data";
  const size_t table_end = 8 + 2 * 18 + 11 + 9;
  for (size_t n = 0; n <= whole.size(); ++n) {
    std::string_view cut(whole.data(), n);
    if (n < 8) {
      EXPECT_FALSE(halvane::imx_toc_from(cut)) << n;
    } else if (n < table_end) {
      EXPECT_THROW(halvane::imx_toc_from(cut), halvane::ValueError) << n;
    } else {
      auto got = halvane::imx_toc_from(cut);
      ASSERT_TRUE(got) << n;
      EXPECT_TRUE(same(*got, t)) << n;
    }
  }
  EXPECT_FALSE(halvane::imx_toc_from(std::string_view("IMY\0\0\0\0\0", 8)));
  auto empty = halvane::imx_toc_from(std::string_view("IMX\0\xff\xff\0\0", 8));
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->empty());
}

TEST(ImxTable, DeclaredLengthsLargerThanTheFileAreRefused) {
  std::string long_name("IMX\0\0\0\1\0\xff\xff", 10);  // nl 65535 in a 12-byte file
  long_name += "ab";
  EXPECT_THROW(halvane::imx_toc_from(long_name), halvane::ValueError);
  std::string many = imx({{"x", 0, 0}}, 65535);
  EXPECT_THROW(halvane::imx_toc_from(many), halvane::ValueError);

  // A full table of 65535 entries is valid: count is 16 bits, not signed.
  std::vector<ImxEntry> full(65535, ImxEntry{"", 0, 0});
  full.back().nm = "last";
  auto got = halvane::imx_toc_from(imx(full));
  ASSERT_TRUE(got);
  ASSERT_EQ(got->size(), 65535u);
  EXPECT_EQ(got->back().nm, "last");
}

TEST(ImxTable, NamesMustBeStrictUtf8) {
  for (std::string bad : {"\xc0\x80", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xe2\x82", "\x80", "a\xff", "\xf8\x88\x80\x80\x80"})
    EXPECT_THROW(halvane::imx_toc_from(imx({{bad, 0, 0}})), halvane::ValueError) << bad;
  for (std::string good : {std::string("\0nul", 4), std::string("\xed\x9f\xbf"), std::string("\xf4\x8f\xbf\xbf")})
    EXPECT_TRUE(halvane::imx_toc_from(imx({{good, 0, 0}})));
}

TEST(ImxRange, ClipsToTheFileAndRefusesUnreachablePositions) {
  constexpr uint64_t top = uint64_t{1} << 63;
  using R = std::vector<uint64_t>;
  auto range = [](uint64_t off, uint64_t size, uint64_t fs) {
    halvane::ByteRange r = halvane::imx_member_range(ImxEntry{"m", off, size}, fs);
    return R{r.begin, r.end};
  };
  EXPECT_EQ(range(10, 5, 100), (R{10, 15}));
  EXPECT_EQ(range(90, 50, 100), (R{90, 100}));
  EXPECT_EQ(range(500, 50, 100), (R{100, 100}));
  EXPECT_EQ(range(top - 1, top - 1, 100), (R{100, 100}));
  EXPECT_EQ(range(0, top - 1, 100), (R{0, 100}));
  for (auto [off, size] : {std::pair(top, uint64_t{0}), std::pair(uint64_t{0}, top), std::pair(~uint64_t{0}, ~uint64_t{0})})
    EXPECT_THROW(halvane::imx_member_range(ImxEntry{"m", off, size}, 100), halvane::ValueError);
}

TEST(ImxRange, FirstMemberCutShortByTheEndOfTheFile) {
  constexpr uint64_t top = uint64_t{1} << 63;
  const struct {
    std::vector<ImxEntry> toc;
    uint64_t file_size;
    std::optional<size_t> want;
  } rows[] = {
      {{}, 0, std::nullopt},
      {{{"a", 10, 5}, {"b", 15, 85}}, 100, std::nullopt},  // the last byte is the file's last
      {{{"a", 10, 5}, {"b", 15, 86}}, 100, 1},             // one byte short
      {{{"a", 10, 5}, {"b", 200, 0}}, 100, 1},             // empty, but placed past the end
      {{{"a", 100, 0}}, 100, std::nullopt},                // empty, right at the end
      {{{"a", 0, 200}, {"b", 0, 300}}, 100, 0},            // the first of several
      {{{"a", top, 0}}, 100, 0},
      {{{"a", 0, top}}, ~uint64_t{0}, 0},
      {{{"a", top - 1, top - 1}}, ~uint64_t{0}, std::nullopt},
  };
  for (size_t i = 0; i < std::size(rows); ++i)
    EXPECT_EQ(halvane::imx_first_cut(rows[i].toc, rows[i].file_size), rows[i].want) << "row " << i;
}

TEST(ImxRange, OverlappingRanges) {
  using R = halvane::ByteRange;
  using P = std::pair<size_t, size_t>;
  const struct {
    std::vector<R> ranges;
    std::optional<P> want;
  } rows[] = {
      {{}, std::nullopt},
      {{{0, 10}, {10, 20}, {20, 20}, {30, 40}}, std::nullopt},  // touching is not sharing
      {{{0, 10}, {0, 10}}, P{0, 1}},                            // the same bytes twice
      {{{30, 40}, {0, 10}, {35, 36}}, P{0, 2}},                 // inside another, found whatever the order
      {{{0, 100}, {50, 60}, {70, 80}}, P{0, 1}},
      {{{5, 5}, {0, 10}, {5, 5}}, std::nullopt},                // empty ranges share nothing
      {{{0, 10}, {20, 30}, {9, 21}}, P{0, 2}},                  // one byte with each neighbour
      {{{0, 10}, {10, 20}, {19, 25}}, P{1, 2}},
  };
  for (size_t i = 0; i < std::size(rows); ++i)
    EXPECT_EQ(halvane::first_overlap(rows[i].ranges), rows[i].want) << "row " << i;
}

class TempDir : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string t = (std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") + std::string("/z2cXXXXXX");
    ASSERT_NE(::mkdtemp(t.data()), nullptr);
    dir = t;
  }
  void TearDown() override { std::system(("rm -rf '" + dir + "'").c_str()); }
  std::string write(const std::string& name, const std::string& bytes) {
    std::string p = dir + "/" + name;
    std::ofstream(p, std::ios::binary) << bytes;
    return p;
  }
  std::string dir;
};

using ImxFile = TempDir;

TEST_F(ImxFile, MembersOverlapClipAndFailOnlyWhenRead) {
  // Data sits inside the table region too: ranges are taken as they come.
  std::string body = imx({{"all", 0, 1u << 20}, {"head", 0, 4}, {"past", 1u << 20, 8},
                          {"x/canon.bin", 8, 3}, {"huge", uint64_t{1} << 63, 1}, {"y/canon.bin", 2, 2}});
  const Bundle b(write("b.imx", body));
  ASSERT_EQ(b.form(), Bundle::Form::imx);
  EXPECT_EQ(b.read("all"), body);
  EXPECT_EQ(b.size("all"), body.size());
  EXPECT_EQ(b.read("head"), std::string("IMX\0", 4));
  EXPECT_EQ(b.read("past"), "");
  EXPECT_EQ(b.read("canon.bin"), body.substr(2, 2));  // last duplicate wins
  EXPECT_THROW(b.read("huge"), halvane::ValueError);
  EXPECT_FALSE(b.has("x/canon.bin"));
  EXPECT_THROW(b.read("x/canon.bin"), halvane::ValueError);
  EXPECT_THROW(b.read("all", body.size() - 1), halvane::ValueError);
  EXPECT_EQ(b.first_of({"nope", "head", "all"}), "head");
  EXPECT_EQ(b.listing(), (std::vector<std::string>{"all", "head", "past", "canon.bin", "huge", "canon.bin"}));
}

TEST_F(ImxFile, TablesSpanningManyReads) {
  std::vector<ImxEntry> t;
  for (uint64_t i = 0; i < 5000; ++i) t.push_back({"dir/member" + std::to_string(i), i, 3 * i});
  const std::string body = imx(t);  // about 150 KB: the file reader refills its buffer
  auto got = halvane::imx_toc(halvane::File(write("big.imx", body)), "");
  ASSERT_TRUE(got);
  EXPECT_TRUE(same(*got, t));
  for (size_t cut : {size_t{65536}, body.size() - 1})
    EXPECT_THROW(Bundle(write("cut.imx", body.substr(0, cut))), halvane::ValueError) << cut;
}

TEST_F(ImxFile, FileErrorsAndDamagedTables) {
  try {
    halvane::File f(dir + "/missing");
    FAIL();
  } catch (const halvane::OSError& e) {
    EXPECT_EQ(e.err, ENOENT);
    EXPECT_EQ(e.filename, dir + "/missing");
  }
  const Bundle missing(dir + "/missing");
  EXPECT_EQ(missing.form(), Bundle::Form::none);
  EXPECT_FALSE(missing.has("a"));
  EXPECT_TRUE(missing.listing().empty());
  EXPECT_THROW(Bundle(write("d.imx", imx({{"a", 0, 1}}, 2))), halvane::ValueError);
}

using DirBundle = TempDir;

// Only regular files are members: a FIFO would block a reader for good and a
// device could feed it without end; neither is ever opened for reading.
TEST_F(DirBundle, OnlyRegularFilesAreMembers) {
  write("canon.bin", "abc");
  ASSERT_EQ(::mkfifo((dir + "/manifest.json").c_str(), 0600), 0);
  ASSERT_EQ(::symlink("/dev/zero", (dir + "/color.json").c_str()), 0);
  ASSERT_EQ(::mkdir((dir + "/identity.tflite").c_str(), 0700), 0);
  ASSERT_EQ(::symlink((dir + "/canon.bin").c_str(), (dir + "/canon.f32").c_str()), 0);
  const Bundle b(dir);
  ASSERT_EQ(b.form(), Bundle::Form::dir);
  for (const char* name : {"manifest.json", "color.json", "identity.tflite", "nothing"}) {
    EXPECT_FALSE(b.has(name)) << name;
    EXPECT_FALSE(b.file_of(name)) << name;
    EXPECT_THROW(b.read(name), halvane::ValueError) << name;
  }
  EXPECT_EQ(b.read("canon.f32"), "abc");  // links to regular files are followed
  EXPECT_EQ(b.file_of("canon.bin"), dir + "/canon.bin");
  EXPECT_EQ(b.listing().size(), 5u);
  // A FIFO opened as a file is refused at once, never waited on.
  EXPECT_THROW(halvane::File(dir + "/manifest.json"), halvane::ValueError);
}


// ---- ZIP ----

uint32_t crc32(const std::string& s) {
  uint32_t c = 0xFFFFFFFFu;
  for (unsigned char b : s) {
    c ^= b;
    for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
  }
  return ~c;
}

struct Stored {
  std::string name, data;
  uint64_t declared;  // uncompressed size written in the headers
};

// A stored-only archive written field by field; with zip64 every size and
// offset lives in the zip64 extra fields and end records.
std::string stored_zip(const std::vector<Stored>& ms, bool zip64) {
  const uint32_t m32 = 0xFFFFFFFFu;
  std::string z, cd;
  for (const Stored& m : ms) {
    const uint64_t at = z.size();
    put(z, 0x04034b50, 4);
    put(z, zip64 ? 45 : 20, 2);
    put(z, 0, 2), put(z, 0, 2), put(z, 0, 2), put(z, 0x21, 2);
    put(z, crc32(m.data), 4);
    put(z, zip64 ? m32 : m.data.size(), 4);
    put(z, zip64 ? m32 : m.declared, 4);
    put(z, m.name.size(), 2), put(z, zip64 ? 20 : 0, 2);
    z += m.name;
    if (zip64) put(z, 1, 2), put(z, 16, 2), put(z, m.declared, 8), put(z, m.data.size(), 8);
    z += m.data;

    put(cd, 0x02014b50, 4);
    put(cd, 45, 2), put(cd, zip64 ? 45 : 20, 2);
    put(cd, 0, 2), put(cd, 0, 2), put(cd, 0, 2), put(cd, 0x21, 2);
    put(cd, crc32(m.data), 4);
    put(cd, zip64 ? m32 : m.data.size(), 4);
    put(cd, zip64 ? m32 : m.declared, 4);
    put(cd, m.name.size(), 2), put(cd, zip64 ? 28 : 0, 2), put(cd, 0, 2);
    put(cd, 0, 2), put(cd, 0, 2), put(cd, 0, 4);
    put(cd, zip64 ? m32 : at, 4);
    cd += m.name;
    if (zip64) put(cd, 1, 2), put(cd, 24, 2), put(cd, m.declared, 8), put(cd, m.data.size(), 8), put(cd, at, 8);
  }
  const uint64_t cd_at = z.size();
  z += cd;
  if (zip64) {
    const uint64_t rec_at = z.size();
    put(z, 0x06064b50, 4), put(z, 44, 8), put(z, 45, 2), put(z, 45, 2), put(z, 0, 4), put(z, 0, 4);
    put(z, ms.size(), 8), put(z, ms.size(), 8), put(z, cd.size(), 8), put(z, cd_at, 8);
    put(z, 0x07064b50, 4), put(z, 0, 4), put(z, rec_at, 8), put(z, 1, 4);
  }
  put(z, 0x06054b50, 4), put(z, 0, 2), put(z, 0, 2);
  put(z, zip64 ? 0xFFFF : ms.size(), 2), put(z, zip64 ? 0xFFFF : ms.size(), 2);
  put(z, zip64 ? m32 : cd.size(), 4), put(z, zip64 ? m32 : cd_at, 4), put(z, 0, 2);
  return z;
}

// A one-member deflated archive written by libzip into memory.
std::string deflated_zip(const std::string& name, const std::string& data) {
  zip_error_t err;
  zip_error_init(&err);
  zip_source_t* out = zip_source_buffer_create(nullptr, 0, 0, &err);
  zip_source_keep(out);
  zip_t* za = zip_open_from_source(out, ZIP_TRUNCATE, &err);
  zip_source_t* in = zip_source_buffer(za, data.data(), data.size(), 0);
  zip_int64_t idx = zip_file_add(za, name.c_str(), in, ZIP_FL_ENC_UTF_8);
  zip_set_file_compression(za, static_cast<zip_uint64_t>(idx), ZIP_CM_DEFLATE, 9);
  EXPECT_EQ(zip_close(za), 0);
  zip_stat_t st;
  zip_source_stat(out, &st);
  std::string z(st.size, '\0');
  zip_source_open(out);
  EXPECT_EQ(zip_source_read(out, z.data(), z.size()), static_cast<zip_int64_t>(z.size()));
  zip_source_close(out);
  zip_source_free(out);
  zip_error_fini(&err);
  return z;
}

// Overwrites a 32-bit field of the single entry in both its local and its
// central header (offsets of the crc: 14/16, uncompressed size: 22/24).
void patch(std::string& z, size_t local_at, size_t central_at, uint32_t v) {
  set(z, local_at, v, 4);
  set(z, z.rfind(std::string("PK\1\2", 4)) + central_at, v, 4);
}

TEST(ZipMember, StoredDeflatedAndZip64Read) {
  const std::string big(300000, 'q');
  for (bool zip64 : {false, true}) {
    std::string z = stored_zip({{"a/canon.bin", "first", 5}, {"b/canon.bin", big, big.size()}, {"", "", 0}}, zip64);
    EXPECT_EQ(halvane::zip_member_from(z, "canon.bin"), big) << zip64;
    EXPECT_EQ(halvane::zip_member_from(z, ""), "") << zip64;
    EXPECT_FALSE(halvane::zip_member_from(z, "canon.f32")) << zip64;
  }
  std::string payload;
  for (int i = 0; i < 200000; ++i) payload += static_cast<char>(i * 7 % 251);
  EXPECT_EQ(halvane::zip_member_from(deflated_zip("m/identity.tflite", payload), "identity.tflite"), payload);
  EXPECT_EQ(halvane::zip_member_from(deflated_zip("e", ""), "e"), "");
}

TEST(ZipMember, NotAnArchiveOrDamaged) {
  for (std::string junk : {std::string(), std::string("IMX\0", 4), std::string(100, 'x')})
    EXPECT_THROW(halvane::zip_member_from(junk, "a"), halvane::ValueError);
  std::string z = stored_zip({{"a", "abc", 3}}, false);
  z[z.size() - 3] = 0x7F;  // central directory offset far beyond the archive
  EXPECT_THROW(halvane::zip_member_from(z, "a"), halvane::ValueError);
}

TEST(ZipMember, IntegrityFailuresRaise) {
  // Stored: a flipped data byte, a size declared too small or too large.
  std::string z = stored_zip({{"a", "abcdef", 6}}, false);
  z[30 + 1 + 2] ^= 0x20;
  EXPECT_THROW(halvane::zip_member_from(z, "a"), halvane::ValueError);
  for (bool zip64 : {false, true}) {
    EXPECT_THROW(halvane::zip_member_from(stored_zip({{"a", "abcdef", 5}}, zip64), "a"), halvane::ValueError);
    EXPECT_THROW(halvane::zip_member_from(stored_zip({{"a", "abcdef", 7}}, zip64), "a"), halvane::ValueError);
  }
  // A huge declared size with little data: refused at the end of the data,
  // never allocated up front (ASan would abort on such a request).
  EXPECT_THROW(halvane::zip_member_from(stored_zip({{"a", "abcdef", uint64_t{1} << 62}}, true), "a"),
               halvane::ValueError);

  // Deflated: wrong CRC, data inflating to far more or less than declared.
  const std::string zeros(8u << 20, '\0');
  const std::string good = deflated_zip("a", zeros);
  ASSERT_LT(good.size(), 64u << 10);
  std::string bad_crc = good, small = good, large = good;
  patch(bad_crc, 14, 16, crc32(zeros) ^ 1);
  patch(small, 22, 24, 10);
  patch(large, 22, 24, (9u << 20));
  for (const std::string& bad : {bad_crc, small, large})
    EXPECT_THROW(halvane::zip_member_from(bad, "a"), halvane::ValueError);
  EXPECT_EQ(halvane::zip_member_from(good, "a"), zeros);
}

// A large member of a small archive, or one an IMX table declares, streams in
// bounded blocks: peak memory does not follow the member's size.
TEST_F(DirBundle, HugeMembersStreamInBoundedBlocks) {
  const uint64_t gib = uint64_t{256} << 20;
  const std::string zeros(gib, '\0');
  const std::string zipped = deflated_zip("m/identity.tflite", zeros);
  const std::string imx_body = imx({{"identity.tflite", 0, gib}});
  std::string sparse = write("sparse.imx", imx_body);
  ASSERT_EQ(::truncate(sparse.c_str(), static_cast<off_t>(gib)), 0);
  std::string z = write("big.zip", zipped);
  struct rusage before;
  ::getrusage(RUSAGE_SELF, &before);
  for (const std::string& path : {z, sparse}) {
    const Bundle b(path);
    EXPECT_EQ(b.size("identity.tflite"), gib) << path;
    uint64_t total = 0;
    size_t largest = 0;
    b.for_each_block("identity.tflite", [&](const char*, size_t n) {
      total += n;
      largest = std::max(largest, n);
    });
    EXPECT_EQ(total, gib) << path;
    EXPECT_LE(largest, size_t{1} << 20) << path;
    EXPECT_THROW(b.read("identity.tflite", 1 << 20), halvane::ValueError) << path;  // refused before reading
  }
  struct rusage after;
  ::getrusage(RUSAGE_SELF, &after);
  // The source string above already counts towards the peak; reading
  // must not add another member-sized allocation on top of it.
  EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 64 * 1024) << "KiB";
}

}  // namespace
