#include "open/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <chrono>
#include <cstring>

#include "common/errors.h"
#include "open/messages.h"

extern char** environ;

namespace halvane::open {

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kBlock = Captured::kBlock;
constexpr int kPipeBytes = 1 << 20;

void close_fd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// Both ends close-on-exec and above the standard descriptors, so that the
// dup2 onto 1 and 2 in the child always makes a fresh, inheritable copy.
void make_pipe(int fds[2]) {
#ifdef __linux__
  if (::pipe2(fds, O_CLOEXEC) != 0) throw OSError(errno);
#else
  if (::pipe(fds) != 0) throw OSError(errno);
  for (int i = 0; i < 2; ++i) ::fcntl(fds[i], F_SETFD, FD_CLOEXEC);
#endif
  for (int i = 0; i < 2; ++i) {
    if (fds[i] > 2) continue;
    const int high = ::fcntl(fds[i], F_DUPFD_CLOEXEC, 3);
    if (high < 0) {
      const int e = errno;
      ::close(fds[0]);
      ::close(fds[1]);
      throw OSError(e);
    }
    ::close(fds[i]);
    fds[i] = high;
  }
}

// The descriptors of one run, closed whatever happens.
struct Pipes {
  int out[2] = {-1, -1};
  int err[2] = {-1, -1};
  ~Pipes() {
    for (int* p : {out, err})
      for (int i = 0; i < 2; ++i) close_fd(p[i]);
  }
};

struct SpawnSetup {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  SpawnSetup() {
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
  }
};

// Kills (unless it already ended) and reaps the child when the run is left
// without having reaped it.
struct Reaper {
  pid_t pid;
  bool reaped = false;
  int raw_status = 0;

  ~Reaper() {
    if (!reaped) kill_and_reap();
  }
  void kill_and_reap() {
    ::kill(pid, SIGKILL);
    wait_blocking();
  }
  void wait_blocking() {
    while (::waitpid(pid, &raw_status, 0) < 0 && errno == EINTR) {
    }
    reaped = true;
  }
  bool try_wait() {
    const pid_t r = ::waitpid(pid, &raw_status, WNOHANG);
    if (r == pid || (r < 0 && errno != EINTR)) reaped = true;
    return reaped;
  }
};

int exit_status(int raw) {
  if (WIFEXITED(raw)) return WEXITSTATUS(raw);
  if (WIFSIGNALED(raw)) return -WTERMSIG(raw);
  return raw;
}

// Reads what is there from `fd` onto `dst`; false at end of file.
bool drain_once(int fd, Captured& dst) {
  size_t room = 0;
  char* p = dst.room(room);
  ssize_t n;
  do {
    n = ::read(fd, p, room);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
    throw OSError(errno);
  }
  dst.commit(static_cast<size_t>(n));
  return n > 0;
}

pid_t spawn(const std::vector<std::string>& argv, Pipes& p) {
  SpawnSetup s;
  posix_spawn_file_actions_adddup2(&s.actions, p.out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&s.actions, p.err[1], STDERR_FILENO);
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
  // Descriptors of the caller that lack close-on-exec stay out of the child too.
  posix_spawn_file_actions_addclosefrom_np(&s.actions, 3);
#elif defined(__APPLE__)
  flags |= POSIX_SPAWN_CLOEXEC_DEFAULT;
  posix_spawn_file_actions_addinherit_np(&s.actions, STDIN_FILENO);
#endif
  // The child starts with no blocked signals, and with the default action for
  // the signals an interpreter commonly ignores (a broken pipe must end it).
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGXFSZ);
  posix_spawnattr_setsigmask(&s.attr, &none);
  posix_spawnattr_setsigdefault(&s.attr, &defaults);
  posix_spawnattr_setflags(&s.attr, flags);

  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  const int rc = ::posix_spawnp(&pid, args[0], &s.actions, &s.attr, args.data(), environ);
  if (rc != 0) throw OSError(rc, argv[0]);
  return pid;
}

}  // namespace

void Captured::Unmap::operator()(char* p) const noexcept { ::munmap(p, kBlock); }

