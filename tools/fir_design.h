#pragma once
// Linear-phase FIR design by the windowed-sinc method.
#include <string>
#include <vector>

#include "engine/wave_format.h"

enum class BandType { LowPass, HighPass, BandPass, BandStop };
enum class WindowType { Rectangular, Hann, Hamming, Blackman, Kaiser };

struct FirDesign {
    BandType band = BandType::LowPass;
    WindowType window = WindowType::Hamming;
    double beta = 8.6;  // Kaiser only
    int taps = 101;
    double rate = WAVE_SAMPLE_RATE;
    double f1 = 1000.0;  // cutoff, or lower band edge
    double f2 = 0.0;  // upper band edge (band-pass, band-stop)
};

// The window's samples, symmetric (the first equals the last).
std::vector<double> DesignWindow(WindowType window, int taps, double beta);

// Coefficients normalised to unit gain at DC (low-pass, band-stop), at the band centre (band-pass)
// or at the Nyquist frequency (high-pass). Empty with a reason in error when the design is impossible.
std::vector<double> DesignFir(const FirDesign& design, std::string& error);

// "Low-pass 1000 Hz, 101 taps, Hamming window"
std::string DescribeFir(const FirDesign& design);

bool ParseBand(const std::string& text, BandType& band);
bool ParseWindow(const std::string& text, WindowType& window);
