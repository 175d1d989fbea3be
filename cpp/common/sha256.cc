#include "common/sha256.h"

#include <openssl/evp.h>

#include <vector>

#include "common/errors.h"
#include "common/file.h"
#include "common/text.h"

namespace halvane {

Sha256::Sha256() : ctx_(EVP_MD_CTX_new()) {
  if (!ctx_ || EVP_DigestInit_ex(ctx_, EVP_sha256(), nullptr) != 1) {
    EVP_MD_CTX_free(ctx_);
    throw RuntimeError("SHA-256 is not available");
  }
}

Sha256::~Sha256() { EVP_MD_CTX_free(ctx_); }

void Sha256::update(const void* data, size_t n) {
  if (EVP_DigestUpdate(ctx_, data, n) != 1) throw RuntimeError("SHA-256 update failed");
}

std::string Sha256::hex_digest() {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned len = 0;
  if (EVP_DigestFinal_ex(ctx_, md, &len) != 1) throw RuntimeError("SHA-256 final failed");
  return hex_lower({reinterpret_cast<const char*>(md), len});
}

std::string sha256_hex(std::string_view bytes) {
  Sha256 h;
  h.update(bytes.data(), bytes.size());
  return h.hex_digest();
}

std::string file_sha256(const std::string& path) {
  const File f(path);
  Sha256 h;
  std::vector<char> buf(size_t{4} << 20);
  while (size_t n = f.read(buf.data(), buf.size())) h.update(buf.data(), n);
  return h.hex_digest();
}

}  // namespace halvane
