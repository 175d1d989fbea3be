#include "zephan2/host/shared_enc.h"

#include <dirent.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "common/errors.h"
#include "common/fs.h"
#include "zephan2/host/bundle_loader.h"
#include "zephan2/host/staging.h"
#include "zephan2/messages.h"

namespace halvane::zephan2 {

namespace {

constexpr const char* kSharedEnc = "shared-enc.tflite";

using halvane::is_dir;
using halvane::is_regular_file;
using halvane::join_path;

std::string home_dir() {
  if (const char* h = std::getenv("HOME"); h && *h) return h;
  if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) return pw->pw_dir;
  return "~";
}

// ~/.halvane/engines/<entry>/shared-enc.tflite for every entry that has one,
// entries in code-point order.
std::vector<std::string> engine_dir_candidates() {
  const std::string dir = home_dir() + "/.halvane/engines";
  if (!is_dir(dir)) return {};
  DIR* d = ::opendir(dir.c_str());
  if (!d) throw halvane::OSError(errno, dir);
  std::vector<std::string> names;
  errno = 0;
  while (const dirent* e = ::readdir(d)) {
    const std::string n = e->d_name;
    if (n != "." && n != "..") names.push_back(n);
  }
  const int err = errno;
  ::closedir(d);
  if (err) throw halvane::OSError(err, dir);
  std::sort(names.begin(), names.end());
  std::vector<std::string> out;
  for (const std::string& n : names)
    if (const std::string p = join_path(join_path(dir, n), kSharedEnc); is_regular_file(p)) out.push_back(p);
  return out;
}

}  // namespace

bool is_store_digest(const std::string& sha) {
  return sha.size() == 64 &&
         std::all_of(sha.begin(), sha.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

std::optional<std::string> declared_base_sha(const halvane::Bundle& bundle, BasePolicy* policy) {
  if (!policy) return std::nullopt;
  try {
    if (!bundle.has("manifest.json")) return std::nullopt;
    return policy->declared_sha(bundle.read("manifest.json", METADATA_MAX_BYTES));
  } catch (const std::exception&) {
    return std::nullopt;  // an unreadable bundle declares nothing
  }
}

SharedEnc resolve_shared_enc(const halvane::Bundle& bundle, const std::optional<std::string>& engine,
                             const std::optional<std::string>& want_sha, BasePolicy& policy) {
  std::vector<std::string> rejected;
  auto ok = [&](const std::string& p, const std::string& label) {
    if (!want_sha || policy.verify_base(p, *want_sha)) return true;
    rejected.push_back(msg::sha_mismatch(p, label));
    return false;
  };

  // A manifest decides the digest, so only a well-formed one may name a
  // store path: nothing in a manifest can point the host outside the store.
  if (want_sha && is_store_digest(*want_sha))
    for (const std::string& p : policy.store_candidates(*want_sha))
      if (is_regular_file(p)) return {p, msg::found_in_store(p), true};

  if (bundle.has(kSharedEnc)) {
    const std::string p = stage_member(bundle, kSharedEnc);
    if (ok(p, msg::kColocatedLabel)) return {p, msg::found_colocated(bundle.path())};
  }

  std::vector<std::string> cands;
  if (engine && !engine->empty()) cands.push_back(*engine);
  for (const char* var : {"ZEPHAN2_SHARED_ENC", "ZEPHAN2_ENGINE_DIR", "ZEPHAN2_ANE_ENGINE"})
    if (const char* v = std::getenv(var); v && *v) cands.emplace_back(v);
  for (std::string& p : engine_dir_candidates()) cands.push_back(std::move(p));

  for (const std::string& c : cands) {
    if (is_dir(c)) {
      const std::string p = join_path(c, kSharedEnc);
      if (is_regular_file(p) && ok(p, msg::kEngineDirLabel)) return {p, msg::found_in_engine_dir(c)};
    } else if (is_regular_file(c)) {
      if (halvane::last_component(c) == kSharedEnc) {
        if (ok(c, msg::kExplicitFileLabel)) return {c, msg::found_explicit(c)};
      } else if (const halvane::Bundle container(c); container.has(kSharedEnc)) {
        const std::string p = stage_member(container, kSharedEnc);
        const std::string label = msg::container_label(c);
        if (ok(p, label)) return {p, label};
      }
    }
  }

  std::string how;
  for (size_t i = 0; i < rejected.size(); ++i) how += (i ? "; " : "") + rejected[i];
  return {std::nullopt, rejected.empty() ? std::string(msg::kNoCandidate) : how};
}

}  // namespace halvane::zephan2
