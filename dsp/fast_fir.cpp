#include "dsp/fast_fir.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "dsp/fir_convolve.h"

// How far the transform can be from the true sum, and why (u = 2^-53, the unit roundoff).
//
// Overlap-save: two segments of N input samples, a + ib, go through one complex transform of size
// N = 2^L, are multiplied by K = H / N (H the transform of the taps, scaled by a power of two so that
// the largest is in [0.5, 1)) and come back through the inverse transform; the real part holds the
// first segment's outputs, the imaginary part the second's. The transforms below are radix 2 and 4,
// decimation in frequency forwards and in time backwards, and are built from two kinds of layers:
// - butterfly layers p + q, p - q: each output carries one rounding, relative error <= u (a
//   multiplication by -i or +i is exact); the exact layer is sqrt(2) times a unitary matrix;
// - twiddle layers, one per stage: each value is multiplied by a table value w' = w + d with |w| = 1
//   and |d| <= mu, with the usual four products and two sums: relative error
//   <= tau = mu + sqrt(2) gamma2 (1 + mu) (gamma_k = k u / (1 - k u)); a twiddle of exactly 1 is exact.
// The table comes from long double cos and sin of 2 pi k / N (reduced to [0, pi/4] by exact symmetries)
// rounded to double: each part is within
// 2^-54 (the rounding) + 16 LDBL_EPSILON (the argument's own rounding, below LDBL_EPSILON in [0, pi/4],
// and the long double functions, which glibc keeps within a few of their ulps) of the true value, so
// mu = sqrt(2) (2^-54 + 16 LDBL_EPSILON). Writing every computed layer as (I + Theta) times the exact
// one, with Theta diagonal, gives with rho = (1 + u)^L (1 + tau)^T - 1 (T the twiddle layers):
// - in 2-norm, |F'x - Fx| <= rho |Fx| = rho sqrt(N) |x| (the layers' norms multiply to sqrt(N));
// - for one output, |G'v - Gv|_n <= rho |v|_1, since every input reaches every output along exactly
//   one path of unit weights.
// With z the input pair, h the scaled taps, P = Z K and the product P' = fl(Z' K') rounded with
// relative error <= sigma = sqrt(2) gamma2, every output of the inverse is within
//   rho |P'|_1 + |P' - P|_1 <= |z|_2 |h|_2 (rho (1 + sigma)(1 + rho)^2 + sigma (1 + rho)^2 + rho (2 + rho))
// of the true circular convolution, using |Z'|_2 <= (1 + rho) sqrt(N) |z|_2, |K'|_2 <= (1 + rho) |h|_2
// / sqrt(N), |K' - K|_2 <= rho |h|_2 / sqrt(N) and Cauchy-Schwarz. FirConvolve's own sum is within
// gamma_count sum |h_j x_{n-j}| <= gamma_count |h|_1 max|x| of the true sum (with or without fused
// multiply-adds). Subnormal results add at most 2^-1075 per operation; with |h| < 1, |x| <= 2^15 and
// N <= 2^19 they stay below the 2^-1000 added to the bound. That term is in the transform's scaled units:
// once multiplied by the unscale it can vanish, and for tiny taps it is the absolute 2^-35 added last that
// covers FirConvolve's subnormal products (at most 2^-1075 each, 2^16 taps: below 2^-1059). Scaling the
// taps by a power of two is exact unless they span more than 2^1022: a scaled tap below 2^-1022 is rounded,
// by at most 2^-1075, which moves a sum by at most 2^-1075 2^15 2^16 = 2^-1044 in scaled units, again
// below the 2^-1000. The unscaled value y * m_unscale itself rounds only when it is subnormal, by at most
// 2^-1075, which the 2^-35 covers. Rounding in computing the bound itself is covered by a factor 1 + 2^-20.

#if defined(__GNUC__)
// The vector helpers are all inlined into the functions built for the vector unit: no vector crosses a call.
#pragma GCC diagnostic ignored "-Wpsabi"
#endif

