#include "zephan2/host/bundle_loader.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "common/errors.h"
#include "common/fs.h"
#include "common/text.h"
#include "zephan2/host/staging.h"
#include "zephan2/inference/constants.h"
#include "zephan2/host/log.h"

namespace halvane::zephan2 {

void fatal(const std::string& text) {
  elog(text);
  throw BundleFatal(text);
}

namespace {

constexpr std::string_view kIdentity = "identity.tflite";
constexpr std::string_view kSharedEnc = "shared-enc.tflite";

// The canon latent: its size is checked before a byte is read, and again on
// the bytes read (a file may change in between).
halvane::Tensor read_canon(const halvane::Bundle& b) {
  const auto name = b.first_of({"canon.bin", "canon.f32"});
  if (!name) fatal("FATAL: no canon.bin in " + b.path() + " (per-identity canon latent required)");
  constexpr uint64_t want = uint64_t{LC * PLANE} * 4;
  const auto check = [](uint64_t bytes) {
    if (bytes % 4 != 0) throw halvane::ValueError("buffer size must be a multiple of element size");
    if (bytes != want)
      fatal("FATAL: canon.bin has " + std::to_string(bytes / 4) + " floats, expected " + std::to_string(LC * PLANE));
  };
  check(b.size(*name));
  const std::string bytes = b.read(*name, want + 4);
  check(bytes.size());
  halvane::Tensor canon = halvane::make_f32({LC * PLANE});
  std::memcpy(canon.data, bytes.data(), bytes.size());
  return canon;
}

[[noreturn]] void damaged(const std::string& bundle, const std::string& why) {
  fatal("FATAL: " + bundle + " is a damaged container (" + why + "); re-emit it with tools/imx_from_bundle");
}

}  // namespace

halvane::Bundle open_served_bundle(const std::string& bundle) {
  std::optional<halvane::Bundle> b;
  try {
    b.emplace(bundle);
  } catch (const halvane::ValueError& e) {
    std::string_view why = e.what();
    const std::string where = halvane::py_repr(bundle) + ": ";
    if (why.starts_with(where)) why.remove_prefix(where.size());
    damaged(bundle, std::string(why));
  }
  const std::vector<halvane::ImxEntry>& toc = b->imx_table();
  if (const auto cut = halvane::imx_first_cut(toc, b->container_size())) {
    const halvane::ImxEntry& e = toc[*cut];
    damaged(bundle, "member " + halvane::py_repr(e.nm) + " declares " + std::to_string(e.size) + " bytes at offset " +
                        std::to_string(e.off) + ", past the end of the file at " +
                        std::to_string(b->container_size()));
  }
  return std::move(*b);
}

BundleLoad load_bundle(const halvane::Bundle& b, const std::optional<std::string>& engine, const LoaderEnv& env) {
  const std::string& bundle = b.path();
  BundleLoad out;
  out.canon = read_canon(b);

  const std::string combined(COMBINED_MEMBER);
  if (b.has(combined)) {
    Q8gdChoice q8 = env.select_q8gd(bundle);
    if (!q8.report.empty()) elog(q8.report);
    if (q8.path) {
      out.paths = {*q8.path};
      out.nm = halvane::last_component(*q8.path);
    } else {
      out.paths = {stage_member(b, combined)};
      out.nm = combined;
    }
    return out;
  }

  if (b.has(kIdentity)) {
    BasePolicy* policy = env.policy;
    if (!policy)
      fatal("FATAL: " + bundle +
            " is a two-artifact split, but this engine has no shared_enc_dep (the base-verification policy) — "
            "searched the repo tools/ dir and this host's own directory (" + env.policy_why +
            "). Without it the base pairing cannot be verified, and an unverified pairing renders a different "
            "face with no error. Vendor tools/shared_enc_dep beside this host in the engine artifact. (The "
            "combined-member path does not need it and is unaffected.)");
    const std::optional<std::string> want = declared_base_sha(b, policy);
    const bool colocated = b.has(kSharedEnc);
    if (!want && !colocated)
      fatal("FATAL: " + bundle + " carries identity.tflite (the two-artifact split's DELTA half) and declares no " +
            halvane::py_repr(policy->shared_enc_id()) + " base in its manifest dependencies[], and carries no shared-enc.tflite of its own. There is "
            "no way to tell which shared-enc.tflite it was cut against, and the wrong one renders a DIFFERENT FACE "
            "with no error (measured 2026-09-01: 181 of 181 frames wrong, silently). Re-emit the container with "
            "tools/imx_from_bundle, which stamps the base content address.");
    const SharedEnc enc = resolve_shared_enc(b, engine, want, *policy);
    if (!enc.path) {
      if (want && !want->empty())
        fatal("FATAL: " + bundle + " was cut against shared-enc.tflite sha256=" + *want +
              " and that base is NOT on this machine. Resolution: " + enc.how +
              ". Put it in the content store (${HALVANE_DEPS_DIR} or ~/.halvane/deps, as <store>/" + *want +
              " or <store>/" + std::string(halvane::utf8_prefix(*want, 2)) + "/" + *want +
              "), or pass --engine <dir|.engine> holding exactly that base. A base with the right NAME and the "
              "wrong CONTENT is refused here on purpose.");
      fatal("FATAL: " + bundle +
            " carries identity.tflite (two-artifact split) but no engine shared-enc.tflite was found. Provide it "
            "via --engine <dir|.engine>, ZEPHAN2_SHARED_ENC=<file>, or install the linux engine (`halvane engine "
            "install linux`) into ~/.halvane/engines/.");
    }
    const std::string id_path = stage_member(b, std::string(kIdentity));
    if (want && !want->empty()) {
      const std::string want12(halvane::utf8_prefix(*want, 12));
      if (enc.how.starts_with("name-trusted"))
        elog("two-artifact split: base sha256=" + want12 +
             "… resolved by CONTENT ADDRESS (name-trusted, NOT re-hashed, per dependency_resolver) via " + enc.how);
      else
        elog("two-artifact split: base sha256=" + want12 + "… VERIFIED (bytes hashed) via " + enc.how);
    } else {
      elog("two-artifact split: base UNVERIFIED (artifact declares no " + halvane::py_repr(policy->shared_enc_id()) +
           " dependency; using the bundle's own copy) — re-emit with tools/imx_from_bundle to bind it");
    }
    elog("two-artifact split: enc=" + *enc.path + " + id=" + id_path);
    out.paths = {*enc.path, id_path};
    out.nm = "shared-enc.tflite+identity.tflite";
    return out;
  }

  std::vector<std::string> odd;
  for (const std::string& name : b.listing())
    if (name.ends_with(".tflite") && name != combined && name != kIdentity && name != kSharedEnc)
      odd.push_back(name);
  std::sort(odd.begin(), odd.end());
  if (!odd.empty())
    fatal("FATAL: " + bundle + " carries UNEXPECTED tflite member(s) " + halvane::py_list_repr(odd) +
          " and none of the contract renderers. zephan-2 names exactly two renderer shapes: " + combined +
          ", OR identity.tflite + an engine shared-enc.tflite. Other .tflite names are not loaded: re-pack the "
          "member under its contract name.");
  fatal("FATAL: no LiteRT tflite member in " + bundle + " (expected " + combined +
        ", OR identity.tflite + an engine shared-enc.tflite; convert-on-first-run from onnx/ckpt is not wired "
        "in v1)");
}

std::pair<std::shared_ptr<const ColorCorrect>, std::string> load_color_correct(const halvane::Bundle& b,
                                                                              const LoaderEnv& env) {
  const std::string& bundle = b.path();
  const char* switch_value = std::getenv(std::string(COLOR_ENV).c_str());
  if (!color_enabled(switch_value ? switch_value : ""))
    return {nullptr, std::string(COLOR_LOG_PREFIX) + " DISABLED by " + std::string(COLOR_ENV) +
                         "=0 — the frames are the RAW model output and will NOT match a live session's colours. "
                         "This switch exists to isolate the renderer for measurement; it is not a serving mode."};
  const std::string member(COLOR_MEMBER);
  std::optional<std::string> bytes;
  if (b.has(member)) bytes = b.read(member, METADATA_MAX_BYTES);
  std::optional<std::string_view> raw;
  if (bytes) raw = *bytes;
  ColorParse p = env.parse_color(raw, bundle + "!" + std::string(COLOR_MEMBER));
  if (!p.cc)
    return {nullptr, std::string(COLOR_LOG_PREFIX) + " NOT APPLIED — " + p.message +
                         ". The frames are the raw model output. A container carries the correction only if its "
                         "producer packed one, so this says nothing about whether the identity HAS one; it is not "
                         "an error and the render proceeds."};
  auto cc = std::make_shared<const ColorCorrect>(std::move(*p.cc));
  return {cc, std::string(COLOR_LOG_PREFIX) + " APPLIED — " + cc->describe()};
}

}  // namespace halvane::zephan2
