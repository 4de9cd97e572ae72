#pragma once
// The program's one audio format and the block layout of its rings: every part of the program takes
// these facts from here.
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

constexpr int WAVE_SAMPLE_RATE = 11025;  // samples per second, mono, 16 bits
constexpr int WAVE_SPAN_HZ = WAVE_SAMPLE_RATE / 2;  // the widest spectrum shown: 5512 Hz
constexpr int WAVE_BLOCK_SAMPLES = 2048;  // one block, about 185.8 ms; also the FFT size
constexpr int WAVE_BLOCK_BYTES = WAVE_BLOCK_SAMPLES * 2;
constexpr int WAVE_NUM_BLOCKS = 8;  // blocks in a ring
constexpr int WAVE_RING_SAMPLES = WAVE_BLOCK_SAMPLES * WAVE_NUM_BLOCKS;

constexpr WaveFormat WAVE_PCM_MONO_11025 = {1, 1, WAVE_SAMPLE_RATE, WAVE_SAMPLE_RATE * 2, 2, 16, 0};
constexpr int WAVE_FORMAT_BYTES = 18;

// The record as 18 little-endian bytes in field order (the WAV file's "fmt " chunk).
void WaveFormatBytes(const WaveFormat& format, uint8_t out[WAVE_FORMAT_BYTES]);
