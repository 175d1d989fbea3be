// SHA-256 through OpenSSL's EVP interface, as 64 lower-case hex digits.
//
// Thread contract: a Sha256 is used by one thread; the free functions are
// reentrant.
#pragma once

#include <memory>
#include <string>
#include <string_view>

struct evp_md_ctx_st;

namespace halvane {

class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  void update(const void* data, size_t n);
  std::string hex_digest();  // ends the hash

 private:
  evp_md_ctx_st* ctx_;
};

std::string sha256_hex(std::string_view bytes);

// The digest of a regular file's content, read in 4 MiB blocks so memory does
// not grow with the file. Raises OSError when it cannot be read.
std::string file_sha256(const std::string& path);

}  // namespace halvane
