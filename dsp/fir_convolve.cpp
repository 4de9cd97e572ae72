#include "dsp/fir_convolve.h"

#include <cstring>
#include <initializer_list>

#include "dsp/fir_convolve_isa.h"

// Every output sample keeps its own accumulator and adds its products in tap order, so the
// vector variants give bit for bit the result of the plain loop: they only work on several
// output samples at once (one per vector lane). Summing across taps would reorder the
// additions and change the rounding. Built with -ffp-contract=off so that no multiply-add is
// fused either.

namespace {

// Samples of history converted to double on the stack: taps - 1 before the first output
// plus the outputs of one tile.
constexpr uint32_t kWindowSize = 4096;
constexpr uint32_t kMaxWindowTaps = 2048;

inline int16_t ToSample(double sum) {
    if (sum != sum) return 0;  // NaN has no sample value; coefficients such as 1e999 can produce it
    if (sum < -32768.0)
        sum = -32768.0;
    else if (sum > 32767.0)
        sum = 32767.0;
    return static_cast<int16_t>(sum);  // truncates toward zero
}

// The plain loop: the ring itself is the filter's history, the mask makes the taps wrap
// from the start of the block into the blocks before it.
void PlainFilter(const int16_t* in, uint64_t mask, uint64_t first, const double* c, uint32_t count, uint32_t n,
                 int16_t* out) {
    for (uint32_t i = 0; i < n; ++i) {
        uint64_t e = first + i;
        double acc = 0.0;
        for (uint32_t j = 0; j < count; ++j) {
            acc += static_cast<double>(in[e & mask]) * c[j];
            --e;
        }
        out[i] = ToSample(acc);
    }
}

template <int W>
struct Lanes;
template <>
struct Lanes<2> {
    typedef double V __attribute__((vector_size(16)));
};
template <>
struct Lanes<4> {
    typedef double V __attribute__((vector_size(32)));
};
template <>
struct Lanes<8> {
    typedef double V __attribute__((vector_size(64)));
};

// Output t of the tile reads window[count - 1 + t - j] for tap j. W lanes per vector, R vectors
// per pass so that R independent additions hide the adder's latency.
template <int W, int R>
[[gnu::always_inline]] inline void WindowFilter(const double* window, const double* c, uint32_t count, uint32_t n,
                                                int16_t* out) {
    using V = typename Lanes<W>::V;
    uint32_t t = 0;
    for (; t + W * R <= n; t += W * R) {
        V acc[R];
#pragma GCC unroll 8
        for (int r = 0; r < R; ++r)
            for (int k = 0; k < W; ++k) acc[r][k] = 0.0;
        const double* base = window + (count - 1) + t;
        for (uint32_t j = 0; j < count; ++j) {
            V cj;
            for (int k = 0; k < W; ++k) cj[k] = c[j];
            const double* p = base - j;
#pragma GCC unroll 8
            for (int r = 0; r < R; ++r) {
                V x;
                std::memcpy(&x, p + r * W, sizeof x);
                acc[r] = acc[r] + x * cj;
            }
        }
        for (int r = 0; r < R; ++r)
            for (int k = 0; k < W; ++k) out[t + r * W + k] = ToSample(acc[r][k]);
    }
    for (; t < n; ++t) {
        const double* p = window + (count - 1) + t;
        double acc = 0.0;
        for (uint32_t j = 0; j < count; ++j) acc += p[-static_cast<int64_t>(j)] * c[j];
        out[t] = ToSample(acc);
    }
}

using WindowFilterFn = void (*)(const double*, const double*, uint32_t, uint32_t, int16_t*);

#if defined(__x86_64__)
void WindowFilterSse2(const double* w, const double* c, uint32_t count, uint32_t n, int16_t* out) {
    WindowFilter<2, 8>(w, c, count, n, out);
}

__attribute__((target("avx2"))) void WindowFilterAvx2(const double* w, const double* c, uint32_t count, uint32_t n,
                                                      int16_t* out) {
    WindowFilter<4, 8>(w, c, count, n, out);
}

__attribute__((target("avx512f"))) void WindowFilterAvx512(const double* w, const double* c, uint32_t count, uint32_t n,
                                                           int16_t* out) {
    WindowFilter<8, 8>(w, c, count, n, out);
}
#endif

WindowFilterFn WindowFilterFor(FirIsa isa) {
#if defined(__x86_64__)
    switch (isa) {
    case FirIsa::Sse2: return WindowFilterSse2;
    case FirIsa::Avx2: return WindowFilterAvx2;
    case FirIsa::Avx512: return WindowFilterAvx512;
    case FirIsa::Scalar: break;
    }
#else
    (void)isa;
#endif
    return nullptr;
}

}  // namespace

