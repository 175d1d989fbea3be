// Bundle loading: which model files to serve, the model label and the canon
// latent; and the colour correction with its one-line report.
//
// Every violation of the bundle contract is one "FATAL: " log line and the
// BundleFatal exception, which the program entry turns into exit status 3
// (staged files are removed by the exit hook). So is a damaged container the
// program is given to serve; inside load_bundle, damaged containers,
// unreadable files and similar errors propagate as they are.
//
// Thread contract: main thread, during warm-up.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bundle/bundle.h"
#include "common/tensor.h"
#include "zephan2/host/color_table.h"
#include "zephan2/host/q8gd.h"
#include "zephan2/host/shared_enc.h"
#include "zephan2/inference/color_correct.h"

namespace halvane::zephan2 {

struct BundleFatal : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Logs the line and raises BundleFatal.
[[noreturn]] void fatal(const std::string& text);

// What bundle loading needs from outside: the base-verification policy
// (null when it could not be loaded, `policy_why` then says why), the int8
// variant's selection and the colour table's reader.
struct LoaderEnv {
  BasePolicy* policy = nullptr;
  std::string policy_why;  // where the policy came from, or the last load error
  Q8gdSelectFn select_q8gd;
  ColorParseFn parse_color;
};

struct BundleLoad {
  std::vector<std::string> paths;  // one combined model, or shared encoder then identity
  std::string nm;                  // the model label
  halvane::Tensor canon;           // 74880 float32 values, owned
};

// The bundle the program serves, opened. A container that cannot be read as
// one (its member table ends early or holds a name that is not UTF-8, a
// member reaches past the end of the file, as in a file cut short, or the ZIP
// directory is damaged) breaks the contract like a bundle without canon:
// FATAL.
halvane::Bundle open_served_bundle(const std::string& bundle);

BundleLoad load_bundle(const halvane::Bundle& bundle, const std::optional<std::string>& engine, const LoaderEnv& env);

std::pair<std::shared_ptr<const ColorCorrect>, std::string> load_color_correct(const halvane::Bundle& bundle,
                                                                              const LoaderEnv& env);

// The largest manifest.json or color.json read: far beyond any real one, so a
// member linked to an endless or huge file is refused as unreadable.
inline constexpr uint64_t METADATA_MAX_BYTES = uint64_t{16} << 20;

}  // namespace halvane::zephan2
