// A child process whose standard output and standard error are both captured
// whole into memory.
//
// The program is found by name on the search path (posix_spawnp); standard
// input is inherited; every other descriptor of the caller stays closed in the
// child. Both pipes are drained together by one poll loop, so a child that
// fills one of them while the other is being read never blocks. The child is
// always reaped: on a normal end, on an error of the caller's side and when
// the caller asks for the run to stop (the child is then killed first).
//
// Thread contract: run_captured may run on any thread, several at a time. The
// `stop` callback runs on the calling thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/fs.h"

namespace halvane::open {

// Bytes read from a pipe, kept in the blocks they were read into (no copy
// while the child runs, whatever the total). Each block is mapped from the
// system on its own, so a block let go is memory given back at once.
class Captured {
 public:
  static constexpr size_t kBlock = size_t{1} << 20;

  Captured() = default;
  Captured(Captured&&) noexcept = default;
  Captured& operator=(Captured&&) noexcept = default;

  size_t size() const { return size_; }
  void copy_to(char* dst) const;  // all size() bytes, in order
  // All size() bytes to `dst`, each block let go once it is copied: the
  // bytes are held about once while they move. Leaves this empty.
  void move_to(char* dst);
  std::string str() const;
  void append(const char* p, size_t n);

  // Room for the next read, and how much was read into it.
  char* room(size_t& n);
  void commit(size_t n) { size_ += n; }

 private:
  struct Unmap {
    void operator()(char* p) const noexcept;
  };
  std::vector<std::unique_ptr<char, Unmap>> blocks_;
  size_t size_ = 0;
};

struct ChildOutput {
  int status = 0;  // exit code, or minus the number of the signal that ended it
  Captured out;    // all of its standard output
  Captured err;    // all of its standard error
};

// The run ended because the child wrote more than the caller's limit to its
// standard output; it has been killed and reaped, and no more than the limit
// and one block was read.
struct OutputPastLimit : std::exception {
  const char* what() const noexcept override { return "child process wrote past its output limit"; }
};

// Runs argv[0] (searched on PATH) with the arguments argv and waits for it to
// end. `stop` is asked at least every `check_ms` milliseconds while the child
// runs (and whenever a signal interrupts the wait); when it returns true, the
// child is killed and reaped and halvane::Stopped is thrown. Once more than
// `out_limit` bytes came on its standard output, the child is killed and
// reaped and OutputPastLimit is thrown. Raises OSError(errno, argv[0]) when
// the program cannot be started (ENOENT: not on the path).
ChildOutput run_captured(const std::vector<std::string>& argv, const StopCheck& stop,
                         int check_ms = 50, size_t out_limit = SIZE_MAX);

}  // namespace halvane::open
