#include "zephan2/host/containers.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <unordered_map>

#include "common/errors.h"
#include "common/pyint.h"
#include "zephan2/host/imx_range.h"

namespace z2 {
namespace {

constexpr size_t kChunk = size_t{1} << 16;
constexpr uint64_t kMaxPos = uint64_t{1} << 63;

std::string_view basename_of(std::string_view nm) {
  size_t slash = nm.rfind('/');
  return slash == std::string_view::npos ? nm : nm.substr(slash + 1);
}

bool has_nul(std::string_view s) { return s.find('\0') != std::string_view::npos; }

uint64_t le(const unsigned char* p, int n) {
  uint64_t v = 0;
  for (int i = n - 1; i >= 0; --i) v = v << 8 | p[i];
  return v;
}

// Strict UTF-8 as Python decodes it: no overlong forms, no surrogates,
// nothing above U+10FFFF, no truncated sequence.
bool valid_utf8(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  size_t n = s.size(), i = 0;
  auto cont = [&](size_t k) { return k < n && (p[k] & 0xC0) == 0x80; };
  while (i < n) {
    unsigned c = p[i];
    if (c < 0x80) {
      ++i;
    } else if (c >= 0xC2 && c <= 0xDF) {
      if (!cont(i + 1)) return false;
      i += 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      if (i + 1 >= n) return false;
      unsigned c1 = p[i + 1];
      unsigned lo = c == 0xE0 ? 0xA0 : 0x80, hi = c == 0xED ? 0x9F : 0xBF;
      if (c1 < lo || c1 > hi || !cont(i + 2)) return false;
      i += 3;
    } else if (c >= 0xF0 && c <= 0xF4) {
      if (i + 1 >= n) return false;
      unsigned c1 = p[i + 1];
      unsigned lo = c == 0xF0 ? 0x90 : 0x80, hi = c == 0xF4 ? 0x8F : 0xBF;
      if (c1 < lo || c1 > hi || !cont(i + 2) || !cont(i + 3)) return false;
      i += 4;
    } else {
      return false;
    }
  }
  return true;
}

class Fd {
 public:
  explicit Fd(const std::string& path) : path_(path) {
    if (has_nul(path)) throw halvane::ValueError("embedded null byte");
    do fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    while (fd_ < 0 && errno == EINTR);
    if (fd_ < 0) throw halvane::OSError(errno, path);
  }
  ~Fd() { ::close(fd_); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;

  uint64_t size() const {
    struct stat st;
    if (::fstat(fd_, &st) != 0) throw halvane::OSError(errno, path_);
    return static_cast<uint64_t>(st.st_size);
  }

  // Up to n bytes at `pos` (or the current position when pos < 0); fewer
  // only at the end of the file.
  size_t read(char* dst, size_t n, int64_t pos = -1) {
    size_t got = 0;
    while (got < n) {
      ssize_t r = pos < 0 ? ::read(fd_, dst + got, n - got)
                          : ::pread(fd_, dst + got, n - got, static_cast<off_t>(pos + int64_t(got)));
      if (r < 0) {
        if (errno == EINTR) continue;
        throw halvane::OSError(errno, path_);
      }
      if (r == 0) break;
      got += static_cast<size_t>(r);
    }
    return got;
  }

 private:
  std::string path_;
  int fd_ = -1;
};

// Sequential readers over a file or a memory image. `take` appends n bytes to
// `out` as they arrive, so a length read from the file never decides an
// allocation before the bytes are really there; both return false when the
// input ends first.
class FileReader {
 public:
  explicit FileReader(Fd& fd) : fd_(fd), buf_(kChunk, '\0') {}
  bool take(std::string& out, size_t n) {
    while (n > 0) {
      if (pos_ == len_) {
        len_ = fd_.read(buf_.data(), buf_.size());
        pos_ = 0;
        if (len_ == 0) return false;
      }
      size_t k = std::min(n, len_ - pos_);
      out.append(buf_.data() + pos_, k);
      pos_ += k;
      n -= k;
    }
    return true;
  }

