// The host program's log: "[tessel-render-host]" and each argument after a
// blank, one line on standard error, written before returning. Control
// characters inside an argument are escaped (\n, \r, \xNN), so a hostile file
// name can never split or forge a line; every other byte (a path that is not
// UTF-8 included) is written as it is.
//
// A line that cannot be written (standard error full, a closed pipe) is
// dropped: logging never changes what the program does or how it ends.
//
// Thread contract: callable from any thread; each line is one write(2) call
// (retried on EINTR and short writes), so lines from different threads never
// interleave within a line.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

namespace halvane::zephan2 {

inline constexpr std::string_view LOG_PREFIX = "[tessel-render-host]";

// The bytes of one log line, line feed included.
std::string log_line(std::span<const std::string_view> args);

// Writes one log line; returns 0, or the errno of the write that failed.
int write_log(std::span<const std::string_view> args);

void elog(std::span<const std::string_view> args);
inline void elog(std::initializer_list<std::string_view> args) { elog(std::span(args.begin(), args.size())); }
inline void elog(std::string_view line) { elog({line}); }

// Writes all of `data` to file descriptor `fd`, retrying on EINTR and short
// writes; raises halvane::OSError on failure.
void write_all(int fd, const void* data, size_t n);

}  // namespace halvane::zephan2
