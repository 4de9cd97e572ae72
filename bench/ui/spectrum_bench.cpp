// One spectrum frame as the runners deliver it: estimator plus the synchronous repaint.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <cmath>
#include <vector>

#include "ui/filter_response_dlg.h"
#include "ui/spectrum_display_dlg.h"

static void BM_UpdateSpectrum1024PointsA41(benchmark::State& state) {
    CSpectrumDisplayDlg dlg("ZORIQ1: Spectrum Display", 11025, 2048, nullptr);
    // A plot 1024 pixels wide gives the most display points.
    dlg.m_rcPlot.setCoords(0, 0, 1024, dlg.m_rcPlot.bottom());
    dlg.m_nPlotWidth = 1024;
    dlg.m_plot->resize(1025, dlg.m_plot->height());
    dlg.m_nAveraging = 41;
    dlg.show();
    std::vector<double> re(2048), im(2048);
    for (int k = 0; k < 2048; ++k) {
        re[k] = 1000.0 * std::sin(k * 0.37) + 30000.0 / (1 + k);
        im[k] = 700.0 * std::cos(k * 0.11);
    }
    for (auto _ : state) {
        dlg.UpdateSpectrum(re.data(), im.data(), 2048);
        benchmark::ClobberMemory();
    }
    state.counters["points"] = dlg.m_nPoints;
}
BENCHMARK(BM_UpdateSpectrum1024PointsA41)->Unit(benchmark::kMicrosecond);

// One block into the filter response window: the estimate, the read-outs, and the plot painted.
static void BM_UpdateResponseWithRepaint(benchmark::State& state) {
    std::vector<double> designed(1025);
    for (int k = 0; k < 1025; ++k) designed[k] = k < 300 ? 0.0 : -90.0 + 5 * std::sin(k * 0.05);
    CFilterResponseDlg dlg(designed, 11025, 2048, nullptr);
    dlg.show();
    for (int n = 0; n < 10; ++n) QCoreApplication::processEvents();
    std::vector<double> inRe(2048), inIm(2048), outRe(2048), outIm(2048);
    for (int k = 0; k < 2048; ++k) {
        inRe[k] = 1000.0 * std::sin(k * 0.37) + 3000.0;
        inIm[k] = 700.0 * std::cos(k * 0.11);
        // A noisy measured curve is the dearest to draw.
        const double gain = (k < 300 || k > 1748 ? 1.0 : 1e-4) * (1.0 + 0.3 * std::sin(k * 2.1));
        outRe[k] = inRe[k] * gain;
        outIm[k] = inIm[k] * gain;
    }
    long long samples = 0;
    for (auto _ : state) {
        samples += 2048;
        dlg.UpdateResponse(inRe.data(), inIm.data(), outRe.data(), outIm.data(), 2048, 0, samples);
        dlg.repaint();  // the labels too
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_UpdateResponseWithRepaint)->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
