// Step words and samples from arbitrary bytes, read the way the host reads its
// standard input: from memory in one piece, and from a file descriptor through
// the 64 KiB read buffer. Both must give the message sequence a plain
// walk over the bytes gives, and every data step must carry exactly its
// samples.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "zephan2/host/protocol.h"

namespace {

void check(bool ok) {
  if (!ok) __builtin_trap();
}

struct Msg {
  halvane::zephan2::Step::Kind kind;
  uint32_t word;
  std::string samples;  // compared as bytes: NaN payloads must come through too
  bool operator==(const Msg&) const = default;
};

std::vector<Msg> read_all(halvane::zephan2::ByteSource& in) {
  std::vector<Msg> out;
  halvane::zephan2::SampleBuffer samples;
  for (;;) {
    const halvane::zephan2::Step s = halvane::zephan2::read_step(in, samples);
    Msg m{s.kind, s.word, {}};
    if (s.kind == halvane::zephan2::Step::data) m.samples.assign(reinterpret_cast<const char*>(samples.data()), samples.size() * 4);
    out.push_back(std::move(m));
    if (s.kind == halvane::zephan2::Step::end || s.kind == halvane::zephan2::Step::bad) return out;
  }
}

// The protocol spelled out over the bytes directly.
std::vector<Msg> reference(const uint8_t* p, size_t n) {
  std::vector<Msg> out;
  size_t at = 0;
  for (;;) {
    if (n - at < 4) return out.push_back({halvane::zephan2::Step::end, 0, {}}), out;
    uint32_t w;
    std::memcpy(&w, p + at, 4);
    at += 4;
    if (w == 0xFFFFFFFFu) { out.push_back({halvane::zephan2::Step::flush, w, {}}); continue; }
    if (w == 0xFFFFFFFEu) { out.push_back({halvane::zephan2::Step::reset, w, {}}); continue; }
    if (w > 16777216u) return out.push_back({halvane::zephan2::Step::bad, w, {}}), out;
    if (n - at < size_t{w} * 4) return out.push_back({halvane::zephan2::Step::end, w, {}}), out;
    out.push_back({halvane::zephan2::Step::data, w, std::string(reinterpret_cast<const char*>(p + at), size_t{w} * 4)});
    at += size_t{w} * 4;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<Msg> want = reference(data, size);

  halvane::zephan2::MemorySource mem(std::string_view(reinterpret_cast<const char*>(data), size));
  check(read_all(mem) == want);

  static int fd = memfd_create("stdin", MFD_CLOEXEC);
  check(fd >= 0 && ftruncate(fd, 0) == 0);
  check(pwrite(fd, data, size, 0) == static_cast<ssize_t>(size));
  check(lseek(fd, 0, SEEK_SET) == 0);
  halvane::zephan2::FdSource file(fd);
  check(read_all(file) == want);
  return 0;
}
