// Where the host module lives on disk, and the two directories from which the
// base-verification policy is loaded: "tools" three levels above the module's
// directory (resolved textually, links untouched), then the module's own.
//
// Thread contract: reentrant.
#pragma once

#include <array>
#include <string>

namespace halvane::zephan2 {

// Absolute directory of the shared object that holds this code.
std::string host_module_dir();

// POSIX normpath of an absolute or relative path, made absolute against the
// current directory: "." and ".." resolved textually.
std::string abspath(const std::string& p);

std::array<std::string, 2> policy_candidates(const std::string& module_dir);

}  // namespace halvane::zephan2