bool FirIsaSupported(FirIsa isa) {
    switch (isa) {
    case FirIsa::Scalar: return true;
#if defined(__x86_64__)
    case FirIsa::Sse2: return true;  // part of every x86-64
    case FirIsa::Avx2: __builtin_cpu_init(); return __builtin_cpu_supports("avx2");
    case FirIsa::Avx512: __builtin_cpu_init(); return __builtin_cpu_supports("avx512f");
#else
    default: return false;
#endif
    }
    return false;
}

FirIsa FirIsaSelected() {
    static const FirIsa selected = [] {
        for (FirIsa isa : {FirIsa::Avx512, FirIsa::Avx2, FirIsa::Sse2})
            if (FirIsaSupported(isa)) return isa;
        return FirIsa::Scalar;
    }();
    return selected;
}

const char* FirIsaName(FirIsa isa) {
    switch (isa) {
    case FirIsa::Scalar: return "scalar";
    case FirIsa::Sse2: return "sse2";
    case FirIsa::Avx2: return "avx2";
    case FirIsa::Avx512: return "avx512f";
    }
    return "?";
}

int FirConvolveWith(FirIsa isa, const int16_t* inputRing, int32_t inputBlock, int16_t* outputRing, int32_t outputBlock,
                    uint32_t blockLength, int32_t blocksPerRing, const double* coefficients, uint32_t count) {
    const uint64_t L = blockLength;
    if (L == 0 || blocksPerRing <= 0 || outputBlock < 0 || outputBlock >= blocksPerRing) return 1;
    const uint64_t ringSize = L * static_cast<uint64_t>(blocksPerRing);
    if ((ringSize & (ringSize - 1)) != 0) return 1;
    const uint64_t mask = ringSize - 1;
    int16_t* out = outputRing + L * static_cast<uint64_t>(outputBlock);
    if (count == 0) {
        for (uint64_t i = 0; i < L; ++i) out[i] = 0;
        return 0;
    }
    // Adding the ring's block count keeps the index positive; unsigned wrap-around agrees with the mask.
    const uint64_t first = L * static_cast<uint64_t>(static_cast<int64_t>(inputBlock) + blocksPerRing);

    const WindowFilterFn filter = FirIsaSupported(isa) ? WindowFilterFor(isa) : nullptr;
    if (!filter || count > kMaxWindowTaps) {
        PlainFilter(inputRing, mask, first, coefficients, count, blockLength, out);
        return 0;
    }
    // The ring wraps inside the taps' reach; a contiguous copy lets each lane load its samples in one go.
    double window[kWindowSize];
    const uint32_t tile = kWindowSize - (count - 1);
    for (uint32_t i0 = 0; i0 < blockLength; i0 += tile) {
        const uint32_t n = blockLength - i0 < tile ? blockLength - i0 : tile;
        const uint64_t from = first + i0 - (count - 1);
        for (uint32_t k = 0; k < count - 1 + n; ++k) window[k] = static_cast<double>(inputRing[(from + k) & mask]);
        filter(window, coefficients, count, n, out + i0);
    }
    return 0;
}

int FirConvolve(const int16_t* inputRing, int32_t inputBlock, int16_t* outputRing, int32_t outputBlock,
                uint32_t blockLength, int32_t blocksPerRing, const double* coefficients, uint32_t count) {
    return FirConvolveWith(FirIsaSelected(), inputRing, inputBlock, outputRing, outputBlock, blockLength, blocksPerRing,
                           coefficients, count);
}

void FirConvolveSpan(const int16_t* x, size_t n, const double* coefficients, uint32_t count, int16_t* out) {
    const WindowFilterFn filter = WindowFilterFor(FirIsaSelected());
    if (count == 0 || !filter || count > kMaxWindowTaps) {
        for (size_t i = 0; i < n; ++i) out[i] = FirConvolveSample(x + i, coefficients, count);
        return;
    }
    double window[kWindowSize];
    const uint32_t tile = kWindowSize - (count - 1);
    for (size_t i0 = 0; i0 < n; i0 += tile) {
        const uint32_t m = n - i0 < tile ? static_cast<uint32_t>(n - i0) : tile;
        const int16_t* from = x + i0 - (count - 1);
        for (uint32_t k = 0; k < count - 1 + m; ++k) window[k] = static_cast<double>(from[k]);
        filter(window, coefficients, count, m, out + i0);
    }
}

double FirConvolveSum(const int16_t* x, const double* coefficients, uint32_t count) {
    double acc = 0.0;
    for (uint32_t j = 0; j < count; ++j) acc += static_cast<double>(x[-static_cast<ptrdiff_t>(j)]) * coefficients[j];
    return acc;
}

int16_t FirConvolveSample(const int16_t* x, const double* coefficients, uint32_t count) {
    return ToSample(FirConvolveSum(x, coefficients, count));
}
