// The whole work of one block for the heaviest function: a 1000-tap bank filter feeding an open input
// and output spectrum window (two transforms, two spectrum updates with their repaint), offscreen.
// The same with the filter response window open as well, and with only that window: the transforms are
// shared, so the window costs its estimate and its repaint.
// The counter block_share_pct is the share of the 185.76 ms that one block lasts.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <chrono>
#include <random>

#include "dsp/filter_bank.h"
#include "engine/wave_engine.h"
#include "runners/runners.h"
#include "tests/support/runner_test_support.h"
#include "ui/filter_response_dlg.h"
#include "ui/spectrum_display_dlg.h"

namespace {

constexpr double kBlockMs = 2048.0 * 1000.0 / 11025.0;

QApplication& App() {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "runner_block_bench";
    static char* argv[] = {name, nullptr};
    static QApplication app(argc, argv);
    return app;
}

void RunBlocks(benchmark::State& state, bool spectra, bool responseWindow = false) {
    App();
    SimWaveBackend sim;
    zqtest::FakeRunnerWindow window;
    std::mt19937 rng(1);
    std::uniform_real_distribution<double> taps(-0.01, 0.01);
    for (int j = 0; j < FIR_MAX_COEFFICIENTS; ++j) BankCoefficients[j] = taps(rng);
    BankCoefficientCount = FIR_MAX_COEFFICIENTS;
    FirBankStart(&window, 0, QString());
    if (!InputRing) {
        state.SkipWithError("the engine did not start");
        return;
    }
    std::uniform_int_distribution<int> samples(-20000, 20000);
    for (int n = 0; n < WAVE_RING_SAMPLES; ++n) InputRing[n] = static_cast<int16_t>(samples(rng));
    CSpectrumDisplayDlg* in = nullptr;
    CSpectrumDisplayDlg* out = nullptr;
    if (spectra) {
        in = new CSpectrumDisplayDlg(QStringLiteral("ZORIQ1: Spectrum Display Input"), WAVE_SAMPLE_RATE,
                                     WAVE_BLOCK_SAMPLES, &window);
        out = new CSpectrumDisplayDlg(QStringLiteral("ZORIQ1: Spectrum Display Output"), WAVE_SAMPLE_RATE,
                                      WAVE_BLOCK_SAMPLES, &window);
        in->show();
        out->show();
        window.in = in;
        window.out = out;
        QCoreApplication::processEvents();
    }
    CFilterResponseDlg* response = nullptr;
    if (responseWindow) {
        response = new CFilterResponseDlg(std::vector<double>(WAVE_BLOCK_SAMPLES / 2 + 1, 0.0), WAVE_SAMPLE_RATE,
                                          WAVE_BLOCK_SAMPLES, &window);
        response->show();
        window.response = response;
        QCoreApplication::processEvents();
    }
    int block = 0;
    const auto begin = std::chrono::steady_clock::now();
    for (auto _ : state) {
        FirBankBlock(WAVE_BLOCK_READY, block, block);
        benchmark::DoNotOptimize(OutputRing[WAVE_BLOCK_SAMPLES * block]);
        if (response) response->repaint();  // as the event loop paints it after the block
        block = (block + 1) % WAVE_NUM_BLOCKS;
    }
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin).count();
    if (state.iterations() > 0) state.counters["block_share_pct"] = 100.0 * ms / double(state.iterations()) / kBlockMs;
    if (spectra) {
        window.in = window.out = nullptr;
        in->DestroyWindow();
        out->DestroyWindow();
    }
    if (response) {
        window.response = nullptr;
        response->DestroyWindow();
    }
    FirBankStop();
}

void BM_Fir1000(benchmark::State& state) {
    RunBlocks(state, false);
}
void BM_Fir1000WithTwoSpectrumWindows(benchmark::State& state) {
    RunBlocks(state, true);
}
void BM_Fir1000WithResponseWindow(benchmark::State& state) {
    RunBlocks(state, false, true);
}
void BM_Fir1000WithTwoSpectrumAndResponseWindows(benchmark::State& state) {
    RunBlocks(state, true, true);
}

}  // namespace

BENCHMARK(BM_Fir1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Fir1000WithTwoSpectrumWindows)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Fir1000WithResponseWindow)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Fir1000WithTwoSpectrumAndResponseWindows)->Unit(benchmark::kMillisecond);
