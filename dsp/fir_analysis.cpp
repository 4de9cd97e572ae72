#include "dsp/fir_analysis.h"

#include <algorithm>
#include <cmath>

double FirGainDb(const double* c, uint32_t count, double f, double rate) {
    std::complex<double> sum = 0.0;
    const double w = -2.0 * M_PI * f / rate;
    for (uint32_t k = 0; k < count; ++k) sum += c[k] * std::polar(1.0, w * static_cast<double>(k));
    return std::max(-200.0, 20.0 * std::log10(std::abs(sum) + 1e-300));
}

void FirMagnitudeResponse(const double* c, uint32_t count, double rate, int points, double* db) {
    for (int i = 0; i < points; ++i) db[i] = FirGainDb(c, count, rate / 2.0 * i / (points - 1), rate);
}

uint32_t FirClippedSamples(const int16_t* inputRing, int32_t inputBlock, const int16_t* outputRing, int32_t outputBlock,
                           uint32_t blockLength, int32_t blocksPerRing, const double* c, uint32_t count) {
    const uint64_t L = blockLength;
    if (L == 0 || count == 0 || blocksPerRing <= 0 || outputBlock < 0 || outputBlock >= blocksPerRing) return 0;
    const uint64_t ringSize = L * static_cast<uint64_t>(blocksPerRing);
    if ((ringSize & (ringSize - 1)) != 0) return 0;
    const uint64_t mask = ringSize - 1;
    const int16_t* out = outputRing + L * static_cast<uint64_t>(outputBlock);
    const uint64_t first = L * static_cast<uint64_t>(static_cast<int64_t>(inputBlock) + blocksPerRing);
    uint32_t clipped = 0;
    for (uint32_t i = 0; i < blockLength; ++i) {
        if (out[i] != 32767 && out[i] != -32768) continue;
        // The sum in tap order, as the convolution adds it, so the decision is the convolution's own.
        uint64_t e = first + i;
        double acc = 0.0;
        for (uint32_t j = 0; j < count; ++j) {
            acc += static_cast<double>(inputRing[e & mask]) * c[j];
            --e;
        }
        if (acc >= 32768.0 || acc <= -32769.0) ++clipped;
    }
    return clipped;
}

FirResponseEstimate::FirResponseEstimate(int fftSize)
    : m_n(fftSize), m_prevRe(fftSize), m_prevIm(fftSize), m_sry(fftSize / 2 + 1), m_srx(fftSize / 2 + 1) {}

void FirResponseEstimate::Clear() {
    m_blocks = 0;
    m_hasPrevious = false;
    std::fill(m_sry.begin(), m_sry.end(), std::complex<double>());
    std::fill(m_srx.begin(), m_srx.end(), std::complex<double>());
    m_levelsValid = false;
}

void FirResponseEstimate::AddBlock(const double* inRe, const double* inIm, const double* outRe, const double* outIm) {
    const int n = m_n;
    if (m_hasPrevious) {
        const int mask = n - 1;
        for (int k = 0; k <= n / 2; ++k) {
            const int lo = (k - 1) & mask, hi = (k + 1) & mask;
            // The Hann window 0.5 - 0.5 cos(2 pi t / n) in the frequency domain.
            const std::complex<double> xw(0.5 * inRe[k] - 0.25 * (inRe[lo] + inRe[hi]),
                                          0.5 * inIm[k] - 0.25 * (inIm[lo] + inIm[hi]));
            const std::complex<double> yw(0.5 * outRe[k] - 0.25 * (outRe[lo] + outRe[hi]),
                                          0.5 * outIm[k] - 0.25 * (outIm[lo] + outIm[hi]));
            // At a bin frequency the previous block's transform is that of the samples one block earlier.
            const std::complex<double> reference(inRe[k] + m_prevRe[k], -(inIm[k] + m_prevIm[k]));
            m_sry[k] += reference * yw;
            m_srx[k] += reference * xw;
        }
        ++m_blocks;
        m_levelsValid = false;
    }
    std::copy(inRe, inRe + n, m_prevRe.begin());
    std::copy(inIm, inIm + n, m_prevIm.begin());
    m_hasPrevious = true;
}

void FirResponseEstimate::Levels() const {
    m_strongest = 0;
    for (size_t k = 0; k < m_srx.size(); ++k) m_strongest = std::max(m_strongest, std::abs(m_srx[k]));
    m_levelsValid = true;
}

bool FirResponseEstimate::GainDb(int k, double* db) const {
    if (k < 0 || k > m_n / 2 || m_blocks == 0) return false;
    if (!m_levelsValid) Levels();
    const double level = std::abs(m_srx[k]);
    // A white noise of variance s^2 gives each block s^2 n / 2 here.
    const double floor = 100.0 * (m_n / 2.0) * static_cast<double>(m_blocks);
    if (!(level >= floor) || level < 1e-6 * m_strongest) return false;
    *db = std::max(-200.0, 20.0 * std::log10(std::abs(m_sry[k]) / level + 1e-300));
    return true;
}
