// The shared encoder of a two-artifact bundle: the digest its manifest
// declares for it, and the search for a file that is that base — content
// store (by name, only for a well-formed digest), the bundle's own member,
// --engine, ZEPHAN2_SHARED_ENC / ZEPHAN2_ENGINE_DIR / ZEPHAN2_ANE_ENGINE, and
// ~/.halvane/engines/*/shared-enc.tflite — each verified against the digest
// when one is declared.
//
// What a declared base is and whether a file matches it is the business of
// the base-verification policy, an outside module reached through BasePolicy.
//
// Thread contract: main thread, during warm-up.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bundle/bundle.h"

namespace halvane::zephan2 {

class BasePolicy {
 public:
  virtual ~BasePolicy() = default;
  virtual std::string shared_enc_id() = 0;
  // The wanted digest declared by the bundle's manifest.json (its bytes: UTF-8
  // JSON whose "dependencies" value the policy reads); nullopt when none is
  // declared or anything about the manifest or the policy fails.
  virtual std::optional<std::string> declared_sha(std::string_view manifest) = 0;
  // Content-store paths to try for the digest, in order.
  virtual std::vector<std::string> store_candidates(const std::string& want) = 0;
  virtual bool verify_base(const std::string& path, const std::string& want) = 0;
};

// True for exactly 64 lower-case hexadecimal digits: the only digests that
// may name a file in the content store.
bool is_store_digest(const std::string& sha);

std::optional<std::string> declared_base_sha(const halvane::Bundle& bundle, BasePolicy* policy);

struct SharedEnc {
  std::optional<std::string> path;
  std::string how;  // where it was found, or why nothing was accepted
  bool by_address = false;  // found by its content address, trusted by name and not hashed again
};

SharedEnc resolve_shared_enc(const halvane::Bundle& bundle, const std::optional<std::string>& engine,
                             const std::optional<std::string>& want_sha, BasePolicy& policy);

}  // namespace halvane::zephan2
