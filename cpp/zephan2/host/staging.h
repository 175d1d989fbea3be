// Model staging: bundle members become files the interpreters can open.
//
// A member of a directory bundle is used in place. Any other member is copied,
// block by block, to a new file "tessel-stage-XXXXXX_<member>" in the staging
// directory and listed in the process-wide registry until the model chain
// releases it or the exit hook drops it. Member names never become paths: only
// their last component is used, as a file-name suffix.
//
// Each staged file is held under an exclusive flock for as long as it is
// listed. A host killed outright leaves its files behind unlocked; the next
// host that stages into the same directory removes such leftovers.
//
// Thread contract: the registry is guarded by a mutex; staging itself runs on
// the main thread during warm-up and the exit hook at process end.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bundle/bundle.h"
#include "common/errors.h"

namespace halvane::zephan2 {

// A model that could not be staged: the operating-system error of creating or
// filling its file (`filename` the folder or the file), with the staging
// folder and the member it was for.
struct StageFailed : halvane::OSError {
  std::string dir, member;
  StageFailed(int err, std::string file, std::string dir_, std::string member_)
      : OSError(err, std::move(file)), dir(std::move(dir_)), member(std::move(member_)) {}
};

// Registry of staged files not yet removed, oldest first.
std::vector<std::string> staged_files();

// ZEPHAN2_STAGE_DIR, created with its parents; nullopt for the system default
// temporary directory (logs once per call when the directory is unusable).
std::optional<std::string> stage_dir();

// Path of a file holding the member: the member file itself in a directory
// bundle, else a new staged file filled by `fill(fd)`. A stop signal is acted
// on between blocks. A staged file whose filling fails is removed at once and
// the error propagates; an operating-system error without a filename (a failed
// write of the staged file) as StageFailed.
std::string stage_tflite(std::string_view bundle, std::string_view nm, const std::function<void(int fd)>& fill);
std::string stage_member(const halvane::Bundle& bundle, const std::string& nm);

// Deletes the staged files among `paths`; others are left alone.
void release_staged(const std::vector<std::string>& paths);

// Deletes every staged file still listed, newest first; errors are ignored.
void drop_staged();

// Removes staged files in `dir` that no running host holds any more.
void sweep_stage_leftovers(const std::string& dir);

// The system's default temporary directory (TMPDIR, TEMP, TMP, then /tmp).
std::string default_temp_dir();

}  // namespace halvane::zephan2
