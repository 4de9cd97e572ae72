// The heaviest per-block DSP work: a 1000-tap FIR over one 2048-sample block, and one 2048-point FFT.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "dsp/fft.h"
#include "dsp/fir_convolve.h"

namespace {

constexpr int L = 2048, B = 8, N = L * B, TAPS = 1000;

struct Setup {
    std::vector<int16_t> in = std::vector<int16_t>(N), out = std::vector<int16_t>(N);
    std::vector<double> c = std::vector<double>(TAPS);
    Setup() {
        std::mt19937 gen(1);
        for (auto& s : in) s = static_cast<int16_t>(gen() % 65536 - 32768);
        for (auto& x : c) x = (gen() % 2001 - 1000) * 1e-5;
    }
};

// The loop as written out in the definition of the filter, for comparison.
void plainLoop(const int16_t* in, int inBlock, int16_t* out, int outBlock, const double* c, int count) {
    for (int i = 0; i < L; ++i) {
        double acc = 0.0;
        unsigned e = L * (inBlock + B) + i;
        for (int j = 0; j < count; ++j) acc += static_cast<double>(in[e-- & (N - 1)]) * c[j];
        if (acc < -32768.0) acc = -32768.0;
        else if (acc > 32767.0) acc = 32767.0;
        out[L * outBlock + i] = static_cast<int16_t>(static_cast<int>(acc));
    }
}

void report(benchmark::State& state) {
    state.counters["MAC/s"] = benchmark::Counter(double(L) * TAPS * state.iterations(), benchmark::Counter::kIsRate);
}

}  // namespace

static void BM_FirPlainLoop1000Taps(benchmark::State& state) {
    Setup s;
    for (auto _ : state) {
        plainLoop(s.in.data(), 3, s.out.data(), 3, s.c.data(), TAPS);
        benchmark::DoNotOptimize(s.out.data());
    }
    report(state);
}
BENCHMARK(BM_FirPlainLoop1000Taps)->Unit(benchmark::kMicrosecond);

static void BM_FirConvolve1000Taps(benchmark::State& state) {
    Setup s;
    for (auto _ : state) {
        FirConvolve(s.in.data(), 0, s.out.data(), 0, L, B, s.c.data(), TAPS);
        benchmark::DoNotOptimize(s.out.data());
    }
    report(state);
}
BENCHMARK(BM_FirConvolve1000Taps)->Unit(benchmark::kMicrosecond);

static void BM_Fft2048(benchmark::State& state) {
    std::vector<double> re(L), outRe(L), outIm(L);
    for (int i = 0; i < L; ++i) re[i] = (i * 7919) % 65536 - 32768;
    for (auto _ : state) {
        Fft(L, 0, re.data(), nullptr, outRe.data(), outIm.data());
        benchmark::DoNotOptimize(outRe.data());
    }
}
BENCHMARK(BM_Fft2048)->Unit(benchmark::kMicrosecond);
