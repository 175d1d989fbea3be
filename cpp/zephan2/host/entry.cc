#include "zephan2/host/entry.h"

#include "common/errors.h"
#include "common/text.h"
#include "zephan2/host/log.h"
#include "zephan2/host/settings.h"
#include "zephan2/host/staging.h"
#include "zephan2/inference/cpu_budget.h"
#include "zephan2/inference/renderer.h"
#include "zephan2/messages.h"

namespace halvane::zephan2 {

HostArgs parse_args(const std::vector<std::string>& argv) {
  HostArgs a;
  for (size_t i = 1; i < argv.size();) {
    const std::string& w = argv[i];
    if (w == "render-stream") {
      i += 1;
    } else if (w == "--engine" && i + 1 < argv.size()) {
      a.engine = argv[i + 1];
      i += 2;
    } else if (w == "--threads" && i + 1 < argv.size()) {
      a.threads = parse_thread_count(argv[i + 1], "--threads");
      i += 2;
    } else {
      if (!w.empty() && w[0] != '-' && a.bundle.empty()) a.bundle = w;
      i += 1;
    }
  }
  return a;
}

int host_main(const std::vector<std::string>& argv, HostContext& ctx) {
  const HostArgs a = parse_args(argv);
  if (a.bundle.empty()) {
    elog(msg::USAGE);
    return 2;
  }
  try {
    return host_run(a.bundle, a.engine, host_default_threads(1, a.threads), ctx);
  } catch (const BundleFatal&) {
    return 3;  // the FATAL line is already logged
  } catch (const Stopped& s) {
    elog(msg::stopping_on_signal(s.signum));
    return 128 + s.signum;
  }
}

namespace {

// What failed (a staging folder, standard output, a file) and the reason.
std::string os_failure_line(const halvane::OSError& e) {
  const std::string why = msg::errno_text(e.err, e.what());
  if (const auto* s = dynamic_cast<const StageFailed*>(&e)) return msg::stage_failed(s->member, s->dir, why);
  if (e.filename == STDOUT_NAME) return msg::stdout_failed(why);
  return msg::os_failed(why, e.filename);
}

}  // namespace

int host_program(const std::vector<std::string>& argv, HostContext& ctx) {
  try {
    return host_main(argv, ctx);
  } catch (const halvane::OSError& e) {
    elog(os_failure_line(e));
    return 1;
  }
}

int host_run(const std::string& bundle, const std::optional<std::string>& engine, int64_t threads,
             HostContext& ctx) {
  elog(msg::warming_up(bundle, threads));
  check_stop();
  const halvane::Bundle opened = open_served_bundle(bundle);
  BundleLoad b = load_bundle(opened, engine, ctx.loader);
  check_stop();
  auto [cc, report] = load_color_correct(opened, ctx.loader);
  elog(report);
  if (b.paths.size() > 1) {
    const int64_t capped = host_default_threads(static_cast<int64_t>(b.paths.size()), threads);
    if (capped != threads)
      elog(msg::split_threads(threads, capped));
    threads = capped;
  }
  check_stop();
  auto chain = std::make_shared<const LitertChain>(b.paths, b.canon, threads, ctx.runtime);
  check_stop();
  Renderer renderer(chain, cc, host_rgb_settings());
  return serve(renderer, b.nm, *ctx.in, *ctx.out);
}

}  // namespace halvane::zephan2
