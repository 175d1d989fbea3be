// ZIP archives from arbitrary bytes: a member is returned whole and intact, or
// the archive is refused with ValueError; never a crash, a read out of bounds
// or an allocation sized by a declared length.
#include <cstdint>
#include <string>

#include "common/errors.h"
#include "bundle/bundle.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view archive(reinterpret_cast<const char*>(data), size);
  for (const char* base : {"canon.bin", "identity.tflite", "manifest.json", ""}) {
    try {
      halvane::zip_member_from(archive, base);
    } catch (const halvane::ValueError&) {
      // a refused archive or a damaged member: the next name may still be readable
    }
  }
  return 0;
}
