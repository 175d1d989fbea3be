// The host's one log function: "[tessel-render-host]" and each argument after a
// blank, one line on standard error, written and flushed before returning.
// Control characters inside an argument are escaped (\n, \r, \xNN), so a
// hostile file name can never split or forge a line.
//
// Thread contract: callable from any thread; each line is one write(2) call
// (retried on EINTR and short writes), so lines from different threads never
// interleave within a line. A failed write raises halvane::OSError.
#pragma once

#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

namespace z2 {

inline constexpr std::string_view LOG_PREFIX = "[tessel-render-host]";

void elog(std::span<const std::string_view> args);
inline void elog(std::initializer_list<std::string_view> args) { elog(std::span(args.begin(), args.size())); }
inline void elog(std::string_view line) { elog({line}); }

// Writes all of `data` to file descriptor `fd`, retrying on EINTR and short
// writes; raises halvane::OSError on failure.
void write_all(int fd, const void* data, size_t n);

}  // namespace z2