namespace {

constexpr double kU = 0x1p-53;
constexpr uint32_t kMaxTaps = 65536;  // beyond this, tap by tap
constexpr uint32_t kSizePerTap = 8;  // transform size / taps, at least
constexpr uint32_t kMinSize = 2048;
constexpr uint32_t kLocal = 1024;  // values transformed together while they stay in the cache
constexpr double kBoundSlack = 1.0 + 0x1p-20;

double Gamma(double k) {
    return k * kU / (1.0 - k * kU);
}

// W doubles at a time, with the integer vectors of as many lanes.
template <int W>
struct Lanes;
template <>
struct Lanes<1> {
    typedef double V;
};
template <>
struct Lanes<4> {
    typedef double V __attribute__((vector_size(32)));
    typedef int32_t I __attribute__((vector_size(16)));
    typedef int16_t S __attribute__((vector_size(8)));
    typedef int16_t S2 __attribute__((vector_size(16)));
};

template <typename T>
[[gnu::always_inline]] inline T Load(const double* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <typename T>
[[gnu::always_inline]] inline void Store(double* p, const T& v) {
    std::memcpy(p, &v, sizeof v);
}

// The radix-4 butterflies without twiddles, in place on blocks 0..3: forwards
// y_r = sum_s a_s (-i)^(rs), backwards a_s = sum_r y_r i^(rs).
template <typename T>
[[gnu::always_inline]] inline void Dif4(T& r0, T& i0, T& r1, T& i1, T& r2, T& i2, T& r3, T& i3) {
    const T tr0 = r0 + r2, ti0 = i0 + i2, tr1 = r0 - r2, ti1 = i0 - i2;
    const T tr2 = r1 + r3, ti2 = i1 + i3, dr = r1 - r3, di = i1 - i3;
    r0 = tr0 + tr2;
    i0 = ti0 + ti2;
    r2 = tr0 - tr2;
    i2 = ti0 - ti2;
    r1 = tr1 + di;
    i1 = ti1 - dr;
    r3 = tr1 - di;
    i3 = ti1 + dr;
}

template <typename T>
[[gnu::always_inline]] inline void Dit4(T& r0, T& i0, T& r1, T& i1, T& r2, T& i2, T& r3, T& i3) {
    const T sr0 = r0 + r2, si0 = i0 + i2, sr1 = r0 - r2, si1 = i0 - i2;
    const T sr2 = r1 + r3, si2 = i1 + i3, dr = r1 - r3, di = i1 - i3;
    r0 = sr0 + sr2;
    i0 = si0 + si2;
    r2 = sr0 - sr2;
    i2 = si0 - si2;
    r1 = sr1 - di;
    i1 = si1 + dr;
    r3 = sr1 + di;
    i3 = si1 - dr;
}

template <typename T>
[[gnu::always_inline]] inline void Mul(T& r, T& i, const T& c, const T& s) {
    const T nr = r * c - i * s;
    i = r * s + i * c;
    r = nr;
}

template <typename T>
[[gnu::always_inline]] inline void MulConj(T& r, T& i, const T& c, const T& s) {
    const T nr = r * c + i * s;
    i = i * c - r * s;
    r = nr;
}

#if defined(__x86_64__)
using V4 = Lanes<4>::V;

[[gnu::always_inline]] inline void Transpose(V4& a, V4& b, V4& c, V4& d) {
    const V4 t0 = __builtin_shufflevector(a, b, 0, 4, 2, 6), t1 = __builtin_shufflevector(a, b, 1, 5, 3, 7);
    const V4 t2 = __builtin_shufflevector(c, d, 0, 4, 2, 6), t3 = __builtin_shufflevector(c, d, 1, 5, 3, 7);
    a = __builtin_shufflevector(t0, t2, 0, 1, 4, 5);
    b = __builtin_shufflevector(t1, t3, 0, 1, 4, 5);
    c = __builtin_shufflevector(t0, t2, 2, 3, 6, 7);
    d = __builtin_shufflevector(t1, t3, 2, 3, 6, 7);
}
#endif

struct FreeDeleter {
    void operator()(double* p) const { std::free(p); }
};
using Buffer = std::unique_ptr<double, FreeDeleter>;

Buffer Allocate(size_t doubles) {
    void* p = std::aligned_alloc(64, (doubles * sizeof(double) + 63) / 64 * 64);
    if (!p) throw std::bad_alloc();
    return Buffer(static_cast<double*>(p));
}

}  // namespace

struct FastFir::Plan {
    struct Stage {
        uint32_t radix, quarter;  // quarter: a radix-4 stage's span / 4, a radix-2 stage's span / 2
        size_t twiddles;  // offset in m_twiddles
    };
    std::vector<double> m_taps;
    uint32_t m_count = 0;
    bool m_vector = false;
    uint32_t m_size = 0;  // transform size, a power of two; 0: tap by tap throughout
    std::vector<Stage> m_stages;  // forward order
    std::vector<double> m_twiddles;
    std::vector<double> m_spectrumRe, m_spectrumIm;  // the scaled taps' transform divided by m_size
    double m_unscale = 1.0;  // taps = scaled taps * m_unscale, a power of two
    double m_errorPerEnergy = 0.0;  // transform's error per unit of the input pair's 2-norm
    double m_errorPerPeak = 0.0;  // tap-by-tap sum's error per unit of the input's largest magnitude

