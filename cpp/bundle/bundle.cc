#include "bundle/bundle.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>
#include <sys/stat.h>
#include <zip.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <unordered_map>

#include "bundle/imx.h"
#include "common/errors.h"
#include "common/file.h"
#include "common/fs.h"
#include "common/text.h"

namespace halvane {
namespace {

constexpr size_t kBlock = size_t{1} << 20;

std::string_view basename_of(std::string_view nm) { return last_component(nm); }

std::string where_of(const std::string& path) { return py_repr(path) + ": "; }

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
  const int ze = zip_error_code_zip(e), sys = zip_error_code_system(e);
  if (!path.empty() && zip_error_system_type(e) == ZIP_ET_SYS && sys != 0 &&
      (ze == ZIP_ER_READ || ze == ZIP_ER_OPEN || ze == ZIP_ER_CLOSE))
    throw OSError(sys, path);
  throw ValueError(context + zip_error_strerror(e));
}

// Opens an archive over `src` (taken over); nullptr when it holds no
// end-of-central-directory record.
ZipPtr open_zip(zip_source_t* src, const std::string& path, const std::string& where) {
  zip_error_t err;
  zip_error_init(&err);
  zip_t* za = zip_open_from_source(src, ZIP_RDONLY, &err);
  if (!za) {
    zip_source_free(src);
    const int code = zip_error_code_zip(&err);
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

// The archive in an already open file; nullptr when it is not one.
ZipPtr open_zip_file(const File& f, const std::string& where) {
  const int fd = ::fcntl(f.fd(), F_DUPFD_CLOEXEC, 0);
  if (fd < 0) throw OSError(errno, f.path());
  FILE* fp = ::fdopen(fd, "rb");
  if (!fp) {
    const int e = errno;
    ::close(fd);
    throw OSError(e, f.path());
  }
  zip_error_t err;
  zip_error_init(&err);
  zip_source_t* src = zip_source_filep_create(fp, 0, -1, &err);  // owns fp from here
  if (!src) {
    std::fclose(fp);
    const std::string msg = zip_error_strerror(&err);
    zip_error_fini(&err);
    throw ValueError(where + msg);
  }
  zip_error_fini(&err);
  return open_zip(src, f.path(), where);
}

std::vector<std::string> zip_names(zip_t* za, const std::string& path, const std::string& where) {
  const zip_int64_t n = zip_get_num_entries(za, 0);
  std::vector<std::string> names;
  for (zip_int64_t i = 0; i < n; ++i) {
    const char* nm = zip_get_name(za, static_cast<zip_uint64_t>(i), 0);
    if (!nm) raise_zip(zip_get_error(za), path, where);
    names.emplace_back(nm);
  }
  return names;
}

// Streams the member's uncompressed bytes to `sink`. Data beyond the declared
// size is refused as soon as it shows (one byte more is asked for), data
// ending early afterwards; libzip checks the CRC at the member's end.
void zip_blocks(zip_t* za, zip_uint64_t idx, const std::string& path, const std::string& where,
                const std::function<void(const char*, size_t)>& sink) {
  zip_stat_t st;
  zip_stat_init(&st);
  if (zip_stat_index(za, idx, 0, &st) != 0) raise_zip(zip_get_error(za), path, where);
  const std::string ctx = where + "member " + py_repr(st.name ? st.name : "") + ": ";
  if (!(st.valid & ZIP_STAT_SIZE)) throw ValueError(ctx + "size unknown");
  const uint64_t declared = st.size;
  ZipFilePtr f(zip_fopen_index(za, idx, 0));
  if (!f) raise_zip(zip_get_error(za), path, ctx);
  std::vector<char> buf(static_cast<size_t>(std::min<uint64_t>(kBlock, declared + 1)));
  uint64_t got = 0;
  for (;;) {
    const zip_int64_t n = zip_fread(f.get(), buf.data(), std::min<uint64_t>(buf.size(), declared - got + 1));
    if (n < 0) raise_zip(zip_file_get_error(f.get()), path, ctx);
    if (n == 0) break;
    got += static_cast<uint64_t>(n);
    if (got > declared) throw ValueError(ctx + "more data than the declared " + std::to_string(declared) + " bytes");
    sink(buf.data(), static_cast<size_t>(n));
  }
  if (got != declared)
    throw ValueError(ctx + "data ends after " + std::to_string(got) + " of the declared " +
                     std::to_string(declared) + " bytes");
}

std::optional<zip_uint64_t> zip_find(const std::vector<std::string>& names, std::string_view base) {
  for (size_t i = names.size(); i-- > 0;)
    if (basename_of(names[i]) == base) return i;
  return std::nullopt;
}

}  // namespace

// What opening found: the container file and its table (IMX) or archive (ZIP).
struct Bundle::Index {
  std::optional<File> file;
  std::vector<ImxEntry> toc;                                   // IMX, table order
  std::unordered_map<std::string, const ImxEntry*> imx_by_base;  // last duplicate wins
  ZipPtr za;
  std::vector<std::string> zip_entries;  // ZIP, archive order
  std::string where;
};

Bundle::Bundle(std::string path) : path_(std::move(path)), ix_(std::make_unique<Index>()) {
  ix_->where = where_of(path_);
  struct stat st;
  if (path_.find('\0') != std::string::npos || ::stat(path_.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    form_ = Form::dir;
  } else if (S_ISREG(st.st_mode)) {
    ix_->file.emplace(path_);
    if (auto toc = imx_toc(*ix_->file, ix_->where)) {
      form_ = Form::imx;
      ix_->toc = std::move(*toc);
      for (const ImxEntry& e : ix_->toc) ix_->imx_by_base[std::string(basename_of(e.nm))] = &e;
    } else if ((ix_->za = open_zip_file(*ix_->file, ix_->where))) {
      form_ = Form::zip;
      ix_->zip_entries = zip_names(ix_->za.get(), path_, ix_->where);
    }
  }
}

Bundle::~Bundle() = default;
Bundle::Bundle(Bundle&&) noexcept = default;
Bundle& Bundle::operator=(Bundle&&) noexcept = default;

const std::vector<ImxEntry>& Bundle::imx_table() const { return ix_->toc; }

uint64_t Bundle::container_size() const { return ix_->file ? ix_->file->size() : 0; }

std::optional<std::string> Bundle::file_of(std::string_view name) const {
  if (form_ != Form::dir || name.find('\0') != std::string_view::npos) return std::nullopt;
  std::string p = join_path(path_, name);
  if (!is_regular_file(p)) return std::nullopt;
  return p;
}

bool Bundle::has(std::string_view name) const {
  switch (form_) {
    case Form::dir: return file_of(name).has_value();
    case Form::imx: return ix_->imx_by_base.count(std::string(name)) != 0;
    case Form::zip: return zip_find(ix_->zip_entries, name).has_value();
    case Form::none: break;
  }
  return false;
}

std::optional<std::string> Bundle::first_of(const std::vector<std::string>& names) const {
  for (const std::string& n : names)
    if (has(n)) return n;
  return std::nullopt;
}

uint64_t Bundle::size(std::string_view name) const {
  switch (form_) {
    case Form::dir:
      if (auto p = file_of(name)) return File(*p).size();
      break;
    case Form::imx:
      if (auto it = ix_->imx_by_base.find(std::string(name)); it != ix_->imx_by_base.end()) {
        const ByteRange r = imx_member_range(*it->second, ix_->file->size());
        return r.end - r.begin;
      }
      break;
    case Form::zip:
      if (auto idx = zip_find(ix_->zip_entries, name)) {
        zip_stat_t st;
        zip_stat_init(&st);
        if (zip_stat_index(ix_->za.get(), *idx, 0, &st) != 0) raise_zip(zip_get_error(ix_->za.get()), path_, ix_->where);
        return st.size;
      }
      break;
    case Form::none: break;
  }
  throw ValueError(ix_->where + "no member " + py_repr(std::string(name)));
}

void Bundle::for_each_block(std::string_view name, const std::function<void(const char*, size_t)>& sink) const {
  std::vector<char> buf;
  auto blocks_of = [&](const File& f, uint64_t begin, uint64_t end) {
    buf.resize(static_cast<size_t>(std::min<uint64_t>(kBlock, end - begin)));
    for (uint64_t at = begin; at < end;) {
      const size_t n = f.read_at(buf.data(), static_cast<size_t>(std::min<uint64_t>(buf.size(), end - at)), at);
      if (n == 0) break;  // the file shrank
      sink(buf.data(), n);
      at += n;
    }
  };
  switch (form_) {
    case Form::dir:
      if (auto p = file_of(name)) {
        const File f(*p);
        buf.resize(kBlock);
        while (size_t n = f.read(buf.data(), buf.size())) sink(buf.data(), n);
        return;
      }
      break;
    case Form::imx:
      if (auto it = ix_->imx_by_base.find(std::string(name)); it != ix_->imx_by_base.end()) {
        const ByteRange r = imx_member_range(*it->second, ix_->file->size());
        blocks_of(*ix_->file, r.begin, r.end);
        return;
      }
      break;
    case Form::zip:
      if (auto idx = zip_find(ix_->zip_entries, name)) {
        zip_blocks(ix_->za.get(), *idx, path_, ix_->where, sink);
        return;
      }
      break;
    case Form::none: break;
  }
  throw ValueError(ix_->where + "no member " + py_repr(std::string(name)));
}

std::string Bundle::read(std::string_view name, uint64_t max_bytes) const {
  const auto refuse = [&] {
    return MemberTooLarge(ix_->where + "member " + py_repr(std::string(name)) + " is larger than " +
                      std::to_string(max_bytes) + " bytes");
  };
  if (size(name) > max_bytes) throw refuse();
  std::string out;
  for_each_block(name, [&](const char* p, size_t n) {
    if (n > max_bytes - out.size()) throw refuse();
    out.append(p, n);
  });
  return out;
}

std::vector<std::string> Bundle::listing() const {
  std::vector<std::string> out;
  switch (form_) {
    case Form::dir: {
      DIR* d = ::opendir(path_.c_str());
      if (!d) throw OSError(errno, path_);
      std::unique_ptr<DIR, int (*)(DIR*)> closer(d, ::closedir);
      for (;;) {
        errno = 0;
        const dirent* ent = ::readdir(d);
        if (!ent) {
          if (errno != 0) throw OSError(errno, path_);
          break;
        }
        const std::string_view nm(ent->d_name);
        if (nm != "." && nm != "..") out.emplace_back(nm);
      }
      break;
    }
    case Form::imx:
      for (const ImxEntry& e : ix_->toc) out.emplace_back(basename_of(e.nm));
      break;
    case Form::zip:
      for (const std::string& nm : ix_->zip_entries) out.emplace_back(basename_of(nm));
      break;
    case Form::none: break;
  }
  return out;
}

std::optional<std::string> zip_member_from(std::string_view archive, std::string_view basename) {
  const std::string where = "zip archive: ";
  if (archive.empty()) throw ValueError(where + "empty buffer");
  zip_error_t err;
  zip_error_init(&err);
  zip_source_t* src = zip_source_buffer_create(archive.data(), archive.size(), 0, &err);
  if (!src) {
    const std::string msg = zip_error_strerror(&err);
    zip_error_fini(&err);
    throw ValueError(where + msg);
  }
  zip_error_fini(&err);
  ZipPtr za = open_zip(src, "", where);
  if (!za) throw ValueError(where + "no end-of-central-directory record");
  const auto idx = zip_find(zip_names(za.get(), "", where), basename);
  if (!idx) return std::nullopt;
  std::string out;
  zip_blocks(za.get(), *idx, "", where, [&](const char* p, size_t n) { out.append(p, n); });
  return out;
}

}  // namespace halvane
