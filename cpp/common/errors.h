// Typed errors of the C++ cores.
//
// Each class stands for the Python exception kind that the binding layer raises
// for it, with the message unchanged, so the texts users see are fixed here at
// the point of failure. The cores never print and never end the process.
#pragma once

#include <cerrno>
#include <stdexcept>
#include <string>

namespace halvane {

struct ValueError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct RuntimeError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct IndexError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct ZeroDivisionError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// An operating-system failure: errno plus the file it concerns (may be empty).
// Raised in Python as OSError(errno, strerror, filename), which picks the
// matching subclass (FileNotFoundError, PermissionError, ...).
struct OSError : std::runtime_error {
  int err;
  std::string filename;
  OSError(int e, std::string file = {});
};

}  // namespace halvane
