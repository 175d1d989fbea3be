#include "zephan2/host/protocol.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/errors.h"
#include "zephan2/messages.h"

static_assert(std::endian::native == std::endian::little, "the wire format is read in place");

namespace halvane::zephan2 {

namespace {

std::atomic<int> g_stop{0};
int g_wake[2] = {-1, -1};  // self-pipe: readable once a stop signal came

// Async-signal-safe: a flag and one byte into the pipe, which every blocking
// wait of the serving thread watches, so a signal arriving just before a
// read or write still ends the wait.
extern "C" void on_stop_signal(int sig) {
  g_stop.store(sig);
  const int saved = errno;
  const char b = 1;
  [[maybe_unused]] ssize_t n = ::write(g_wake[1], &b, 1);
  errno = saved;
}

// Waits until `fd` is ready for `events` or a stop signal came (then raises
// Stopped). Without installed handlers there is nothing to watch but `fd`,
// which a blocking call then waits on by itself, unless `always`.
void wait_ready(int fd, short events, bool always = false) {
  check_stop();
  if (g_wake[0] < 0 && !always) return;
  pollfd p[2] = {{fd, events, 0}, {g_wake[0], POLLIN, 0}};
  while (::poll(p, g_wake[0] < 0 ? 1 : 2, -1) < 0) {
    if (errno != EINTR) throw halvane::OSError(errno);
    check_stop();
  }
  check_stop();
}

}  // namespace

void open_missing_std_fds() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    // The lower descriptors are open by now, so this is `fd` itself.
    const int n = ::open("/dev/null", O_RDWR);
    if (n < 0) throw halvane::OSError(errno, "/dev/null");
    if (n != fd) {
      const int r = ::dup2(n, fd);
      const int e = errno;
      ::close(n);
      if (r < 0) throw halvane::OSError(e, "/dev/null");
    }
  }
}

void fit_pipe(int fd, size_t bytes) {
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode)) return;
  const int have = ::fcntl(fd, F_GETPIPE_SZ);
  if (have < 0 || static_cast<size_t>(have) >= bytes) return;
  if (::fcntl(fd, F_SETPIPE_SZ, static_cast<int>(bytes)) >= 0) return;
  // Beyond the unprivileged limit: take the limit, when it is still larger.
  long limit = 0;
  if (FILE* f = std::fopen("/proc/sys/fs/pipe-max-size", "r")) {
    if (std::fscanf(f, "%ld", &limit) != 1) limit = 0;
    std::fclose(f);
  }
  if (limit > have) ::fcntl(fd, F_SETPIPE_SZ, static_cast<int>(limit));
}

int reopen_nonblocking(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode)) return -1;
  // A new open file description of the same pipe: its O_NONBLOCK leaves the
  // one shared with the parent as it is.
  const std::string path = "/proc/self/fd/" + std::to_string(fd);
  return ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
}

void install_stop_handlers() {
  if (g_wake[0] < 0 && ::pipe2(g_wake, O_CLOEXEC | O_NONBLOCK) != 0) throw halvane::OSError(errno);
  struct sigaction sa {};
  sa.sa_handler = on_stop_signal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;  // the pipe, not EINTR, wakes the waits
  for (int sig : {SIGTERM, SIGHUP, SIGINT}) sigaction(sig, &sa, nullptr);
}

int stop_signal() { return g_stop.load(); }

void check_stop() {
  if (int s = g_stop.load()) throw Stopped(s);
}

size_t FdSource::raw_read(void* dst, size_t n) {
  for (;;) {
    wait_ready(fd_, POLLIN);
    ssize_t r = ::read(fd_, dst, n);
    if (r >= 0) return static_cast<size_t>(r);
    if (errno != EINTR) throw halvane::OSError(errno, "<stdin>");
    check_stop();
  }
}

size_t FdSource::read_some(void* dst, size_t n) {
  if (n == 0) return 0;
  if (pos_ < len_) {
    const size_t k = std::min(n, len_ - pos_);
    std::memcpy(dst, buf_.data() + pos_, k);
    pos_ += k;
    return k;
  }
  if (n >= buf_.size()) return raw_read(dst, n);
  len_ = raw_read(buf_.data(), buf_.size());
  pos_ = 0;
  return len_ == 0 ? 0 : read_some(dst, n);
}

size_t MemorySource::read_some(void* dst, size_t n) {
  const size_t k = std::min(n, data_.size());
  std::memcpy(dst, data_.data(), k);
  data_.remove_prefix(k);
  return k;
}

bool read_exact(ByteSource& in, void* dst, size_t n) {
  char* p = static_cast<char*>(dst);
  while (n > 0) {
    const size_t k = in.read_some(p, n);
    if (k == 0) return false;
    p += k;
    n -= k;
  }
  return true;
}

void FdWriter::writev_all(::iovec* iov, int cnt) {
  while (cnt > 0) {
    wait_ready(fd_, POLLOUT);
    ssize_t w = ::writev(fd_, iov, cnt);
    if (w < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) {  // a non-blocking descriptor with no room
        wait_ready(fd_, POLLOUT, true);
        continue;
      }
      if (errno != EINTR) throw halvane::OSError(errno, std::string(STDOUT_NAME));
      check_stop();
      continue;
    }
    size_t left = static_cast<size_t>(w);
    while (cnt > 0 && left >= iov->iov_len) {
      left -= iov->iov_len;
      ++iov;
      --cnt;
    }
    if (cnt > 0) {
      iov->iov_base = static_cast<char*>(iov->iov_base) + left;
      iov->iov_len -= left;
    }
  }
}

void FdWriter::write(const void* data, size_t n) { pending_.append(static_cast<const char*>(data), n); }

void FdWriter::write_frame(int64_t index, const uint8_t* pixels, size_t n) {
  if (index < INT32_MIN || index > INT32_MAX) throw halvane::ValueError(msg::kFrameIndex32);
  const int32_t idx = static_cast<int32_t>(index);
  pending_.append(reinterpret_cast<const char*>(&idx), 4);
  struct iovec iov[2] = {{pending_.data(), pending_.size()}, {const_cast<uint8_t*>(pixels), n}};
  writev_all(iov, 2);
  pending_.clear();
}

void FdWriter::flush() {
  if (pending_.empty()) return;
  struct iovec iov = {pending_.data(), pending_.size()};
  writev_all(&iov, 1);
  pending_.clear();
}

Step read_step(ByteSource& in, SampleBuffer& samples) {
  uint32_t word = 0;
  if (!read_exact(in, &word, 4)) return {Step::end, 0};
  if (word == STEP_FLUSH) return {Step::flush, word};
  if (word == STEP_RESET) return {Step::reset, word};
  if (word > STEP_MAX_SAMPLES) return {Step::bad, word};
  samples.resize(word);
  if (word > 0 && !read_exact(in, samples.data(), size_t{word} * 4)) return {Step::end, word};
  return {Step::data, word};
}

}  // namespace halvane::zephan2
