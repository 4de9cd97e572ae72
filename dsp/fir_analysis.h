#pragma once
// What the program shows of a running filter: the response it was designed to have, the one measured
// from its input and output blocks, and which of its output samples clipped. No allocation per block.
#include <complex>
#include <cstdint>
#include <vector>

// 20 log10 |H(f)| with H(f) = sum_j c[j] e^(-2 pi i f j / rate), floored at -200 dB.
double FirGainDb(const double* coefficients, uint32_t count, double frequency, double rate);

// FirGainDb at `points` (at least 2) frequencies evenly spaced from 0 to rate / 2, both included.
void FirMagnitudeResponse(const double* coefficients, uint32_t count, double rate, int points, double* db);

// How many samples of the output block FirConvolve (same arguments) had to clamp: those whose sum,
// truncated toward zero, lies outside -32768 .. 32767. Only the samples at either limit are summed again.
uint32_t FirClippedSamples(const int16_t* inputRing, int32_t inputBlock, const int16_t* outputRing, int32_t outputBlock,
                           uint32_t blockLength, int32_t blocksPerRing, const double* coefficients, uint32_t count);

// The measured magnitude response, averaged over blocks, from the unwindowed transforms (Fft direction 0)
// of each input block and of the output block made from it, blocks taken in order.
//
// The output is Hann-windowed (three bins combined, no second transform) and set against the input over
// this block and the one before: for an input uncorrelated from sample to sample the ratio's expectation
// is H itself, however long the filter's delay (up to one block), and the window keeps the pass band's
// leakage out of the stop band. An input repeating with the block gives H exactly, too.
class FirResponseEstimate {
public:
    explicit FirResponseEstimate(int fftSize);  // a power of two; every array is allocated here
    void Clear();
    // The first block after a clear only becomes the previous one.
    void AddBlock(const double* inRe, const double* inIm, const double* outRe, const double* outIm);
    int Bins() const { return m_n / 2 + 1; }  // bins 0 .. n / 2, from 0 Hz to half the sample rate
    long Blocks() const { return m_blocks; }  // blocks averaged
    // The measured gain at bin k in dB (floored at -200), or false where the input carried too little energy
    // for it to mean anything: under a white noise of 10 LSB rms, or 60 dB under the strongest bin.
    bool GainDb(int k, double* db) const;

private:
    int m_n;
    long m_blocks = 0;
    bool m_hasPrevious = false;
    std::vector<double> m_prevRe, m_prevIm;
    std::vector<std::complex<double>> m_sry, m_srx;  // reference against windowed output, and against windowed input
    mutable bool m_levelsValid = false;
    mutable double m_strongest = 0;
    void Levels() const;
};
