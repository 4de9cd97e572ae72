// One spectrum frame as the runners deliver it: estimator plus the synchronous repaint.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <cmath>
#include <vector>

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

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
