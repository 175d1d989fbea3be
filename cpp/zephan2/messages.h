// The texts the zephan-2 host module shows a user, in one place: the
// program's usage line, its FATAL lines for a bundle that breaks its
// contract, the log lines it writes to standard error, the colour-correction
// reports, and the messages of the errors its core and its Python bindings
// raise. Each is written here once, byte for byte as the user reads it; a
// text put together from parts is a function of those parts. The compute
// core (inference/), the program (host/) and the bindings
// (cpp/bindings/zephan2) all read them.
//
// Threading: constants and pure functions; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/text.h"

namespace halvane::zephan2::msg {

// --- the program ---
inline constexpr std::string_view USAGE =
    "usage: tessel_render_host render-stream <bundle> [--engine <dir|.engine>] [--threads N]";

inline std::string warming_up(const std::string& bundle, int64_t threads) {
  return "warming up identity=" + bundle + " threads=" + std::to_string(threads) + " ...";
}
inline std::string split_threads(int64_t threads, int64_t capped) {
  return "2-interpreter split: threads " + std::to_string(threads) + " -> " + std::to_string(capped) +
         " (<= cores/2)";
}
inline std::string stopping_on_signal(int signum) { return "stopping on signal " + std::to_string(signum); }
inline std::string ready(int64_t width, int64_t height, int64_t fps, std::string_view model) {
  return "ready " + std::to_string(width) + "x" + std::to_string(height) + " @" + std::to_string(fps) +
         "fps  model=" + std::string(model);
}
inline std::string bad_step(uint32_t word) { return "bad step size " + std::to_string(word) + " — protocol desync"; }
// rtf and fps as the caller formatted them.
inline std::string rtf_line(const std::string& rtf, int64_t chunks, const std::string& fps) {
  return "rtf=" + rtf + " chunks=" + std::to_string(chunks) + " fps=" + fps;
}
inline constexpr std::string_view kStdinClosed = "stdin closed — exiting";
// An operating-system error as Python words it: "[Errno N] reason".
inline std::string errno_text(int err, std::string_view reason) {
  return "[Errno " + std::to_string(err) + "] " + std::string(reason);
}
inline std::string stage_dir_unusable(const std::string& dir, int err, const char* strerror_text,
                                      const std::string& path) {
  return "ZEPHAN2_STAGE_DIR=" + halvane::py_repr(dir) + " unusable (" + errno_text(err, strerror_text) + ": " +
         halvane::py_repr(path) + ") — staging in the default temp dir instead";
}

// --- the program's end on an operating-system failure (exit status 1) ---
inline std::string stage_failed(std::string_view member, const std::string& dir, const std::string& why) {
  return "cannot stage " + std::string(member) + " in " + halvane::py_repr(dir) + ": " + why;
}
inline std::string stdout_failed(const std::string& why) { return "cannot write standard output: " + why; }
// Any other: the reason, then the file it concerns when there is one.
inline std::string os_failed(const std::string& why, const std::string& file) {
  return file.empty() ? why : why + ": " + halvane::py_repr(file);
}

// --- FATAL: a bundle that breaks its contract (exit status 3) ---
inline std::string no_canon(const std::string& bundle) {
  return "FATAL: no canon.bin in " + bundle + " (per-identity canon latent required)";
}
inline std::string canon_size(uint64_t floats, int64_t expected) {
  return "FATAL: canon.bin has " + std::to_string(floats) + " floats, expected " + std::to_string(expected);
}
inline std::string damaged(const std::string& bundle, const std::string& why) {
  return "FATAL: " + bundle + " is a damaged container (" + why + "); re-emit it with tools/imx_from_bundle";
}
// `why` of damaged() for a member that reaches past the end of the file.
inline std::string member_past_end(const std::string& name, uint64_t size, uint64_t offset, uint64_t file_size) {
  return "member " + halvane::py_repr(name) + " declares " + std::to_string(size) + " bytes at offset " +
         std::to_string(offset) + ", past the end of the file at " + std::to_string(file_size);
}
inline std::string no_policy(const std::string& bundle, const std::string& policy_why) {
  return "FATAL: " + bundle +
         " is a two-artifact split, but this engine has no shared_enc_dep (the base-verification policy) — "
         "searched the repo tools/ dir and this host's own directory (" +
         policy_why +
         "). Without it the base pairing cannot be verified, and an unverified pairing renders a different "
         "face with no error. Vendor tools/shared_enc_dep beside this host in the engine artifact. (The "
         "combined-member path does not need it and is unaffected.)";
}
inline std::string undeclared_base(const std::string& bundle, const std::string& shared_enc_id) {
  return "FATAL: " + bundle + " carries identity.tflite (the two-artifact split's DELTA half) and declares no " +
         halvane::py_repr(shared_enc_id) +
         " base in its manifest dependencies[], and carries no shared-enc.tflite of its own. There is "
         "no way to tell which shared-enc.tflite it was cut against, and the wrong one renders a DIFFERENT FACE "
         "with no error (measured 2026-09-01: 181 of 181 frames wrong, silently). Re-emit the container with "
         "tools/imx_from_bundle, which stamps the base content address.";
}
inline std::string base_missing(const std::string& bundle, const std::string& want, const std::string& how) {
  return "FATAL: " + bundle + " was cut against shared-enc.tflite sha256=" + want +
         " and that base is NOT on this machine. Resolution: " + how +
         ". Put it in the content store (${HALVANE_DEPS_DIR} or ~/.halvane/deps, as <store>/" + want +
         " or <store>/" + std::string(halvane::utf8_prefix(want, 2)) + "/" + want +
         "), or pass --engine <dir|.engine> holding exactly that base. A base with the right NAME and the "
         "wrong CONTENT is refused here on purpose.";
}
inline std::string no_shared_enc(const std::string& bundle) {
  return "FATAL: " + bundle +
         " carries identity.tflite (two-artifact split) but no engine shared-enc.tflite was found. Provide it "
         "via --engine <dir|.engine>, ZEPHAN2_SHARED_ENC=<file>, or install the linux engine (`halvane engine "
         "install linux`) into ~/.halvane/engines/.";
}
inline std::string unexpected_tflite(const std::string& bundle, const std::vector<std::string>& odd,
                                     const std::string& combined) {
  return "FATAL: " + bundle + " carries UNEXPECTED tflite member(s) " + halvane::py_list_repr(odd) +
         " and none of the contract renderers. zephan-2 names exactly two renderer shapes: " + combined +
         ", OR identity.tflite + an engine shared-enc.tflite. Other .tflite names are not loaded: re-pack the "
         "member under its contract name.";
}
inline std::string no_tflite(const std::string& bundle, const std::string& combined) {
  return "FATAL: no LiteRT tflite member in " + bundle + " (expected " + combined +
         ", OR identity.tflite + an engine shared-enc.tflite; convert-on-first-run from onnx/ckpt is not wired "
         "in v1)";
}

// --- the shared encoder of a two-artifact split ---
inline std::string base_by_address(const std::string& want12, const std::string& how) {
  return "two-artifact split: base sha256=" + want12 +
         "… resolved by CONTENT ADDRESS (name-trusted, NOT re-hashed, per dependency_resolver) via " + how;
}
inline std::string base_verified(const std::string& want12, const std::string& how) {
  return "two-artifact split: base sha256=" + want12 + "… VERIFIED (bytes hashed) via " + how;
}
inline std::string base_unverified(const std::string& shared_enc_id) {
  return "two-artifact split: base UNVERIFIED (artifact declares no " + halvane::py_repr(shared_enc_id) +
         " dependency; using the bundle's own copy) — re-emit with tools/imx_from_bundle to bind it";
}
inline std::string split_paths(const std::string& enc, const std::string& id) {
  return "two-artifact split: enc=" + enc + " + id=" + id;
}
// How a base was found (or why each candidate was refused), for the lines
// above and base_missing().
inline std::string found_in_store(const std::string& p) { return "name-trusted content store " + p; }
inline std::string found_colocated(const std::string& bundle) { return "co-located in " + bundle; }
inline constexpr const char* kColocatedLabel = "co-located in the bundle";
inline constexpr const char* kEngineDirLabel = "engine dir";
inline constexpr const char* kExplicitFileLabel = "explicit file";
inline std::string found_in_engine_dir(const std::string& dir) { return "engine dir " + dir; }
inline std::string found_explicit(const std::string& file) { return "explicit file " + file; }
inline std::string container_label(const std::string& c) { return "container " + c; }
inline std::string sha_mismatch(const std::string& path, const std::string& label) {
  return path + " (" + label + "): sha mismatch";
}
inline constexpr std::string_view kNoCandidate = "no candidate found";

// --- colour correction (prefix: COLOR_LOG_PREFIX) ---
inline std::string color_disabled(std::string_view prefix, std::string_view env) {
  return std::string(prefix) + " DISABLED by " + std::string(env) +
         "=0 — the frames are the RAW model output and will NOT match a live session's colours. "
         "This switch exists to isolate the renderer for measurement; it is not a serving mode.";
}
inline std::string color_not_applied(std::string_view prefix, const std::string& why) {
  return std::string(prefix) + " NOT APPLIED — " + why +
         ". The frames are the raw model output. A container carries the correction only if its "
         "producer packed one, so this says nothing about whether the identity HAS one; it is not "
         "an error and the render proceeds.";
}
inline std::string color_applied(std::string_view prefix, const std::string& description) {
  return std::string(prefix) + " APPLIED — " + description;
}
inline constexpr const char* kLutHasNoTable = "colour correction of kind 'lut' has no table";
inline std::string needs_gain_and_bias(const std::string& kind) {
  return "colour correction of kind " + halvane::py_repr(kind) + " needs both gain and bias";
}
inline constexpr const char* kLutDescription = "per-channel LUT (model->driver), deviation from identity: ";
inline std::string gain_bias_description(const std::string& gain, const std::string& bias) {
  return "per-channel gain=" + gain + " bias=" + bias;
}
inline std::string color_values_count(std::string_view what, size_t n, const std::string& got) {
  return std::string(what) + " must hold " + std::to_string(n) + " values, got " + got;
}
inline std::string apply_dtype(const std::string& dtype) { return "apply expects a uint8 array, got " + dtype; }
inline std::string apply_shape(const std::string& shape) {
  return "apply expects pixels of 3 channels (last axis 3), got shape " + shape;
}

// --- threads ---
inline std::string thread_count_range(std::string_view what, std::string_view text) {
  return std::string(what) + "=" + halvane::py_repr(text) + " is out of range for a thread count";
}
inline constexpr const char* kRequestedThreadsRange = "requested thread count is out of range";
inline constexpr const char* kInterpretersNotInt = "n_interpreters must be an integer";
inline std::string rgb_threads_not_int(std::string_view env, std::string_view text) {
  return std::string(env) + "=" + halvane::py_repr(text) + " is not an integer — using the default";
}

// --- the compute core's and the bindings' refusals ---
inline constexpr const char* kOddBuffer = "buffer size must be a multiple of element size";
inline constexpr const char* kUnsupportedElementType = "array of an unsupported element type";
inline std::string missing_signatures(const std::vector<std::string>& missing, const std::vector<std::string>& paths,
                                      const std::vector<std::string>& have) {
  return "LiteRT chain missing signature(s) " + halvane::py_list_repr(missing) + " across " +
         halvane::py_list_repr(paths) + " (have " + halvane::py_list_repr(have) +
         "); need combined_litert.tflite OR shared-enc.tflite + identity.tflite";
}
inline constexpr const char* kHistoryShape = "history must be float32 (1, 16, 16, 90, 52)";
inline constexpr const char* kHistoryWriteable = "history must be a writeable C-contiguous float32 array";
inline std::string decoder_rows(int64_t rows, int64_t requested) {
  return "decoder inputs hold " + std::to_string(rows) + " rows, " + std::to_string(requested) + " requested";
}
inline constexpr const char* kNoPreparedInputs = "no inputs were prepared in place";
inline constexpr const char* kConsumedContext = "consumed audio context requested";
inline constexpr const char* kPlanarDtype = "a planar frame must hold float32 or float64 values";
inline std::string planar_shape(const std::string& shape) {
  return "a planar frame must have shape (3, H, W), got " + shape;
}
inline constexpr const char* kU8Array = "u8 must be a writeable C-contiguous uint8 array of shape (n, 720, 416, 3)";
inline constexpr const char* kFrameIndexRange = "frame index out of range";
inline constexpr const char* kU8TooFewRows = "u8 has fewer rows than frames";
inline constexpr const char* kFrameIndex32 = "frame index out of the 32-bit range";
inline constexpr const char* kPositiveCapacity = "positive capacity required";
inline constexpr const char* kNonnegativeOffset = "nonnegative absolute sample offset required";
inline constexpr const char* kCapacityBelowLive = "capacity below the live count";
inline constexpr const char* kOneDimensionalPcm = "one-dimensional PCM required";
inline constexpr const char* kWsolaNotFinite = "tempo_wsola: output length is not finite";
inline constexpr const char* kWsolaOneDimensional = "tempo_wsola expects a one-dimensional block of samples";
inline constexpr const char* kPolicyNotLoaded = "the base-verification policy is not loaded";

// Python's and NumPy's own texts, for the errors the code this core
// replaced raised through them.
inline std::string invalid_int_literal(std::string_view text) {
  return "invalid literal for int() with base 10: " + halvane::py_repr(text);
}
inline std::string cannot_reshape(size_t size, int64_t rows, int64_t cols) {
  return "cannot reshape array of size " + std::to_string(size) + " into shape (" + std::to_string(rows) + "," +
         std::to_string(cols) + ")";
}
inline constexpr const char* kListIndexRange = "list index out of range";
inline constexpr const char* kFloatDivisionByZero = "float division by zero";

}  // namespace halvane::zephan2::msg