 private:
  Fd& fd_;
  std::string buf_;
  size_t pos_ = 0, len_ = 0;
};

class MemReader {
 public:
  explicit MemReader(std::string_view s) : s_(s) {}
  bool take(std::string& out, size_t n) {
    if (s_.size() - pos_ < n) return false;
    out.append(s_.data() + pos_, n);
    pos_ += n;
    return true;
  }

 private:
  std::string_view s_;
  size_t pos_ = 0;
};

template <class Reader>
std::optional<std::vector<ImxEntry>> parse_toc(Reader& r, const std::string& where) {
  std::string head;
  if (!r.take(head, 8) || head.compare(0, 4, std::string_view("IMX\0", 4)) != 0) return std::nullopt;
  const auto* h = reinterpret_cast<const unsigned char*>(head.data());
  const size_t count = le(h + 6, 2);
  auto truncated = [&](size_t i) {
    return halvane::ValueError(where + "IMX member table ends inside entry " + std::to_string(i + 1) + " of " +
                               std::to_string(count));
  };
  // The vector grows one entry per 18 or more bytes actually read.
  std::vector<ImxEntry> toc;
  std::string field;
  for (size_t i = 0; i < count; ++i) {
    ImxEntry e;
    field.clear();
    if (!r.take(field, 2)) throw truncated(i);
    const size_t nl = le(reinterpret_cast<const unsigned char*>(field.data()), 2);
    if (!r.take(e.nm, nl)) throw truncated(i);
    if (!valid_utf8(e.nm))
      throw halvane::ValueError(where + "IMX entry " + std::to_string(i + 1) + " has a name that is not UTF-8");
    field.clear();
    if (!r.take(field, 16)) throw truncated(i);
    const auto* f = reinterpret_cast<const unsigned char*>(field.data());
    e.off = le(f, 8);
    e.size = le(f + 8, 8);
    toc.push_back(std::move(e));
  }
  return toc;
}

std::string where_of(const std::string& path) { return halvane::py_repr(path) + ": "; }

std::string read_imx_member(const std::string& path, const ImxEntry& e) {
  Fd fd(path);
  ByteRange r = imx_member_range(e, fd.size());
  std::string out(r.end - r.begin, '\0');  // bytes the file holds, not the declared size
  out.resize(fd.read(out.data(), out.size(), static_cast<int64_t>(r.begin)));
  return out;
}

std::string read_whole_file(const std::string& path) {
  Fd fd(path);
  std::string out;
  size_t got = 0;
  for (;;) {
    out.resize(got + std::max(kChunk, got));
    size_t n = fd.read(out.data() + got, out.size() - got);
    got += n;
    if (got < out.size()) break;
  }
  out.resize(got);
  return out;
}

// ---- ZIP through libzip ----

struct ZipDiscard {
  void operator()(zip_t* z) const { zip_discard(z); }
};
struct ZipFileClose {
  void operator()(zip_file_t* f) const { zip_fclose(f); }
};
using ZipPtr = std::unique_ptr<zip_t, ZipDiscard>;
using ZipFilePtr = std::unique_ptr<zip_file_t, ZipFileClose>;

// An I/O failure on a real file is the operating system's error; everything
// else libzip reports (bad headers, bad data, CRC mismatch, unsupported
// method) means the archive is damaged.
[[noreturn]] void raise_zip(zip_error_t* e, const std::string& path, const std::string& context) {
  int ze = zip_error_code_zip(e), sys = zip_error_code_system(e);
  if (!path.empty() && zip_error_system_type(e) == ZIP_ET_SYS && sys != 0 &&
      (ze == ZIP_ER_READ || ze == ZIP_ER_OPEN || ze == ZIP_ER_CLOSE))
    throw halvane::OSError(sys, path);
  throw halvane::ValueError(context + zip_error_strerror(e));
}

// Opens an archive; nullptr when the source holds no end-of-central-directory
// record (or, for a file, cannot be opened at all).
ZipPtr open_zip(zip_source_t* src, const std::string& path, const std::string& where) {
  zip_error_t err;
  zip_error_init(&err);
  zip_t* za = zip_open_from_source(src, ZIP_RDONLY, &err);
  if (!za) {
    zip_source_free(src);
    int code = zip_error_code_zip(&err);
    if (code == ZIP_ER_NOZIP || (!path.empty() && code == ZIP_ER_OPEN)) {
      zip_error_fini(&err);
      return nullptr;
    }
    try {
      raise_zip(&err, path, where);
    } catch (...) {
      zip_error_fini(&err);
      throw;
    }
  }
  zip_error_fini(&err);
  return ZipPtr(za);
}

ZipPtr open_zip_file(const std::string& path) {
  zip_error_t err;
  zip_error_init(&err);
  zip_source_t* src = zip_source_file_create(path.c_str(), 0, 0, &err);
  if (!src) {
    zip_error_fini(&err);
    return nullptr;  // not openable: not an archive
  }
  zip_error_fini(&err);
  return open_zip(src, path, where_of(path));
}

std::vector<std::string> zip_names(zip_t* za, const std::string& path, const std::string& where) {
  zip_int64_t n = zip_get_num_entries(za, 0);
  std::vector<std::string> names;
  for (zip_int64_t i = 0; i < n; ++i) {
    const char* nm = zip_get_name(za, static_cast<zip_uint64_t>(i), 0);
    if (!nm) raise_zip(zip_get_error(za), path, where);
    names.emplace_back(nm);
  }
  return names;
}

// Index of the last entry with this basename.
std::optional<zip_uint64_t> zip_find(const std::vector<std::string>& names, std::string_view base) {
  for (size_t i = names.size(); i-- > 0;)
    if (basename_of(names[i]) == base) return i;
  return std::nullopt;
}

// The whole uncompressed member. The output grows as data arrives and may
// exceed the declared size by one byte at most before that is refused;
// libzip checks the CRC when the member has been read to its end.
std::string read_zip_member(zip_t* za, zip_uint64_t idx, const std::string& path, const std::string& where) {
  zip_stat_t st;
  zip_stat_init(&st);
  if (zip_stat_index(za, idx, 0, &st) != 0) raise_zip(zip_get_error(za), path, where);
  const std::string ctx = where + "member " + halvane::py_repr(st.name ? st.name : "") + ": ";
  if (!(st.valid & ZIP_STAT_SIZE)) throw halvane::ValueError(ctx + "size unknown");
  const uint64_t declared = st.size;
  ZipFilePtr f(zip_fopen_index(za, idx, 0));
  if (!f) raise_zip(zip_get_error(za), path, ctx);
  std::string out;
  size_t got = 0;
  for (;;) {
    const uint64_t room = declared - got;
    uint64_t want = std::min<uint64_t>(room, std::max(kChunk, got));
    if (want == room) ++want;  // one byte more shows data beyond the declared size
    out.resize(got + want);
    zip_int64_t n = zip_fread(f.get(), out.data() + got, want);
    if (n < 0) raise_zip(zip_file_get_error(f.get()), path, ctx);
    if (n == 0) break;
    got += static_cast<size_t>(n);
    if (got > declared)
      throw halvane::ValueError(ctx + "more data than the declared " + std::to_string(declared) + " bytes");
  }
  if (got != declared)
    throw halvane::ValueError(ctx + "data ends after " + std::to_string(got) + " of the declared " +
                              std::to_string(declared) + " bytes");
  out.resize(got);
  return out;
}

// ---- form of a bundle path ----

enum class Form { none, dir, imx, zip };

struct Opened {
  Form form = Form::none;
  std::vector<ImxEntry> toc;  // Form::imx
  ZipPtr za;                  // Form::zip
};

Opened open_bundle(const std::string& bundle) {
  Opened o;
  struct stat st;
  if (has_nul(bundle) || ::stat(bundle.c_str(), &st) != 0) return o;
  if (S_ISDIR(st.st_mode)) {
    o.form = Form::dir;
  } else if (S_ISREG(st.st_mode)) {
    if (auto toc = imx_toc(bundle)) {
      o.form = Form::imx;
      o.toc = std::move(*toc);
    } else if ((o.za = open_zip_file(bundle))) {
      o.form = Form::zip;
    }
  }
  return o;
}

std::string member_path(const std::string& bundle, const std::string& name) {
  return bundle + (bundle.back() == '/' ? "" : "/") + name;
}

}  // namespace

ByteRange imx_member_range(const ImxEntry& e, uint64_t file_size) {
  if (e.off >= kMaxPos || e.size >= kMaxPos)
    throw halvane::ValueError("IMX member " + halvane::py_repr(e.nm) + ": offset " + std::to_string(e.off) +
                              " or size " + std::to_string(e.size) + " out of range");
  ByteRange r;
  r.begin = std::min(e.off, file_size);
  r.end = std::min(e.off + e.size, file_size);  // both < 2^63: no overflow
  return r;
}

std::optional<std::vector<ImxEntry>> imx_toc(const std::string& path) {
  Fd fd(path);
  FileReader r(fd);
  return parse_toc(r, where_of(path));
}

std::optional<std::vector<ImxEntry>> imx_toc_from(std::string_view file) {
  MemReader r(file);
  return parse_toc(r, "");
}

std::optional<Member> member_bytes(const std::string& bundle, const std::vector<std::string>& names) {
  Opened o = open_bundle(bundle);
  switch (o.form) {
    case Form::none:
      return std::nullopt;
    case Form::dir:
      for (const std::string& nm : names) {
        if (has_nul(nm)) continue;  // no file can carry that name
        std::string p = member_path(bundle, nm);
        struct stat st;
        if (::stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode)) return Member{nm, read_whole_file(p)};
      }
      return std::nullopt;
    case Form::imx: {
      std::unordered_map<std::string_view, const ImxEntry*> by_base;
      for (const ImxEntry& e : o.toc) by_base[basename_of(e.nm)] = &e;
      for (const std::string& nm : names) {
        auto it = by_base.find(nm);
        if (it != by_base.end()) return Member{nm, read_imx_member(bundle, *it->second)};
      }
      return std::nullopt;
    }
    case Form::zip: {
      const std::string where = where_of(bundle);
      std::vector<std::string> entries = zip_names(o.za.get(), bundle, where);
      for (const std::string& nm : names)
        if (auto idx = zip_find(entries, nm)) return Member{nm, read_zip_member(o.za.get(), *idx, bundle, where)};
      return std::nullopt;
    }
  }
  return std::nullopt;
}

std::vector<std::string> listing(const std::string& bundle) {
  Opened o = open_bundle(bundle);
  std::vector<std::string> out;
  switch (o.form) {
    case Form::none:
      break;
    case Form::dir: {
      DIR* d = ::opendir(bundle.c_str());
      if (!d) throw halvane::OSError(errno, bundle);
      std::unique_ptr<DIR, int (*)(DIR*)> closer(d, ::closedir);
      for (;;) {
        errno = 0;
        dirent* ent = ::readdir(d);
        if (!ent) {
          if (errno != 0) throw halvane::OSError(errno, bundle);
          break;
        }
        std::string_view nm(ent->d_name);
        if (nm != "." && nm != "..") out.emplace_back(nm);
      }
      break;
    }
    case Form::imx:
      for (const ImxEntry& e : o.toc) out.emplace_back(basename_of(e.nm));
      break;
    case Form::zip:
      for (const std::string& nm : zip_names(o.za.get(), bundle, where_of(bundle))) out.emplace_back(basename_of(nm));
      break;
  }
  return out;
}

std::optional<std::string> zip_member_from(std::string_view archive, std::string_view basename) {
  const std::string where = "zip archive: ";
  if (archive.empty()) throw halvane::ValueError(where + "empty buffer");
  zip_error_t err;
  zip_error_init(&err);
  zip_source_t* src = zip_source_buffer_create(archive.data(), archive.size(), 0, &err);
  if (!src) {
    std::string msg = zip_error_strerror(&err);
    zip_error_fini(&err);
    throw halvane::ValueError(where + msg);
  }
  zip_error_fini(&err);
  ZipPtr za = open_zip(src, "", where);
  if (!za) throw halvane::ValueError(where + "no end-of-central-directory record");
  std::vector<std::string> entries = zip_names(za.get(), "", where);
  auto idx = zip_find(entries, basename);
  if (!idx) return std::nullopt;
  return read_zip_member(za.get(), *idx, "", where);
}

}  // namespace z2
