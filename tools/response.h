#pragma once
// Magnitude response of a FIR filter, as numbers and as a picture.
#include <string>
#include <vector>

struct ResponsePoint {
    double hz;
    double db;  // 20 log10 |H|, floored at -200 dB
};

std::vector<ResponsePoint> MagnitudeResponse(const std::vector<double>& coefficients, double rate, int points);

// The largest gain (dB) between lo and hi Hz, and the stop-band attenuation it implies.
double MaxGainDb(const std::vector<double>& coefficients, double rate, double lo, double hi);

// A plot with axes in Hz and dB, a grid and a title, as a PNG file.
bool PlotResponse(const std::string& path, const std::string& title, const std::vector<ResponsePoint>& response,
                  double rate, std::string& error);