char* Captured::room(size_t& n) {
  const size_t used = size_ % kBlock;
  if (used == 0 && blocks_.size() * kBlock == size_) {
    void* p = ::mmap(nullptr, kBlock, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    blocks_.emplace_back(static_cast<char*>(p));
  }
  n = kBlock - used;
  return blocks_.back().get() + used;
}

void Captured::append(const char* p, size_t n) {
  while (n > 0) {
    size_t room_left = 0;
    char* dst = room(room_left);
    const size_t k = std::min(n, room_left);
    std::memcpy(dst, p, k);
    commit(k);
    p += k;
    n -= k;
  }
}

void Captured::move_to(char* dst) {
  size_t left = size_;
  for (auto& b : blocks_) {
    const size_t n = std::min(left, kBlock);
    std::memcpy(dst, b.get(), n);
    dst += n;
    left -= n;
    b.reset();
  }
  blocks_.clear();
  size_ = 0;
}

void Captured::copy_to(char* dst) const {
  size_t left = size_;
  for (const auto& b : blocks_) {
    const size_t n = std::min(left, kBlock);
    std::memcpy(dst, b.get(), n);
    dst += n;
    left -= n;
  }
}

std::string Captured::str() const {
  std::string s(size_, '\0');
  copy_to(s.data());
  return s;
}

ChildOutput run_captured(const std::vector<std::string>& argv, const StopCheck& stop, int check_ms,
                         size_t out_limit) {
  if (argv.empty() || argv[0].empty()) throw ValueError(kNoProgram);
  for (const auto& a : argv)
    if (a.find('\0') != std::string::npos) throw ValueError("embedded null byte");
  if (check_ms < 1) check_ms = 1;
  const auto interval = std::chrono::milliseconds(check_ms);

  Pipes p;
  make_pipe(p.out);
  make_pipe(p.err);
  Reaper child{spawn(argv, p)};
  close_fd(p.out[1]);
  close_fd(p.err[1]);

  ChildOutput r;
  auto next_check = Clock::now() + interval;
  auto stop_now = [&] {
    next_check = Clock::now() + interval;
    if (!stop || !stop()) return;
    child.kill_and_reap();
    throw Stopped();
  };

#ifdef F_SETPIPE_SZ
  // A larger pipe for the samples lets the child write on while this side
  // is between reads (best effort).
  ::fcntl(p.out[0], F_SETPIPE_SZ, kPipeBytes);
#endif
  int* fds[2] = {&p.out[0], &p.err[0]};
  Captured* dst[2] = {&r.out, &r.err};
  while (p.out[0] >= 0 || p.err[0] >= 0) {
    pollfd pf[2];
    int which[2];
    nfds_t n = 0;
    for (int i = 0; i < 2; ++i) {
      if (*fds[i] < 0) continue;
      pf[n] = {*fds[i], POLLIN, 0};
      which[n++] = i;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(next_check - Clock::now()).count();
    const int ready = ::poll(pf, n, left > 0 ? static_cast<int>(left) : 0);
    if (ready < 0) {
      if (errno != EINTR) throw OSError(errno);
      stop_now();
      continue;
    }
    for (nfds_t k = 0; k < n; ++k) {
      if (!(pf[k].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL))) continue;
      const int i = which[k];
      if (!drain_once(*fds[i], *dst[i])) close_fd(*fds[i]);
      if (r.out.size() > out_limit) {  // each read takes at most a block: the limit and one block at most
        child.kill_and_reap();
        throw OutputPastLimit();
      }
    }
    if (Clock::now() >= next_check) stop_now();
  }

  // Both pipes are at their end; the child is normally gone by now. Wait for
  // it in short naps so that a stop request is still honoured.
  auto nap = std::chrono::microseconds(100);
  while (!child.try_wait()) {
    if (Clock::now() >= next_check) {
      stop_now();
      continue;
    }
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(next_check - Clock::now());
    const auto d = std::min(nap, left);
    timespec ts{static_cast<time_t>(d.count() / 1000000), static_cast<long>((d.count() % 1000000) * 1000)};
    if (::nanosleep(&ts, nullptr) != 0 && errno == EINTR) stop_now();
    nap = std::min(nap * 2, std::chrono::microseconds(20000));
  }
  r.status = exit_status(child.raw_status);
  return r;
}

}  // namespace halvane::open
