// IMX tables from arbitrary bytes. In memory: every table either parses or is
// refused with ValueError, and every member range stays inside the image. The
// same bytes as a file: the table, listing and member reads of a Bundle must
// agree with the in-memory reading (a file is parsed in 64 KiB reads, memory
// in one piece, and members come in 1 MiB blocks).
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>

#include "bundle/bundle.h"
#include "bundle/imx.h"
#include "common/errors.h"
#include "common/file.h"

namespace {

void check(bool ok) {
  if (!ok) __builtin_trap();
}

// The image as a regular file, reused across inputs.
const std::string& as_file(std::string_view bytes) {
  static int fd = memfd_create("imx", MFD_CLOEXEC);
  static std::string path = "/proc/self/fd/" + std::to_string(fd);
  check(fd >= 0 && ftruncate(fd, 0) == 0);
  check(pwrite(fd, bytes.data(), bytes.size(), 0) == static_cast<ssize_t>(bytes.size()));
  return path;
}

std::string basename_of(const std::string& nm) {
  size_t slash = nm.rfind('/');
  return slash == std::string::npos ? nm : nm.substr(slash + 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view image(reinterpret_cast<const char*>(data), size);
  std::optional<std::vector<halvane::ImxEntry>> toc;
  bool damaged = false;
  try {
    toc = halvane::imx_toc_from(image);
  } catch (const halvane::ValueError&) {
    damaged = true;
  }

  // Last entry per basename: what a lookup must return, or nullopt when reading it must fail.
  std::map<std::string, std::optional<std::string>> want;
  if (toc) {
    for (const halvane::ImxEntry& e : *toc) {
      std::optional<std::string> bytes;
      try {
        halvane::ByteRange r = halvane::imx_member_range(e, size);
        check(r.begin <= r.end && r.end <= size);
        check(r.begin == std::min<uint64_t>(e.off, size));
        bytes = std::string(image.substr(r.begin, r.end - r.begin));
      } catch (const halvane::ValueError&) {
        check(e.off >= (uint64_t{1} << 63) || e.size >= (uint64_t{1} << 63));
      }
      want[basename_of(e.nm)] = bytes;
    }
  }

  const std::string& path = as_file(image);
  try {
    auto from_file = halvane::imx_toc(halvane::File(path), "");
    check(!damaged && from_file.has_value() == toc.has_value());
    if (toc) {
      check(from_file->size() == toc->size());
      for (size_t i = 0; i < toc->size(); ++i)
        check((*from_file)[i].nm == (*toc)[i].nm && (*from_file)[i].off == (*toc)[i].off &&
              (*from_file)[i].size == (*toc)[i].size);
    }
  } catch (const halvane::ValueError&) {
    check(damaged);
  }
  if (!toc) {
    // Not IMX: the file goes on to the ZIP test; any outcome but a crash is fine.
    try {
      halvane::Bundle(path).listing();
    } catch (const halvane::ValueError&) {
    }
    return 0;
  }
  const halvane::Bundle b(path);
  check(b.form() == halvane::Bundle::Form::imx && b.listing().size() == toc->size());
  for (const auto& [base, bytes] : want) {
    std::optional<std::string> got;
    try {
      got = b.read(base);
    } catch (const halvane::ValueError&) {
    }
    check(b.has(base) && got == bytes);
  }
  return 0;
}
