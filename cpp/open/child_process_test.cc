// The child-process runner: both pipes drained together whatever their sizes,
// exit codes and signals, a program not on the path, stop requests, and what
// the child inherits.
#include "open/child_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "common/errors.h"

namespace {

using halvane::open::ChildOutput;
using halvane::open::run_captured;

ChildOutput sh(const std::string& script) { return run_captured({"sh", "-c", script}, nullptr); }

// No child of this process is left, running or unreaped.
bool no_children() {
  int st;
  return ::waitpid(-1, &st, WNOHANG) < 0 && errno == ECHILD;
}

TEST(RunCaptured, LargeOutputOnBothPipes) {
  // Standard error is filled well past a pipe's capacity before anything is
  // written to standard output, and then both are written in turns.
  const ChildOutput r = sh(
      "head -c 1000000 /dev/zero | tr '\\0' e >&2; head -c 3000000 /dev/zero | tr '\\0' o;"
      "for i in 1 2 3; do head -c 200000 /dev/zero >&2; head -c 200000 /dev/zero; done; exit 3");
  EXPECT_EQ(r.status, 3);
  const std::string out = r.out.str(), err = r.err.str();
  EXPECT_EQ(err.size(), 1600000u);
  EXPECT_EQ(out.size(), 3600000u);
  EXPECT_EQ(err.find_first_not_of('e'), 1000000u);
  EXPECT_EQ(out.find_first_not_of('o'), 3000000u);
  EXPECT_EQ(out.find_first_not_of('\0', 3000000u), std::string::npos);
  EXPECT_TRUE(no_children());
}

TEST(RunCaptured, StatusesAndEmptyOutput) {
  EXPECT_EQ(sh("exit 0").status, 0);
  EXPECT_EQ(sh("exit 255").status, 255);
  EXPECT_EQ(sh("kill -TERM $$").status, -15);
  const ChildOutput r = sh("printf 'a\\nb'");
  EXPECT_EQ(r.out.str(), "a\nb");
  EXPECT_EQ(r.err.size(), 0u);
  // Closing both pipes early does not end the wait before the child ends.
  EXPECT_EQ(sh("exec >&- 2>&-; sleep 0.2; exit 7").status, 7);
  EXPECT_TRUE(no_children());
}

TEST(RunCaptured, ProgramNotOnPath) {
  try {
    run_captured({"halvane-no-such-program-here"}, nullptr);
    FAIL() << "no error";
  } catch (const halvane::OSError& e) {
    EXPECT_EQ(e.err, ENOENT);
    EXPECT_EQ(e.filename, "halvane-no-such-program-here");
  }
  EXPECT_THROW(run_captured({"sh", std::string("-c\0x", 4)}, nullptr), halvane::ValueError);
  EXPECT_TRUE(no_children());
}

TEST(RunCaptured, StopKillsAndReaps) {
  int asked = 0;
  // Output keeps flowing, so the request is still looked at between reads.
  EXPECT_THROW(run_captured({"sh", "-c", "while :; do echo x; done"}, [&] { return ++asked == 3; }, 5),
               halvane::Stopped);
  EXPECT_EQ(asked, 3);
  EXPECT_TRUE(no_children());
  asked = 0;
  EXPECT_THROW(run_captured({"sh", "-c", "exec sleep 30"}, [&] { return ++asked == 2; }, 5), halvane::Stopped);
  EXPECT_TRUE(no_children());
  // A child that closed its pipes but lives on is stopped as well.
  asked = 0;
  EXPECT_THROW(run_captured({"sh", "-c", "exec >&- 2>&-; exec sleep 30"}, [&] { return ++asked == 2; }, 5),
               halvane::Stopped);
  EXPECT_TRUE(no_children());
}

TEST(RunCaptured, StopErrorsStillReap) {
  struct Boom {};
  EXPECT_THROW(run_captured({"sh", "-c", "exec sleep 30"}, [] () -> bool { throw Boom(); }, 5), Boom);
  EXPECT_TRUE(no_children());
}

#ifdef __linux__
TEST(RunCaptured, InheritsStandardInputOnly) {
  int leak[2];
  ASSERT_EQ(::pipe(leak), 0);  // deliberately without close-on-exec
  int in[2];
  ASSERT_EQ(::pipe(in), 0);
  ASSERT_EQ(::write(in[1], "fed", 3), 3);
  ::close(in[1]);
  const int saved = ::dup(0);
  ::dup2(in[0], 0);
  const std::string fds = "0 1 2 " + std::to_string(leak[0]) + " " + std::to_string(leak[1]);
  const ChildOutput r = sh("cat; echo; for f in " + fds + "; do [ -e /proc/$$/fd/$f ] && printf '%s ' $f; done; :");
  ::dup2(saved, 0);
  ::close(saved);
  ::close(in[0]);
  ::close(leak[0]);
  ::close(leak[1]);
  EXPECT_EQ(r.out.str(), "fed\n0 1 2 ");
}
#endif

}  // namespace
