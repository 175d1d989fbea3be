// The render-stream protocol's wire: reading step words and samples from the
// host's standard input, writing to its standard output.
//
// In: little-endian 32-bit step words; a word of 1..16777216 is followed by
// that many float32 samples, 0 is an empty data step, 0xFFFFFFFE resets the
// stream and 0xFFFFFFFF flushes it; anything else is a desync. Out: one
// "READY {json}\n" line, then frame records (int32 index + 898560 RGB bytes)
// and a flush marker (int32 -1) after each flush step.
//
// Thread contract: everything runs on the serving thread. Blocking reads and
// writes raise Stopped once a stop signal (SIGTERM, SIGHUP, SIGINT) has
// arrived, so the process can end in order.
#pragma once

#include <sys/uio.h>

#include <csignal>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>


namespace halvane::zephan2 {

inline constexpr uint32_t STEP_MAX_SAMPLES = 16777216;
inline constexpr uint32_t STEP_RESET = 0xFFFFFFFEu;
inline constexpr uint32_t STEP_FLUSH = 0xFFFFFFFFu;

// The file name of standard output's operating-system errors.
inline constexpr std::string_view STDOUT_NAME = "<stdout>";

// Raised from blocking I/O and between warm-up steps once a stop signal came.
struct Stopped : std::exception {
  int signum;
  explicit Stopped(int s) : signum(s) {}
  const char* what() const noexcept override { return "stopped by signal"; }
};

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed, so the
// program's own descriptors never take a standard stream's number. Raises
// halvane::OSError when /dev/null cannot be opened.
void open_missing_std_fds();

// When `fd` is a pipe smaller than `bytes`, asks the system to grow it to
// hold `bytes` (or as much as an unprivileged process may ask for); a refusal
// keeps the pipe as it is. Nothing changes in what is written.
void fit_pipe(int fd, size_t bytes);

// A second, non-blocking descriptor for writing to the pipe `fd` (through
// /proc/self/fd), or -1 when `fd` is no pipe or it cannot be opened. A thread
// writing through it waits for room in poll, where a stop signal delivered to
// any other thread still reaches it; a blocking write would only end for a
// signal delivered to the writing thread itself.
int reopen_nonblocking(int fd);

// SIGTERM, SIGHUP and SIGINT set a flag instead of killing the process; the
// serving thread's reads and writes wait on their descriptor and on a
// self-pipe the handler writes to, so they end with Stopped whichever thread
// received the signal and whenever it came.
void install_stop_handlers();
// The signal that asked the process to stop, or 0.
int stop_signal();
// Raises Stopped when a stop signal has arrived.
void check_stop();

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Up to n bytes; 0 only at end of input.
  virtual size_t read_some(void* dst, size_t n) = 0;
};

// A file descriptor with a read buffer for small reads; large reads go
// straight into the caller's memory.
class FdSource final : public ByteSource {
 public:
  explicit FdSource(int fd) : fd_(fd), buf_(64 * 1024) {}
  size_t read_some(void* dst, size_t n) override;

 private:
  size_t raw_read(void* dst, size_t n);
  int fd_;
  std::vector<char> buf_;
  size_t pos_ = 0, len_ = 0;
};

class MemorySource final : public ByteSource {
 public:
  explicit MemorySource(std::string_view data) : data_(data) {}
  size_t read_some(void* dst, size_t n) override;

 private:
  std::string_view data_;
};

// Exactly n bytes, or false when the input ends first (what was read is dropped).
bool read_exact(ByteSource& in, void* dst, size_t n);

// Buffered writes to a file descriptor. Frame pixels are written from the
// caller's memory with the pending bytes in one gathered write, never copied.
// A non-blocking descriptor is waited on whenever it has no room.
class FdWriter {
 public:
  explicit FdWriter(int fd) : fd_(fd) {}
  void set_fd(int fd) { fd_ = fd; }
  int fd() const { return fd_; }
  void write(const void* data, size_t n);
  void write_frame(int64_t index, const uint8_t* pixels, size_t n);
  void flush();

 private:
  void writev_all(::iovec* iov, int cnt);
  int fd_;
  std::string pending_;
};

struct Step {
  enum Kind { data, flush, reset, bad, end } kind;
  uint32_t word = 0;
};

// The samples of the last data step. Grows to the largest step seen and is
// never cleared: every step overwrites what it uses.
class SampleBuffer {
 public:
  float* data() { return buf_.get(); }
  size_t size() const { return size_; }
  void resize(size_t n) {
    if (n > cap_) {
      buf_ = std::make_unique_for_overwrite<float[]>(n);
      cap_ = n;
    }
    size_ = n;
  }

 private:
  std::unique_ptr<float[]> buf_;
  size_t cap_ = 0, size_ = 0;
};

// Reads one message: its step word and, for a data step, its samples.
// End of input anywhere gives `end`.
Step read_step(ByteSource& in, SampleBuffer& samples);

}  // namespace halvane::zephan2
