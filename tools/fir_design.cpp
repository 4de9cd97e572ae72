#include "tools/fir_design.h"

#include <cmath>
#include <cstdio>

#include "dsp/fir_limits.h"

namespace {

constexpr double PI = 3.14159265358979323846;

double sinc(double x) {
    if (x == 0.0) return 1.0;
    return std::sin(PI * x) / (PI * x);
}

std::vector<double> cosineSum(int taps, std::initializer_list<double> a) {
    std::vector<double> w(taps, 0.0);
    for (int n = 0; n < taps; ++n) {
        // -pi .. pi across the window, as the coefficients of the cosine sums are defined.
        const double phase = -PI + 2.0 * PI * n / (taps - 1);
        int k = 0;
        for (double ak : a) w[n] += ak * std::cos(k++ * phase);
    }
    return w;
}

std::string hz(double f) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", f);
    return buf;
}

}  // namespace

std::vector<double> DesignWindow(WindowType window, int taps, double beta) {
    if (taps <= 1) return std::vector<double>(taps > 0 ? 1 : 0, 1.0);
    switch (window) {
    case WindowType::Rectangular: return std::vector<double>(taps, 1.0);
    case WindowType::Hann: return cosineSum(taps, {0.5, 0.5});
    case WindowType::Hamming: return cosineSum(taps, {0.54, 0.46});
    case WindowType::Blackman: return cosineSum(taps, {0.42, 0.50, 0.08});
    case WindowType::Kaiser: {
        std::vector<double> w(taps);
        const double alpha = (taps - 1) / 2.0;
        for (int n = 0; n < taps; ++n) {
            const double r = (n - alpha) / alpha;
            w[n] = std::cyl_bessel_i(0.0, beta * std::sqrt(std::max(0.0, 1.0 - r * r))) / std::cyl_bessel_i(0.0, beta);
        }
        return w;
    }
    }
    return {};
}

std::vector<double> DesignFir(const FirDesign& d, std::string& error) {
    const double nyquist = d.rate / 2.0;
    if (d.taps < 1 || d.taps > FIR_MAX_COEFFICIENTS)
        return error = "the number of taps must be between 1 and " + std::to_string(FIR_MAX_COEFFICIENTS),
               std::vector<double>{};
    if (!(d.rate > 0)) return error = "the sample rate must be positive", std::vector<double>{};
    const bool twoEdges = d.band == BandType::BandPass || d.band == BandType::BandStop;
    if (!(d.f1 > 0 && d.f1 < nyquist) || (twoEdges && !(d.f2 > d.f1 && d.f2 < nyquist)))
        return error = twoEdges ? "the band edges must satisfy 0 < low < high < " + hz(nyquist) + " Hz"
                                : "the cutoff must lie between 0 and " + hz(nyquist) + " Hz",
               std::vector<double>{};
    // A filter that passes the Nyquist frequency needs a tap at the centre.
    if ((d.band == BandType::HighPass || d.band == BandType::BandStop) && d.taps % 2 == 0)
        return error = "a high-pass or band-stop filter needs an odd number of taps", std::vector<double>{};

    // Band edges as fractions of the Nyquist frequency; each pass band adds its sinc pair.
    struct Band {
        double left, right;
    };
    std::vector<Band> bands;
    const double a = d.f1 / nyquist, b = d.f2 / nyquist;
    switch (d.band) {
    case BandType::LowPass: bands = {{0.0, a}}; break;
    case BandType::HighPass: bands = {{a, 1.0}}; break;
    case BandType::BandPass: bands = {{a, b}}; break;
    case BandType::BandStop: bands = {{0.0, a}, {b, 1.0}}; break;
    }
    const double alpha = 0.5 * (d.taps - 1);
    std::vector<double> h(d.taps, 0.0);
    for (int n = 0; n < d.taps; ++n) {
        const double m = n - alpha;
        for (const Band& band : bands) {
            h[n] += band.right * sinc(band.right * m);
            h[n] -= band.left * sinc(band.left * m);
        }
    }
    const std::vector<double> w = DesignWindow(d.window, d.taps, d.beta);
    for (int n = 0; n < d.taps; ++n) h[n] *= w[n];
    // Unit gain where the first pass band is measured: DC, Nyquist, or its centre.
    const Band first = bands.front();
    const double f = first.left == 0.0 ? 0.0 : first.right == 1.0 ? 1.0 : 0.5 * (first.left + first.right);
    double gain = 0.0;
    for (int n = 0; n < d.taps; ++n) gain += h[n] * std::cos(PI * (n - alpha) * f);
    for (double& x : h) x /= gain;
    return h;
}

std::string DescribeFir(const FirDesign& d) {
    static const char* windows[] = {"rectangular", "Hann", "Hamming", "Blackman", "Kaiser"};
    std::string text;
    switch (d.band) {
    case BandType::LowPass: text = "Low-pass " + hz(d.f1) + " Hz"; break;
    case BandType::HighPass: text = "High-pass " + hz(d.f1) + " Hz"; break;
    case BandType::BandPass: text = "Band-pass " + hz(d.f1) + "-" + hz(d.f2) + " Hz"; break;
    case BandType::BandStop: text = "Band-stop " + hz(d.f1) + "-" + hz(d.f2) + " Hz"; break;
    }
    text += ", " + std::to_string(d.taps) + " taps, " + windows[static_cast<int>(d.window)] + " window";
    if (d.window == WindowType::Kaiser) text += " (beta " + hz(d.beta) + ")";
    if (d.rate != WAVE_SAMPLE_RATE) text += ", " + hz(d.rate) + " samples/s";
    return text;
}

bool ParseBand(const std::string& t, BandType& band) {
    if (t == "lowpass")
        band = BandType::LowPass;
    else if (t == "highpass")
        band = BandType::HighPass;
    else if (t == "bandpass")
        band = BandType::BandPass;
    else if (t == "bandstop")
        band = BandType::BandStop;
    else
        return false;
    return true;
}

bool ParseWindow(const std::string& t, WindowType& window) {
    if (t == "rectangular" || t == "boxcar")
        window = WindowType::Rectangular;
    else if (t == "hann")
        window = WindowType::Hann;
    else if (t == "hamming")
        window = WindowType::Hamming;
    else if (t == "blackman")
        window = WindowType::Blackman;
    else if (t == "kaiser")
        window = WindowType::Kaiser;
    else
        return false;
    return true;
}
