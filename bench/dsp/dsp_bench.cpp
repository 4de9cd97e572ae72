// FIR convolution of one 2048-sample block with 1000 taps: the plain loop against
// FirConvolve (each instruction-set variant), one 2048-point FFT, and FastFir over a stream.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "dsp/fast_fir.h"
#include "dsp/fft.h"
#include "dsp/fir_convolve.h"
#include "dsp/fir_convolve_isa.h"

namespace {

constexpr uint32_t kBlock = 2048;
constexpr int32_t kBlocks = 8;
constexpr uint32_t kTaps = 1000;

struct Setup {
    std::vector<int16_t> in, out;
    std::vector<double> c;
    Setup() : in(kBlock * kBlocks), out(kBlock * kBlocks), c(kTaps) {
        std::mt19937 gen(1);
        std::uniform_int_distribution<int> s(-32768, 32767);
        std::uniform_real_distribution<double> d(-0.001, 0.001);
        for (int16_t& x : in) x = static_cast<int16_t>(s(gen));
        for (double& x : c) x = d(gen);
    }
};

void PlainLoop(const int16_t* in, int32_t inBlock, int16_t* out, int32_t outBlock, const double* c, uint32_t count) {
    const uint32_t mask = kBlock * kBlocks - 1;
    for (uint32_t i = 0; i < kBlock; ++i) {
        uint32_t e = kBlock * (inBlock + kBlocks) + i;
        double acc = 0.0;
        for (uint32_t j = 0; j < count; ++j, --e) acc += static_cast<double>(in[e & mask]) * c[j];
        if (acc < -32768.0)
            acc = -32768.0;
        else if (acc > 32767.0)
            acc = 32767.0;
        out[kBlock * outBlock + i] = static_cast<int16_t>(acc);
    }
}

void SetCounters(benchmark::State& state) {
    state.counters["MAC/s"] = benchmark::Counter(double(kBlock) * kTaps, benchmark::Counter::kIsIterationInvariantRate);
}

void BM_FirPlainLoop(benchmark::State& state) {
    Setup s;
    int32_t block = 0;
    for (auto _ : state) {
        PlainLoop(s.in.data(), block, s.out.data(), block, s.c.data(), kTaps);
        benchmark::DoNotOptimize(s.out.data());
        block = (block + 1) & 7;
    }
    SetCounters(state);
}
BENCHMARK(BM_FirPlainLoop)->Unit(benchmark::kMicrosecond);

void BM_FirConvolve(benchmark::State& state) {
    Setup s;
    int32_t block = 0;
    for (auto _ : state) {
        FirConvolve(s.in.data(), block, s.out.data(), block, kBlock, kBlocks, s.c.data(), kTaps);
        benchmark::DoNotOptimize(s.out.data());
        block = (block + 1) & 7;
    }
    state.SetLabel(FirIsaName(FirIsaSelected()));
    SetCounters(state);
}
BENCHMARK(BM_FirConvolve)->Unit(benchmark::kMicrosecond);

void BM_FirConvolveVariant(benchmark::State& state) {
    const FirIsa isa = static_cast<FirIsa>(state.range(0));
    if (!FirIsaSupported(isa)) {
        state.SkipWithError("not supported on this processor");
        return;
    }
    Setup s;
    int32_t block = 0;
    for (auto _ : state) {
        FirConvolveWith(isa, s.in.data(), block, s.out.data(), block, kBlock, kBlocks, s.c.data(), kTaps);
        benchmark::DoNotOptimize(s.out.data());
        block = (block + 1) & 7;
    }
    state.SetLabel(FirIsaName(isa));
    SetCounters(state);
}
BENCHMARK(BM_FirConvolveVariant)
    ->Arg(int(FirIsa::Scalar))
    ->Arg(int(FirIsa::Sse2))
    ->Arg(int(FirIsa::Avx2))
    ->Arg(int(FirIsa::Avx512))
    ->Unit(benchmark::kMicrosecond);

void BM_Fft2048(benchmark::State& state) {
    std::vector<double> x(kBlock), re(kBlock), im(kBlock);
    std::mt19937 gen(2);
    std::uniform_int_distribution<int> s(-32768, 32767);
    for (double& v : x) v = s(gen);
    for (auto _ : state) {
        Fft(kBlock, 0, x.data(), nullptr, re.data(), im.data());
        benchmark::DoNotOptimize(re.data());
        benchmark::DoNotOptimize(im.data());
    }
}
BENCHMARK(BM_Fft2048)->Unit(benchmark::kMicrosecond);

// A million samples of noise through 1000 taps, as apply filters a file on one core.
void BM_FastFir(benchmark::State& state) {
    const FirIsa isa = static_cast<FirIsa>(state.range(0));
    if (!FirIsaSupported(isa)) {
        state.SkipWithError("not supported on this processor");
        return;
    }
    constexpr size_t kSamples = 1 << 20;
    Setup s;
    std::vector<int16_t> in(kTaps + kSamples), out(kSamples);
    for (size_t n = 0; n < in.size(); ++n) in[n] = s.in[n % s.in.size()];
    const FastFir fir(s.c.data(), kTaps, isa);
    size_t tapByTap = 0;
    for (auto _ : state) {
        tapByTap = fir.Filter(in.data() + kTaps, kSamples, out.data());
        benchmark::DoNotOptimize(out.data());
    }
    state.SetLabel(std::string(FirIsaName(isa)) + ", " + std::to_string(tapByTap) + " summed tap by tap");
    state.counters["samples/s"] = benchmark::Counter(double(kSamples), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_FastFir)->Arg(int(FirIsa::Scalar))->Arg(int(FirIsa::Avx2))->Unit(benchmark::kMillisecond);

}  // namespace
