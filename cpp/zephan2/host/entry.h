// The host program: command line, warm-up in a fixed order, then serving.
//
//   tessel_render_host render-stream <bundle> [--engine <dir|.engine>] [--threads N]
//
// Exit statuses: 0 input ended, 1 protocol desync or an unhandled error
// (host_main raises it to the caller; host_program ends on an
// operating-system failure with one log line), 2 no bundle, 3 bundle
// contract violation, 128 + signal for SIGTERM / SIGHUP.
//
// Thread contract: main thread only; worker threads exist only inside the
// interpreters and the RGB pool.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "zephan2/host/bundle_loader.h"
#include "zephan2/host/serve.h"
#include "zephan2/inference/litert_chain.h"

namespace halvane::zephan2 {

struct HostArgs {
  std::string bundle;
  std::optional<std::string> engine;
  int64_t threads = 0;
};

// Options may stand anywhere; "render-stream" is skipped; an option without a
// value, or any other word beginning with "-", is skipped alone. Raises
// halvane::ValueError for a --threads value that is not an integer.
HostArgs parse_args(const std::vector<std::string>& argv);

struct HostContext {
  ModelRuntime runtime;
  LoaderEnv loader;
  ByteSource* in = nullptr;
  FdWriter* out = nullptr;
};

int host_main(const std::vector<std::string>& argv, HostContext& ctx);

// host_main as the program runs it: an operating-system failure that no step
// handles is one log line and status 1, never a trace.
int host_program(const std::vector<std::string>& argv, HostContext& ctx);

int host_run(const std::string& bundle, const std::optional<std::string>& engine, int64_t threads,
             HostContext& ctx);

}  // namespace halvane::zephan2