    Plan(const double* coefficients, uint32_t count, FirIsa isa);
    template <int W, bool Back>
    void Stage(size_t s, double* re, double* im, uint32_t len) const;
    template <int W>
    void Transform(double* re, double* im, bool convolve) const;
    template <int W>
    size_t Filter(const int16_t* x, size_t n, int16_t* out, size_t* clipped) const;
    void ForwardVector(double* re, double* im) const;
    size_t FilterVector(const int16_t* x, size_t n, int16_t* out, size_t* clipped) const;
    size_t Clipped(const int16_t* x, const int16_t* out, size_t n, const double* y, double bound) const;
};

FastFir::FastFir(const double* coefficients, uint32_t count, FirIsa isa)
    : m_plan(std::make_unique<Plan>(coefficients, count, isa)) {}

FastFir::~FastFir() = default;

size_t FastFir::Stride() const {
    return m_plan->m_size == 0 ? 0 : 2 * (m_plan->m_size - (m_plan->m_count - 1));
}

FastFir::Plan::Plan(const double* coefficients, uint32_t count, FirIsa isa)
    : m_taps(coefficients, coefficients + count),
      m_count(count),
      m_vector(FirIsaSupported(isa) && (isa == FirIsa::Avx2 || isa == FirIsa::Avx512)) {
#if !defined(__x86_64__)
    m_vector = false;
#endif
    if (count == 0 || count > kMaxTaps) return;
    double peak = 0.0;
    for (double c : m_taps) {
        if (!std::isfinite(c)) return;
        peak = std::max(peak, std::fabs(c));
    }
    int exponent = 0;
    std::frexp(peak, &exponent);  // peak = f 2^exponent, f in [0.5, 1)
    std::vector<double> scaled(count);
    double sum = 0.0, squares = 0.0;
    for (uint32_t j = 0; j < count; ++j) {
        scaled[j] = std::ldexp(m_taps[j], -exponent);
        sum += std::fabs(scaled[j]);
        squares += scaled[j] * scaled[j];
    }
    const double norm1 = sum * kBoundSlack, norm2 = std::sqrt(squares) * kBoundSlack;
    m_unscale = std::ldexp(1.0, exponent);
    // The tap-by-tap sums must stay finite for the bound to hold; such taps are summed that way throughout.
    if (!(norm1 * 32768.0 * m_unscale < 0x1p1020)) return;

    uint32_t size = kMinSize;
    while (size < kSizePerTap * count) size *= 2;
    m_size = size;
    int log2 = 0;
    while ((1u << log2) < size) ++log2;

    // cos and sin of 2 pi k / N from arguments in [0, pi/4], turned by exact reflections and quarter turns.
    std::vector<double> baseCos(size / 8 + 1), baseSin(size / 8 + 1);
    for (uint32_t t = 0; t <= size / 8; ++t) {
        const long double a = 6.283185307179586476925286766559005768L * t / size;
        baseCos[t] = static_cast<double>(std::cos(a));
        baseSin[t] = static_cast<double>(std::sin(a));
    }
    std::vector<double> cosTable(size), sinTable(size);
    for (uint32_t k = 0; k < size; ++k) {
        const uint32_t quadrant = 4 * k / size, r = k - quadrant * (size / 4);
        const bool low = 8 * r <= size;
        const uint32_t t = low ? r : size / 4 - r;
        const double c = low ? baseCos[t] : baseSin[t], sn = low ? baseSin[t] : baseCos[t];
        const double turned[4][2] = {{c, sn}, {-sn, c}, {-c, -sn}, {sn, -c}};
        cosTable[k] = turned[quadrant][0];
        sinTable[k] = -turned[quadrant][1];  // forwards e^(-2 pi i k / N)
    }
    // Stages in forward order: one radix-2 stage first when log2 is odd, then radix 4 down to span 4.
    int twiddleLayers = 0;
    uint32_t span = size;
    auto addTwiddles = [&](uint32_t radix, uint32_t quarter) {
        m_stages.push_back({radix, quarter, m_twiddles.size()});
        for (uint32_t r = 1; r < radix; ++r) {
            const uint32_t step = r * (size / span);
            for (uint32_t j = 0; j < quarter; ++j) m_twiddles.push_back(cosTable[(j * step) % size]);
            for (uint32_t j = 0; j < quarter; ++j) m_twiddles.push_back(sinTable[(j * step) % size]);
        }
        if (quarter > 1) ++twiddleLayers;
    };
    if (log2 % 2) {
        addTwiddles(2, span / 2);
        span /= 2;
    }
    for (; span >= 4; span /= 4) addTwiddles(4, span / 4);

    // The taps' spectrum, through the same transform as the data.
    Buffer re = Allocate(size), im = Allocate(size);
    std::fill(re.get(), re.get() + size, 0.0);
    std::fill(im.get(), im.get() + size, 0.0);
    std::copy(scaled.begin(), scaled.end(), re.get());
#if defined(__x86_64__)
    if (m_vector)
        ForwardVector(re.get(), im.get());
    else
#endif
        Transform<1>(re.get(), im.get(), false);
    m_spectrumRe.resize(size);
    m_spectrumIm.resize(size);
    for (uint32_t k = 0; k < size; ++k) {
        m_spectrumRe[k] = std::ldexp(re.get()[k], -log2);
        m_spectrumIm[k] = std::ldexp(im.get()[k], -log2);
    }

    const double mu = std::sqrt(2.0) * (0x1p-54 + 16.0 * LDBL_EPSILON);
    const double sigma = std::sqrt(2.0) * Gamma(2);
    const double tau = mu + sigma * (1.0 + mu);
    // (1 + u)^L (1 + tau)^T - 1 <= e^g - 1 <= g / (1 - g) with g = L u + T tau.
    const double g = log2 * kU + twiddleLayers * tau;
    const double rho = g / (1.0 - g);
    const double r1 = 1.0 + rho;
    m_errorPerEnergy = norm2 * (rho * (1.0 + sigma) * r1 * r1 + sigma * r1 * r1 + rho * (2.0 + rho)) * kBoundSlack;
    m_errorPerPeak = Gamma(count) * norm1 * kBoundSlack;
}

// One stage over len values (a multiple of its span), forwards (decimation in frequency: butterflies,
// then twiddles) or backwards (in time: conjugate twiddles, then butterflies). With W = 4 the stage of
// span 16 also does the last one (span 4): after the first, each group of the second lies in one vector,
// so a transpose puts the groups in lanes. That result stays transposed; backwards starts from it.
template <int W, bool Back>
[[gnu::always_inline]] inline void FastFir::Plan::Stage(size_t s, double* re, double* im, uint32_t len) const {
    using T = typename Lanes<W>::V;
    const uint32_t q = m_stages[s].quarter;
    const double* tw = m_twiddles.data() + m_stages[s].twiddles;
    if (m_stages[s].radix == 2) {
        for (uint32_t j = 0; j < q; j += W) {
            T r0 = Load<T>(re + j), i0 = Load<T>(im + j), r1 = Load<T>(re + q + j), i1 = Load<T>(im + q + j);
            if (Back) MulConj(r1, i1, Load<T>(tw + j), Load<T>(tw + q + j));
            const T dr = r0 - r1, di = i0 - i1;
            r0 = r0 + r1;
            i0 = i0 + i1;
            r1 = dr;
            i1 = di;
            if (!Back) Mul(r1, i1, Load<T>(tw + j), Load<T>(tw + q + j));
            Store(re + j, r0), Store(im + j, i0), Store(re + q + j, r1), Store(im + q + j, i1);
        }
        return;
    }
    // Blocks 0..3 of a group, q apart, W values at a time from offset j.
    T r0{}, i0{}, r1{}, i1{}, r2{}, i2{}, r3{}, i3{};
    auto load = [&](const double* a, const double* b, uint32_t j) {
        r0 = Load<T>(a + j), i0 = Load<T>(b + j), r1 = Load<T>(a + q + j), i1 = Load<T>(b + q + j);
        r2 = Load<T>(a + 2 * q + j), i2 = Load<T>(b + 2 * q + j);
        r3 = Load<T>(a + 3 * q + j), i3 = Load<T>(b + 3 * q + j);
    };
    auto store = [&](double* a, double* b, uint32_t j) {
        Store(a + j, r0), Store(b + j, i0), Store(a + q + j, r1), Store(b + q + j, i1);
        Store(a + 2 * q + j, r2), Store(b + 2 * q + j, i2), Store(a + 3 * q + j, r3), Store(b + 3 * q + j, i3);
    };
    auto butterflies = [&](const T& w1r, const T& w1i, const T& w2r, const T& w2i, const T& w3r, const T& w3i) {
        if (Back) {
            MulConj(r1, i1, w1r, w1i);
            MulConj(r2, i2, w2r, w2i);
            MulConj(r3, i3, w3r, w3i);
            Dit4(r0, i0, r1, i1, r2, i2, r3, i3);
        } else {
            Dif4(r0, i0, r1, i1, r2, i2, r3, i3);
            Mul(r1, i1, w1r, w1i);
            Mul(r2, i2, w2r, w2i);
            Mul(r3, i3, w3r, w3i);
        }
    };
#if defined(__x86_64__)
    if constexpr (W == 4) {
        if (q == 4) {
            const T w1r = Load<T>(tw), w1i = Load<T>(tw + 4), w2r = Load<T>(tw + 8), w2i = Load<T>(tw + 12);
            const T w3r = Load<T>(tw + 16), w3i = Load<T>(tw + 20);
            for (uint32_t g = 0; g < len; g += 16) {
                load(re + g, im + g, 0);
                if (Back) {
                    Dit4(r0, i0, r1, i1, r2, i2, r3, i3);
                    Transpose(r0, r1, r2, r3);
                    Transpose(i0, i1, i2, i3);
                }
                butterflies(w1r, w1i, w2r, w2i, w3r, w3i);
                if (!Back) {
                    Transpose(r0, r1, r2, r3);
                    Transpose(i0, i1, i2, i3);
                    Dif4(r0, i0, r1, i1, r2, i2, r3, i3);
                }
                store(re + g, im + g, 0);
            }
            return;
        }
    }
#endif
    for (uint32_t g = 0; g < len; g += 4 * q) {
        for (uint32_t j = 0; j < q; j += W) {
            load(re + g, im + g, j);
            butterflies(Load<T>(tw + j), Load<T>(tw + q + j), Load<T>(tw + 2 * q + j), Load<T>(tw + 3 * q + j),
                        Load<T>(tw + 4 * q + j), Load<T>(tw + 5 * q + j));
            store(re + g, im + g, j);
        }
    }
}

// Forwards and, to convolve, times the taps' spectrum and backwards. The stages of wide span go over the
// whole array; the rest go block by block, each block through all of them (both ways) while it stays in
// the first-level cache. Every value sees the same operations in the same order either way.
template <int W>
[[gnu::always_inline]] inline void FastFir::Plan::Transform(double* re, double* im, bool convolve) const {
    using T = typename Lanes<W>::V;
    const size_t stages = W == 4 ? m_stages.size() - 1 : m_stages.size();
    const uint32_t local = std::min(kLocal, m_size);
    size_t wide = 0;
    for (; wide < stages && m_stages[wide].radix * m_stages[wide].quarter > local; ++wide)
        Stage<W, false>(wide, re, im, m_size);
    for (uint32_t g = 0; g < m_size; g += local) {
        double *a = re + g, *b = im + g;
        for (size_t t = wide; t < stages; ++t) Stage<W, false>(t, a, b, local);
        if (!convolve) continue;
        for (uint32_t k = 0; k < local; k += W) {
            T r = Load<T>(a + k), i = Load<T>(b + k);
            Mul(r, i, Load<T>(m_spectrumRe.data() + g + k), Load<T>(m_spectrumIm.data() + g + k));
            Store(a + k, r);
            Store(b + k, i);
        }
        for (size_t t = stages; t-- > wide;) Stage<W, true>(t, a, b, local);
    }
    if (convolve)
        for (size_t t = wide; t-- > 0;) Stage<W, true>(t, re, im, m_size);
}

// Of n outputs, those clamped: only a sample at either end of the range can be. The sum lies within bound of
// the transform's value y * m_unscale (y null: no value), which decides it but within bound of the edge,
// where the sum itself is made.
size_t FastFir::Plan::Clipped(const int16_t* x, const int16_t* out, size_t n, const double* y, double bound) const {
    size_t clipped = 0;
    for (size_t k = 0; k < n; ++k) {
        if (out[k] != 32767 && out[k] != -32768) continue;
        const double v = y ? y[k] * m_unscale : 0.0, edge = out[k] > 0 ? 32768.0 : -32769.0;
        if (y && (out[k] > 0 ? v - bound >= edge : v + bound <= edge)) {
            ++clipped;
        } else if (!y || (out[k] > 0 ? v + bound >= edge : v - bound <= edge)) {
            const double sum = FirConvolveSum(x + k, m_taps.data(), m_count);
            clipped += out[k] > 0 ? sum >= edge : sum <= edge;
        }
    }
    return clipped;
}

template <int W>
[[gnu::always_inline]] inline size_t FastFir::Plan::Filter(const int16_t* x, size_t n, int16_t* out,
                                                           size_t* clipped) const {
    using T = typename Lanes<W>::V;
    const uint32_t N = m_size, m = m_count;
    const size_t valid = N - (m - 1);
    Buffer bufRe = Allocate(N), bufIm = Allocate(N);
    double *re = bufRe.get(), *im = bufIm.get();
    std::vector<uint32_t> undecided(valid);
    size_t tapByTap = 0;

    for (size_t first = 0; first < n; first += 2 * valid) {
        // Both segments' input, as doubles, with the sum of squares (exact: integers below 2^53) and the peak.
        double energy = 0.0, peak = 0.0;
        for (int part = 0; part < 2; ++part) {
            double* to = part == 0 ? re : im;
            const size_t start = first + part * valid;  // first output of the segment
            const size_t have = start >= n ? 0 : std::min<size_t>(N, n - start + (m - 1));
            const int16_t* from = have > 0 ? x + start - (m - 1) : x;
            size_t t = 0;
            if constexpr (W > 1) {
                using I = typename Lanes<W>::I;
                using S = typename Lanes<W>::S;
                T sq = {}, top = {}, bottom = {};
                for (; t + W <= have; t += W) {
                    S four;
                    std::memcpy(&four, from + t, sizeof four);
                    const T v = __builtin_convertvector(__builtin_convertvector(four, I), T);
                    Store(to + t, v);
                    sq += v * v;
                    top = v > top ? v : top;
                    bottom = v < bottom ? v : bottom;
                }
                for (int l = 0; l < W; ++l) {
                    energy += sq[l];
                    peak = std::max({peak, top[l], -bottom[l]});
                }
            }
            for (; t < have; ++t) {
                const double v = from[t];
                to[t] = v;
                energy += v * v;
                peak = std::max(peak, std::fabs(v));
            }
            std::fill(to + have, to + N, 0.0);
        }

        Transform<W>(re, im, true);

        const double bound =
            ((m_errorPerEnergy * std::sqrt(energy) + m_errorPerPeak * peak + 0x1p-1000) * kBoundSlack) * m_unscale +
            0x1p-35;
        // The 2^-35 covers the rounding of value -+ bound below: at most 2^-37 where that lands below 2^17,
        // beyond which both clamp. Once the bound passes 2^17 the 2^-35 can itself be rounded away; but where
        // value -+ bound lands in [-32769, 32768], the only range where truncating and clamping tell samples
        // apart, value and bound are then within a factor of two of each other and the difference is exact
        // (Sterbenz).
        for (int part = 0; part < 2; ++part) {
            const size_t start = first + part * valid;
            if (start >= n) break;
            const size_t count = std::min(valid, n - start);
            const double* y = (part == 0 ? re : im) + (m - 1);
            int16_t* o = out + start;
            size_t left = 0;  // undecided outputs of this segment
            const bool decidable = bound < 0x1p30;  // a larger one decides nothing: all summed tap by tap
            size_t k = decidable ? 0 : count;
            // A sample is decided when truncating and clamping gives the same at both ends of
            // [value - bound, value + bound]: both the true sum and FirConvolve's lie in between.
            if constexpr (W > 1) {
                using I = typename Lanes<W>::I;
                using S2 = typename Lanes<W>::S2;
                const T low = T{} - 32768.0, high = T{} + 32767.0;
                I differ = {};
                for (; k + W <= count; k += W) {
                    const T v = Load<T>(y + k) * m_unscale;
                    T lo = v - bound, hi = v + bound;
                    lo = lo > low ? lo : low;
                    lo = lo < high ? lo : high;
                    hi = hi > low ? hi : low;
                    hi = hi < high ? hi : high;
                    const I a = __builtin_convertvector(lo, I), b = __builtin_convertvector(hi, I);
                    differ |= a ^ b;
                    const S2 halves = reinterpret_cast<S2>(a);  // the low half of each lane is the sample
                    const auto samples = __builtin_shufflevector(halves, halves, 0, 2, 4, 6);
                    std::memcpy(o + k, &samples, sizeof samples);
                }
                uint64_t any[2];
                std::memcpy(any, &differ, sizeof any);
                if (any[0] | any[1]) k = 0;  // rare: find them one by one
            }
            for (; k < count; ++k) {
                const double v = y[k] * m_unscale;
                const double lo = std::min(std::max(v - bound, -32768.0), 32767.0);
                const double hi = std::min(std::max(v + bound, -32768.0), 32767.0);
                o[k] = static_cast<int16_t>(lo);
                if (static_cast<int16_t>(lo) != static_cast<int16_t>(hi)) undecided[left++] = static_cast<uint32_t>(k);
            }
            if (!decidable) left = count;
            // Many undecided samples (structured input) are summed faster all together.
            if (left > count / 8) {
                FirConvolveSpan(x + start, count, m_taps.data(), m, o);
                tapByTap += count;
            } else {
                for (size_t u = 0; u < left; ++u)
                    o[undecided[u]] = FirConvolveSample(x + start + undecided[u], m_taps.data(), m);
                tapByTap += left;
            }
            if (clipped) *clipped += Clipped(x + start, o, count, decidable ? y : nullptr, bound);
        }
    }
    return tapByTap;
}

#if defined(__x86_64__)
__attribute__((target("avx2"))) void FastFir::Plan::ForwardVector(double* re, double* im) const {
    Transform<4>(re, im, false);
}

__attribute__((target("avx2"))) size_t FastFir::Plan::FilterVector(const int16_t* x, size_t n, int16_t* out,
                                                                   size_t* clipped) const {
    return Filter<4>(x, n, out, clipped);
}
#endif

size_t FastFir::Filter(const int16_t* x, size_t n, int16_t* out, size_t* clipped) const {
    const Plan& p = *m_plan;
    if (p.m_count == 0) {
        std::fill(out, out + n, int16_t{0});
        return 0;
    }
    if (p.m_size == 0) {
        FirConvolveSpan(x, n, p.m_taps.data(), p.m_count, out);
        if (clipped) *clipped += p.Clipped(x, out, n, nullptr, 0.0);
        return n;
    }
#if defined(__x86_64__)
    if (p.m_vector) return p.FilterVector(x, n, out, clipped);
#endif
    return p.Filter<1>(x, n, out, clipped);
}
