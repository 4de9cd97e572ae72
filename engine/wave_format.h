#pragma once
// The program's one audio format: PCM, mono, 11025 samples/s, 16 bits.
#include <cstdint>

struct WaveFormat {
    uint16_t wFormatTag;
    uint16_t nChannels;
    uint32_t nSamplesPerSec;
    uint32_t nAvgBytesPerSec;
    uint16_t nBlockAlign;
    uint16_t wBitsPerSample;
    uint16_t cbSize;
};

constexpr WaveFormat WAVE_PCM_MONO_11025 = {1, 1, 11025, 22050, 2, 16, 0};
constexpr int WAVE_FORMAT_BYTES = 18;

// The record as 18 little-endian bytes in field order (the WAV file's "fmt " chunk).
void WaveFormatBytes(const WaveFormat& format, uint8_t out[WAVE_FORMAT_BYTES]);
