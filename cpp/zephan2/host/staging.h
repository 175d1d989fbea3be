// Model staging: container members become files the interpreters can open.
//
// A member of a directory bundle is used in place. Any other member's bytes go
// to a new temporary file ("..._<last component of the member name>") in the
// staging directory, and the file is listed in the process-wide registry until
// the model chain releases it or the exit hook drops it. Member names never
// become paths: only their last component is used, as a file-name suffix.
//
// Thread contract: the registry is guarded by a mutex; staging itself runs on
// the main thread during warm-up and the exit hook at process end.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace z2 {

// Registry of staged files not yet removed, oldest first.
std::vector<std::string> staged_files();

// ZEPHAN2_STAGE_DIR, created with its parents; nullopt for the system default
// temporary directory (logs once per call when the directory is unusable).
std::optional<std::string> stage_dir();

// Path of a file holding the member: the member file itself in a directory
// bundle, else a new staged file. A staged file whose writing fails is removed
// at once and the error (halvane::OSError) propagates.
std::string stage_tflite(std::string_view bundle, std::string_view nm, std::span<const unsigned char> data);
inline std::string stage_tflite(std::string_view bundle, std::string_view nm, const std::string& data) {
  return stage_tflite(bundle, nm, {reinterpret_cast<const unsigned char*>(data.data()), data.size()});
}

// Deletes the staged files among `paths`; others are left alone.
void release_staged(const std::vector<std::string>& paths);

// Deletes every staged file still listed, newest first; errors are ignored.
void drop_staged();

// The system's default temporary directory (TMPDIR, TEMP, TMP, then /tmp).
std::string default_temp_dir();

}  // namespace z2
