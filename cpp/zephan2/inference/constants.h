// Geometry, member names and environment names of the zephan-2 host.
//
// Audio is 16 kHz mono float32; video is 20 fps, 720 x 416 RGB888. The model
// chain works on latents of 16 channels x 90 x 52 and a history of 16 of them.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace halvane::zephan2 {

inline constexpr int64_t SR = 16000;
inline constexpr int64_t FPS = 20;
inline constexpr int64_t SPF = SR / FPS;                // 800 samples per frame
inline constexpr int64_t STEADY_LAT = 8;
inline constexpr int64_t CHUNK0_LAT = 6;
inline constexpr int64_t STEADY_PX = STEADY_LAT * 4;   // 32 frames per steady chunk
inline constexpr int64_t SPC = STEADY_PX * SPF;         // 25600 samples per steady chunk
inline constexpr int64_t WIN_SAMPLES = 44000;
inline constexpr int64_t TEMPO_SAMPLES = 35200;         // WIN_SAMPLES / 1.25
inline constexpr int64_t PRESENT_DELAY_FRAMES = 1;

inline constexpr int64_t LC = 16;
inline constexpr int64_t LH = 90;
inline constexpr int64_t LW = 52;
inline constexpr int64_t PLANE = LH * LW;               // 4680
inline constexpr int64_t CTX = 16;
inline constexpr int64_t NA = 16;
inline constexpr int64_t CA = 384;
inline constexpr int64_t FH = 720;
inline constexpr int64_t FW = 416;
inline constexpr int64_t FRAME_BYTES = FH * FW * 3;     // 898560
inline constexpr int64_t DEC_CH = 2 * LC + 4;           // 36 decoder input channels

inline constexpr int64_t SR_WSOLA_SEGMENT = 1312;
inline constexpr int64_t SR_WSOLA_OVERLAP = 192;
inline constexpr int64_t SR_WSOLA_SEARCH = 235;

inline constexpr std::array<std::string_view, 5> SIGS = {"enc", "tok14", "step", "dec16", "dec8"};

inline constexpr std::string_view COLOR_MEMBER = "color.json";
inline constexpr std::string_view COLOR_ENV = "ZEPHAN2_COLOR_CORRECT";
inline constexpr std::string_view COLOR_LOG_PREFIX = "colour-correct:";
inline constexpr std::string_view RGB_THREADS_ENV = "ZEPHAN2_RGB_THREADS";
inline constexpr std::string_view COMBINED_MEMBER = "combined_litert.tflite";
inline constexpr std::string_view Q8GD_MEMBER = "combined_litert_q8gd.tflite";
inline constexpr std::string_view Q8GD_HEADER_KEY = "litert_q8gd";
inline constexpr std::string_view Q8GD_ENV = "ZEPHAN2_Q8GD";
inline constexpr std::array<std::string_view, 2> INT8_DOT_FLAGS = {"avx512_vnni", "avx_vnni"};
inline constexpr std::string_view Q8GD_LOG = "[q8gd]";

}  // namespace halvane::zephan2
