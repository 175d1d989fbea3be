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
#include "zephan2/messages.h"

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
  if (!name) fatal(msg::no_canon(b.path()));
  constexpr uint64_t want = uint64_t{LC * PLANE} * 4;
  const auto check = [](uint64_t bytes) {
    if (bytes % 4 != 0) throw halvane::ValueError(msg::kOddBuffer);
    if (bytes != want)
      fatal(msg::canon_size(bytes / 4, LC * PLANE));
  };
  check(b.size(*name));
  const std::string bytes = b.read(*name, want + 4);
  check(bytes.size());
  halvane::Tensor canon = halvane::make_f32({LC * PLANE});
  std::memcpy(canon.data, bytes.data(), bytes.size());
  return canon;
}

[[noreturn]] void damaged(const std::string& bundle, const std::string& why) {
  fatal(msg::damaged(bundle, why));
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
    damaged(bundle, msg::member_past_end(e.nm, e.size, e.off, b->container_size()));
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
      fatal(msg::no_policy(bundle, env.policy_why));
    const std::optional<std::string> want = declared_base_sha(b, policy);
    const bool colocated = b.has(kSharedEnc);
    if (!want && !colocated)
      fatal(msg::undeclared_base(bundle, policy->shared_enc_id()));
    const SharedEnc enc = resolve_shared_enc(b, engine, want, *policy);
    if (!enc.path) {
      if (want && !want->empty())
        fatal(msg::base_missing(bundle, *want, enc.how));
      fatal(msg::no_shared_enc(bundle));
    }
    const std::string id_path = stage_member(b, std::string(kIdentity));
    if (want && !want->empty()) {
      const std::string want12(halvane::utf8_prefix(*want, 12));
      if (enc.by_address)
        elog(msg::base_by_address(want12, enc.how));
      else
        elog(msg::base_verified(want12, enc.how));
    } else {
      elog(msg::base_unverified(policy->shared_enc_id()));
    }
    elog(msg::split_paths(*enc.path, id_path));
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
    fatal(msg::unexpected_tflite(bundle, odd, combined));
  fatal(msg::no_tflite(bundle, combined));
}

std::pair<std::shared_ptr<const ColorCorrect>, std::string> load_color_correct(const halvane::Bundle& b,
                                                                              const LoaderEnv& env) {
  const std::string& bundle = b.path();
  const char* switch_value = std::getenv(std::string(COLOR_ENV).c_str());
  if (!color_enabled(switch_value ? switch_value : ""))
    return {nullptr, msg::color_disabled(COLOR_LOG_PREFIX, COLOR_ENV)};
  const std::string member(COLOR_MEMBER);
  std::optional<std::string> bytes;
  if (b.has(member)) bytes = b.read(member, METADATA_MAX_BYTES);
  std::optional<std::string_view> raw;
  if (bytes) raw = *bytes;
  ColorParse p = env.parse_color(raw, bundle + "!" + std::string(COLOR_MEMBER));
  if (!p.cc)
    return {nullptr, msg::color_not_applied(COLOR_LOG_PREFIX, p.message)};
  auto cc = std::make_shared<const ColorCorrect>(std::move(*p.cc));
  return {cc, msg::color_applied(COLOR_LOG_PREFIX, cc->describe())};
}

}  // namespace halvane::zephan2
