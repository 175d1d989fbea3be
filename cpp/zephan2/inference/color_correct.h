// Colour correction of decoded frames: a per-channel 256-entry table
// ("lut", model value -> driver value) or a per-channel gain and bias, read
// from the bundle member color.json (zephan2/host/color_table.h), applied to
// every RGB888 frame and fingerprinted (SHA-256 of its table bytes) in the
// host's READY line.
//
// Thread contract: a ColorCorrect is immutable once made; apply() and table()
// may run on many threads at once.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace halvane::zephan2 {

class ColorCorrect {
 public:
  // Takes the values as given; a kind other than "lut" counts as gain/bias.
  ColorCorrect(std::string kind, std::optional<std::array<uint8_t, 768>> lut,
               std::optional<std::array<float, 3>> gain, std::optional<std::array<float, 3>> bias,
               std::string source = {});

  const std::string& kind() const { return kind_; }
  bool is_lut() const { return kind_ == "lut"; }
  const std::optional<std::array<uint8_t, 768>>& lut() const { return lut_; }
  const std::optional<std::array<float, 3>>& gain() const { return gain_; }
  const std::optional<std::array<float, 3>>& bias() const { return bias_; }
  const std::string& source() const { return source_; }

  // The byte each 8-bit value of channel c becomes, at [c * 256 + value]:
  // the table itself, or gain/bias worked out once per value (float32
  // product, then float32 sum, clamp to 0..255, truncate; NaN gives 0).
  // Raises halvane::ValueError when the arrays the kind needs are missing.
  const std::array<uint8_t, 768>& table() const;

  // Interleaved RGB pixels in, corrected pixels out (`out` may equal `rgb`).
  void apply(const uint8_t* rgb, uint8_t* out, size_t pixels) const;

  std::string describe() const;

  // The 768 table bytes, or gain then bias as 24 little-endian float32 bytes.
  std::string table_bytes() const;

 private:
  std::string kind_;
  std::optional<std::array<uint8_t, 768>> lut_;
  std::optional<std::array<float, 3>> gain_, bias_;
  std::string source_;
  std::optional<std::array<uint8_t, 768>> table_;
};

struct ColorDescriptor {
  std::string kind;
  std::string sha256;  // 64 lowercase hex digits
};
ColorDescriptor color_descriptor(const ColorCorrect& cc);

// Whether correction is on for `value` of ZEPHAN2_COLOR_CORRECT (empty when
// unset): "0", "false", "no" and "off" (trimmed, any case) turn it off.
bool color_enabled(std::string_view value);

}  // namespace halvane::zephan2
