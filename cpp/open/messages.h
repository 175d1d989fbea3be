// The texts the offline interface (halvane._open) shows a user, in one
// place: the messages of open()'s refusals, of the audio intake and of a
// render's failures, the reasons a render ended, and its statistics log
// line. Each is written here once, byte for byte as the user reads it; a text
// that is put together from parts has its parts here, or a function that puts
// them together. The core (cpp/open) and the bindings (cpp/bindings/open)
// both read them.
//
// Threading: constants and pure functions; any thread.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace halvane::open {

// --- open() ---
inline constexpr const char* kNotText = "open() takes the path of an avatar; got ";  // + type name
inline constexpr const char* kEmpty = "open() needs an avatar to open";
inline constexpr const char* kNoAvatar = "no avatar at ";  // + path
inline constexpr const char* kUnusable = "that is not a usable avatar";
inline constexpr const char* kNotPrepared = "could not prepare that avatar";
// The cloud renderer that the refusals below point to.
inline constexpr const char* kService = "halvane cloud renderer";
// A service code that names no file here.
inline std::string held_message(const std::string& code) {
  return code +
         " names an avatar held by the service, and this package renders an avatar that is on this machine. "
         "Run `python -m halvane render " +
         code + " <audio>` to fetch it and render it here, or render it in the cloud with the " + kService +
         " (POST /v1/video/generate).";
}
// An avatar of an engine this machine cannot run.
inline std::string cannot_run_message() {
  return std::string("that avatar cannot run on this machine. Render it in the cloud with the ") + kService +
         " (POST /v1/video/generate), or open it on Apple Silicon macOS or Linux.";
}

// --- the avatar cache and the engines ---
inline constexpr const char* kNoManifestMember = "the avatar has no member \"manifest.json\"";
// An avatars folder the cache will not use: kCacheFolder + its path + why.
inline constexpr const char* kCacheFolder = "the avatar cache folder ";
inline constexpr const char* kCacheFolderOthersOwn =
    " belongs to another user; set HALVANE_CACHE_DIR to a folder of your own";
inline constexpr const char* kCacheFolderOthersWrite =
    " can be written by other users; make it writable by you alone (chmod go-w) or set HALVANE_CACHE_DIR to "
    "a folder of your own";
inline constexpr const char* kOddBuffer = "buffer size must be a multiple of element size";
// Formats of a file status record's TypeErrors: field name, type name.
inline constexpr const char* kStampMissingFormat = "a file status record needs %s; got a %s without it";
inline constexpr const char* kStampNotIntFormat = "%s of a file status record must be an int, not %s";
inline constexpr const char* kNoProgram = "a program to run is required";

// --- audio intake ---
inline constexpr const char* kTypeMessage =  // + type name
    "audio must be 16 kHz mono samples (bytes / int16 or float array), an audio file path, or an iterable of "
    "those; got ";
inline constexpr const char* kArrayMessage = "audio arrays must be int16, or float32/float64 in [-1, 1]; got ";
// An array of a shape that does not tell its channels: kChannelShapeMessage
// (common/channels.h), the live interface's text too.
inline constexpr const char* kUnreadable = "could not read that audio";
inline constexpr const char* kNoSamples = "no audio in that file";
inline constexpr const char* kNoFile = "no audio at ";                  // + path
inline constexpr const char* kNotANumber = " must be a number, not ";  // name + this + type name
// Audio that decodes past the intake's limit of `seconds`: "that audio runs
// longer than 4 hours, the longest a render takes".
inline std::string too_long_message(int64_t seconds) {
  const auto count = [](int64_t n, const char* unit) {
    return std::to_string(n) + " " + unit + (n == 1 ? "" : "s");
  };
  const std::string limit = seconds % 3600 == 0 ? count(seconds / 3600, "hour")
                            : seconds % 60 == 0  ? count(seconds / 60, "minute")
                                                 : count(seconds, "second");
  return "that audio runs longer than " + limit + ", the longest a render takes";
}

// --- a render ---
inline constexpr const char* kAvatarClosed = "this avatar is closed";
inline constexpr const char* kRenderStopped = "the render stopped";
inline constexpr const char* kStatsLog =
    "halvane: render %d frames in %.2f s = %.1f fps steady state (first audio push -> last frame; model load excluded)";
inline constexpr const char* NO_FRAMES_MESSAGE =
    "no frames came out of that render — check that the audio has speech in it, then try again";
inline constexpr const char* kReasonNotRecorded = "not recorded";

inline std::string no_frames_detail(std::string_view engine_id) {
  std::string s = "engine=";
  s += engine_id;
  s += " delivered 0 frames";
  return s;
}

inline std::string stopped_early_message(int64_t delivered, int64_t expected) {
  return "that render stopped early — " + std::to_string(delivered) + " frames came out of the " +
         std::to_string(expected) + " this audio should produce, so the video would be short. Render it again.";
}

inline std::string stopped_early_detail(std::string_view engine_id, int64_t delivered, int64_t expected,
                                        int64_t floor, std::string_view fps_text, std::string_view reason_text) {
  std::string s = "engine=";
  s += engine_id;
  s += " delivered " + std::to_string(delivered) + " frames, expected >= " + std::to_string(floor) +
       " (audio implies " + std::to_string(expected) + " at ";
  s += fps_text;
  s += " fps); the render ended on: ";
  s += reason_text;
  return s;
}

// Why a render ended before its engine's frames ran out: another render of
// its avatar took the engine, or the avatar was closed.
inline constexpr const char* kSuperseded = "a later render of this avatar started before this one ended";
inline constexpr const char* kClosedUnder = "the avatar was closed";
// A render step after the interpreter began to exit.
inline constexpr const char* kExiting = "the interpreter is exiting";

// A render that stopped early where the audio implies no frame count.
inline std::string stopped_early_uncounted_message(int64_t delivered) {
  return "that render stopped early — " + std::to_string(delivered) +
         " frames came out before it ended, so the video would be short. Render it again.";
}

inline std::string stopped_early_uncounted_detail(std::string_view engine_id, int64_t delivered,
                                                  std::string_view reason_text) {
  std::string s = "engine=";
  s += engine_id;
  s += " delivered " + std::to_string(delivered) + " frames; the render ended on: ";
  s += reason_text;
  return s;
}

// --- why the last render of a session engine ended ---
inline constexpr std::string_view kUnfinished = "unfinished";
inline constexpr std::string_view kReturnedToRest = "idle-frame (avatar returned to rest)";
inline constexpr std::string_view kNoSpeech = "no-speech-in-utterance";

// "quiet-deadline (<quiet, no decimals>s with no frame)"; a half rounds to
// even, as the exact binary value of `quiet` says.
inline std::string quiet_deadline_reason(double quiet) {
  const int n = std::snprintf(nullptr, 0, "%.0f", quiet);
  std::vector<char> digits(static_cast<size_t>(n) + 1);
  std::snprintf(digits.data(), digits.size(), "%.0f", quiet);
  return "quiet-deadline (" + std::string(digits.data(), static_cast<size_t>(n)) + "s with no frame)";
}

}  // namespace halvane::open
