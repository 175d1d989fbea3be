// The audio intake's arithmetic and its ffmpeg command line: PCM is signed
// 16-bit, mono, 16000 samples per second, in the machine's byte order (little-
// endian on every supported machine).
//
// Thread contract: pure functions; the converters touch only their arguments.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace halvane::open {

inline constexpr int kSampleRate = 16000;

// The longest audio file the intake decodes: four hours, about 460 MB of
// PCM. Decoding stops once the PCM runs past it, so a file that decodes to
// more (or never ends) is refused without being read to its end.
inline constexpr int64_t kMaxAudioSeconds = 4 * 60 * 60;

// PCM bytes of `seconds` of audio.
inline constexpr int64_t pcm_bytes(int64_t seconds) { return seconds * kSampleRate * 2; }

// Float samples to 16-bit PCM: each value clipped to [-1, 1], multiplied by
// 32767 in the source's own float type and truncated toward zero. A NaN
// becomes 0. `dst` receives n samples (2n bytes, no alignment needed).
void float_to_pcm16(const float* src, size_t n, void* dst);
void float_to_pcm16(const double* src, size_t n, void* dst);

// The sample types an audio array may hold.
enum class SampleType { int16, float32, float64 };

// Channels mixed down to one, as 16-bit PCM: `frames` frames of `channels`
// samples each, sample (f, c) at byte offset f * frame_stride + c *
// channel_stride from `src` (strides may be negative and need no alignment),
// so both interleaved and planar layouts are read in place. Each frame's
// samples are summed in channel order and divided by the channel count:
// int16 in 32-bit integers, the quotient truncated toward zero; floats in
// their own type, the mean then converted as float_to_pcm16 does (clipped
// after mixing). `dst` receives `frames` samples (zeros when there are no
// channels).
void mix_to_pcm16(SampleType type, const void* src, size_t frames, size_t channels, ptrdiff_t frame_stride,
                  ptrdiff_t channel_stride, void* dst);

// 16-bit PCM (n samples at `src`, no alignment needed) to float32, each sample
// divided by 32768, so -32768 becomes -1.0.
void pcm16_to_float(const void* src, size_t n, float* dst);

// A height x width x channels picture with the channel order reversed, written
// contiguously (row-major) to `dst`. Strides are in bytes and may be negative.
void reverse_channels(const uint8_t* src, ptrdiff_t row_stride, ptrdiff_t col_stride, ptrdiff_t chan_stride,
                      size_t height, size_t width, size_t channels, uint8_t* dst);

// The name under which ffmpeg reads the file at `path`. ffmpeg takes "-" for
// its standard input and "scheme:rest" (and "subfile,...:...") for protocol
// URLs; such a name, always a relative one, is given as "./" + path so that
// the file of that name is read. Every other path is returned unchanged.
std::string ffmpeg_input_name(const std::string& path);

// The command that decodes the file at `path` to PCM on standard output:
// ffmpeg -nostdin -loglevel error -i <name> -ar 16000 -ac 1 -f s16le -
std::vector<std::string> ffmpeg_decode_argv(const std::string& path);

}  // namespace halvane::open
