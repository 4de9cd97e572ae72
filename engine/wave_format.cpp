#include "engine/wave_format.h"

namespace {
void put16(uint8_t*& p, uint16_t v) {
    *p++ = static_cast<uint8_t>(v);
    *p++ = static_cast<uint8_t>(v >> 8);
}
void put32(uint8_t*& p, uint32_t v) {
    put16(p, static_cast<uint16_t>(v));
    put16(p, static_cast<uint16_t>(v >> 16));
}
}  // namespace

void WaveFormatBytes(const WaveFormat& format, uint8_t out[WAVE_FORMAT_BYTES]) {
    uint8_t* p = out;
    put16(p, format.wFormatTag);
    put16(p, format.nChannels);
    put32(p, format.nSamplesPerSec);
    put32(p, format.nAvgBytesPerSec);
    put16(p, format.nBlockAlign);
    put16(p, format.wBitsPerSample);
    put16(p, format.cbSize);
}
