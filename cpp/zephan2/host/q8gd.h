// The int8-decoder variant of a combined bundle ("combined_litert_q8gd.tflite")
// and whether to serve it instead of the combined member: only for a
// directory bundle holding it as a file, when ZEPHAN2_Q8GD does not turn it
// off, the processor has an int8 dot product, the manifest binds the variant
// to this very combined member, the running LiteRT runtime is the one the
// variant was gated on (or no gate is recorded), and its bytes hash to the
// declared digest. Cheapest checks first; the variant is hashed last.
//
// Every answer but "does not apply" carries one "[q8gd]" report line; nothing
// here fails: every error ends in serving the combined member.
//
// Thread contract: reentrant; reads files and the environment.
#pragma once

#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include <nlohmann/json_fwd.hpp>

namespace z2 {

// An error of a Python kind the common error types do not cover
// ("AttributeError", "TypeError", "UnicodeDecodeError", "JSONDecodeError",
// "RecursionError"), with Python's message text. The selection's guard reports
// it as "{kind}: {message}"; the binding raises it as that kind.
struct Q8gdError : std::runtime_error {
  std::string kind;
  Q8gdError(std::string kind, const std::string& message);
};

// The installed "ai-edge-litert" version text, or nullopt when unreadable.
using RuntimeVersionFn = std::function<std::optional<std::string>()>;

struct Q8gdChoice {
  std::optional<std::string> path;  // the variant file to serve
  std::string report;               // empty when the selection does not apply
};

// Every std::exception raised inside, the hook's included, ends in the
// "{kind}: {message}" FALLBACK answer; anything else (an interruption the hook
// passes on) propagates.
Q8gdChoice select_q8gd(const std::string& bundle, const RuntimeVersionFn& runtime_version,
                       const std::string& cpuinfo = "/proc/cpuinfo");

// First of INT8_DOT_FLAGS on the first "flags" line, or nullopt. A file that
// cannot be opened or read gives nullopt; a "flags" line without ":" raises
// halvane::IndexError.
std::optional<std::string> int8_dot_isa(const std::string& cpuinfo = "/proc/cpuinfo");

// (declared variant digest, "bound") or (nullopt, reason). A manifest or
// "members_sha256" value that is neither empty nor an object raises
// Q8gdError("AttributeError").
std::pair<std::optional<nlohmann::json>, std::string> q8gd_bound(const nlohmann::json& manifest);

// (true/false, reason). A non-empty "litert_q8gd" value that is not an object
// raises Q8gdError("AttributeError").
std::pair<bool, std::string> q8gd_runtime_ok(const nlohmann::json& manifest, const std::optional<std::string>& running);

// SHA-256 of a file, streamed in 4 MiB blocks, as 64 lower-case hex digits.
// Raises halvane::OSError when the file cannot be read.
std::string file_sha256(const std::string& path);

}  // namespace z2
