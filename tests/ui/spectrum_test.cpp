#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>
#include <QTest>
#include <algorithm>
#include <climits>
#include <cmath>
#include <memory>
#include <vector>

#include "ui/spectrum_display_dlg.h"

namespace {

constexpr int N = 2048;

struct Frame {
    std::vector<double> re = std::vector<double>(N, 0.0);
    std::vector<double> im = std::vector<double>(N, 0.0);
};

// A frame whose bin k has magnitude f(k).
template <typename F>
Frame frameOf(F f) {
    Frame frame;
    for (int k = 0; k < N; ++k) frame.re[k] = f(k);
    return frame;
}

std::unique_ptr<CSpectrumDisplayDlg> window(int W = 0, int H = 0) {
    auto dlg = std::make_unique<CSpectrumDisplayDlg>("ZORIQ1: Spectrum Display", 11025, N, nullptr);
    if (W > 0) {
        // A plot of a chosen size, as the estimator reads it from the plot's rectangle.
        dlg->m_rcPlot.setCoords(0, 0, W, H);
        dlg->m_nPlotWidth = W;
    }
    return dlg;
}

void feed(CSpectrumDisplayDlg& dlg, const Frame& f) {
    dlg.UpdateSpectrum(f.re.data(), f.im.data(), N);
}

}  // namespace

TEST(SpectrumEstimator, WidePlotShowsEveryBinBelowHalfTheSampleRate) {
    auto dlg = window(1100, 200);
    dlg->m_nAveraging = 1;
    feed(*dlg, frameOf([](int k) { return k < 1024 ? k : 1e9; }));  // bins from 1024 up never show
    ASSERT_EQ(dlg->m_nPoints, 1024);
    const double scale = 200 * 0.97 / 1023;
    for (int i : {0, 1, 500, 1023}) {
        EXPECT_EQ(dlg->m_pPoints[i].x, static_cast<int>(i * (1100.0 / 1024)));
        EXPECT_EQ(dlg->m_pPoints[i].y, static_cast<int>(200 - scale * i)) << i;
    }
    EXPECT_EQ(dlg->m_pPoints[1023].y, 6);  // the largest sum sits 3 % below the top
}

// A narrower band shows only its share of the bins: 512 at a quarter, 256 at an eighth of the rate.
TEST(SpectrumEstimator, NarrowerBandsShowOnlyTheirBins) {
    for (int divisor : {4, 8}) {
        const int bins = N / divisor;
        auto dlg = window(400, 100);
        dlg->m_nAveraging = 1;
        dlg->m_nDivisor = divisor;
        feed(*dlg, frameOf([bins](int k) { return k < bins ? k : 1e9; }));
        const int count = std::min(400, bins);
        ASSERT_EQ(dlg->m_nPoints, count) << divisor;
        const double step = static_cast<double>(bins) / count;
        const double scale = 100 * 0.97 / static_cast<int>((count - 1) * step);
        for (int i : {1, count / 2, count - 1}) {
            EXPECT_EQ(dlg->m_pPoints[i].x, static_cast<int>(i * (400.0 / count))) << divisor << " " << i;
            EXPECT_EQ(dlg->m_pPoints[i].y, static_cast<int>(100 - scale * static_cast<int>(i * step))) << divisor;
        }
    }
}

TEST(SpectrumEstimator, NarrowPlotSamplesOneBinPerPixel) {
    auto dlg = window(300, 100);
    dlg->m_nAveraging = 1;
    feed(*dlg, frameOf([](int k) { return k + 0.9; }));  // magnitudes truncate to k
    ASSERT_EQ(dlg->m_nPoints, 300);
    // Point i stands for bin trunc(i * 1024 / 300); its magnitude is that bin number.
    const double scale = 100 * 0.97 / static_cast<int>(299 * (1024.0 / 300));
    for (int i : {1, 150, 299}) {
        const int bin = static_cast<int>(i * (1024.0 / 300));
        EXPECT_EQ(dlg->m_pPoints[i].y, static_cast<int>(100 - scale * bin)) << i;
        EXPECT_EQ(dlg->m_pPoints[i].x, i);
    }
}

TEST(SpectrumEstimator, AveragingSumsTheRingAndWrapsAtTheLength) {
    auto dlg = window(1024, 1000);
    dlg->m_nAveraging = 3;
    dlg->m_bManualGain = 1;
    dlg->m_nGain = 21;  // scale H * 1e-6 / A: a mean magnitude of 1e6 reaches the top
    for (double m : {1e6, 2e6, 3e6}) feed(*dlg, frameOf([m](int) { return m; }));
    EXPECT_EQ(dlg->m_nHistoryPos, 0);
    EXPECT_EQ(dlg->m_pPoints[7].y, 1000 - 2000);  // mean 2e6: twice the height above zero
    // Lowering the length below the ring position: the next frame lands outside the sum.
    feed(*dlg, frameOf([](int) { return 4e6; }));  // slot 0 now 4e6, position 1
    dlg->m_nAveraging = 1;
    feed(*dlg, frameOf([](int) { return 8e6; }));  // written to slot 1, sum over slot 0 only
    EXPECT_EQ(dlg->m_nHistoryPos, 0);
    EXPECT_EQ(dlg->m_pPoints[0].y, static_cast<int>(1000 - 1000 * 1e-6 * 4e6));
    // Raising it again: slots 1 and 2 still hold 8e6 and 3e6 and count until overwritten.
    dlg->m_nAveraging = 3;
    feed(*dlg, frameOf([](int) { return 0.0; }));
    EXPECT_EQ(dlg->m_pPoints[0].y, static_cast<int>(1000 - 1000 * 1e-6 / 3 * 11e6));
}

TEST(SpectrumEstimator, ManualGainStepsByATenthOfADecade) {
    for (int G : {1, 21, 41}) {
        auto dlg = window(1024, 400);
        dlg->m_nAveraging = 1;
        dlg->m_bManualGain = 1;
        dlg->m_nGain = G;
        feed(*dlg, frameOf([](int) { return 5000.0; }));
        const double s = 400 * std::pow(10.0, (G - 21) * 0.1) / 1 * 0.000001;
        EXPECT_EQ(dlg->m_pPoints[3].y, static_cast<int>(400 - s * 5000)) << "G " << G;
    }
}

TEST(SpectrumEstimator, ManualGainRisesOverTheFirstFramesAfterAClear) {
    auto dlg = window(1024, 1000);
    dlg->m_bManualGain = 1;  // A = 21: the sum is still divided by 21 with one frame in the ring
    feed(*dlg, frameOf([](int) { return 21e6; }));
    EXPECT_EQ(dlg->m_pPoints[0].y, 0);
}

TEST(SpectrumEstimator, SilenceLiesOnTheZeroLineWithoutDividingByZero) {
    auto dlg = window(1024, 150);
    for (int i = 0; i < 30; ++i) feed(*dlg, Frame{});
    for (int j = 0; j < dlg->m_nPoints; ++j) ASSERT_EQ(dlg->m_pPoints[j].y, 150);
}

TEST(SpectrumEstimator, FullScaleSumsOverflowNoIntAndHugeValuesAreClamped) {
    auto dlg = window(1024, 150);
    dlg->m_nAveraging = 41;
    const Frame loud = frameOf([](int) { return 67108864.0; });
    for (int i = 0; i < 41; ++i) feed(*dlg, loud);
    EXPECT_EQ(dlg->m_pPoints[10].y, static_cast<int>(150 - 150 * 0.97));  // 41 * 2^26 > INT_MAX, summed exactly
    dlg->m_bManualGain = 1;
    dlg->m_nGain = 41;
    feed(*dlg, loud);  // far above the plot: stored as computed, cut off by the clipping
    EXPECT_LT(dlg->m_pPoints[10].y, -1000000);
    dlg->grab();
    // A frame beyond anything 16-bit input gives is clamped, never converted out of range.
    const int pos = dlg->m_nHistoryPos;
    feed(*dlg, frameOf([](int) { return 1e300; }));
    EXPECT_EQ(dlg->m_pHistory[pos], INT_MAX);
    dlg->grab();
}

// Counts the paint events a widget receives.
struct PaintCounter : QObject {
    int paints = 0;
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::Paint) ++paints;
        return false;
    }
};

TEST(SpectrumEstimator, FrozenFramesOnlyRepaint) {
    auto dlg = window(1024, 100);
    dlg->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dlg.get()));
    PaintCounter counter;
    dlg->m_plot->installEventFilter(&counter);
    feed(*dlg, frameOf([](int k) { return k; }));
    EXPECT_EQ(counter.paints, 1) << "every frame is painted before UpdateSpectrum returns";
    const int pos = dlg->m_nHistoryPos;
    const int y = dlg->m_pPoints[5].y;
    dlg->m_btnFreeze->click();
    feed(*dlg, frameOf([](int) { return 1e7; }));
    EXPECT_EQ(counter.paints, 2) << "a frozen frame is still painted";
    EXPECT_EQ(dlg->m_nHistoryPos, pos);
    EXPECT_EQ(dlg->m_pPoints[5].y, y);
    dlg->m_btnFreeze->click();
    feed(*dlg, frameOf([](int) { return 1e7; }));
    EXPECT_NE(dlg->m_nHistoryPos, pos);
}

TEST(SpectrumWindow, StartsWithTheDesignedSettings) {
    auto dlg = window();
    const int W = dlg->m_nPlotWidth;
    EXPECT_EQ(dlg->windowTitle(), "ZORIQ1: Spectrum Display");
    EXPECT_EQ(W, dlg->m_plot->width());
    EXPECT_EQ(dlg->m_rcPlot.bottom(), dlg->m_plot->height());
    EXPECT_EQ(dlg->m_sliderFreq->maximum(), W);
    EXPECT_EQ(dlg->m_sliderFreq->value(), 50);
    EXPECT_EQ(dlg->m_editFreq->text(), QString::number(static_cast<int>(50.0 / W * 5512)));
    EXPECT_EQ(dlg->m_staticSpan->text(), "5512 Hz");
    EXPECT_EQ(dlg->m_comboBandwidth->count(), 3);
    EXPECT_EQ(dlg->m_comboBandwidth->itemText(0), "5512");
    EXPECT_EQ(dlg->m_comboBandwidth->itemText(1), "2756");
    EXPECT_EQ(dlg->m_comboBandwidth->itemText(2), "1378");
    EXPECT_EQ(dlg->m_nAveraging, 21);
    EXPECT_EQ(dlg->m_nGain, 21);
    EXPECT_EQ(dlg->m_sliderGain->minimum(), 1);
    EXPECT_EQ(dlg->m_sliderGain->maximum(), 41);
    EXPECT_EQ(dlg->m_sliderAveraging->pageStep(), 2);
    EXPECT_EQ(dlg->m_sliderAveraging->tickInterval(), 2);
    EXPECT_FALSE(dlg->m_btnFreeze->isChecked());
    EXPECT_FALSE(dlg->m_btnManualGain->isChecked());
    EXPECT_FALSE(dlg->isVisible());
    // A caption without close, minimise or maximise box, and a fixed size.
    EXPECT_FALSE(dlg->windowFlags() &
                 (Qt::WindowCloseButtonHint | Qt::WindowMinMaxButtonsHint | Qt::WindowSystemMenuHint));
    EXPECT_EQ(dlg->minimumSize(), dlg->maximumSize());
}

TEST(SpectrumWindow, NarrowerBandKeepsTheMarkerFrequencyAndClearsTheRing) {
    auto dlg = window();
    const int W = dlg->m_nPlotWidth;
    feed(*dlg, frameOf([](int) { return 1000.0; }));
    dlg->m_sliderFreq->setValue(40);
    dlg->m_comboBandwidth->setCurrentIndex(1);
    EXPECT_EQ(dlg->m_nDivisor, 4);
    EXPECT_EQ(dlg->m_staticSpan->text(), "2756 Hz");
    EXPECT_EQ(dlg->m_sliderFreq->value(), 80);
    EXPECT_EQ(dlg->m_nHistoryPos, 0);
    for (int s = 0; s < 41; ++s) ASSERT_EQ(dlg->m_pHistory[s], 0);
    // Above the new top frequency: the slider goes to its end and the read-out to the top.
    dlg->m_sliderFreq->setValue(W - 3);
    dlg->m_comboBandwidth->setCurrentIndex(2);
    EXPECT_EQ(dlg->m_sliderFreq->value(), W);
    EXPECT_EQ(dlg->m_editFreq->text(), "1378");
    // Widening quarters the position, truncated; the read-out keeps its text.
    dlg->m_comboBandwidth->setCurrentIndex(0);
    EXPECT_EQ(dlg->m_sliderFreq->value(), W / 4);
    EXPECT_EQ(dlg->m_editFreq->text(), "1378");
}

TEST(SpectrumWindow, AveragingWaitsForTheDragToEndWhileGainFollowsIt) {
    auto dlg = window();
    dlg->m_sliderAveraging->setSliderDown(true);
    dlg->m_sliderAveraging->setValue(7);
    EXPECT_EQ(dlg->m_nAveraging, 21);
    dlg->m_sliderAveraging->setSliderDown(false);
    EXPECT_EQ(dlg->m_nAveraging, 7);
    dlg->m_sliderGain->setSliderDown(true);
    dlg->m_sliderGain->setValue(30);
    EXPECT_EQ(dlg->m_nGain, 30);
    dlg->m_sliderGain->setSliderDown(false);
    // Keyboard moves end at once.
    dlg->show();
    dlg->m_sliderAveraging->setFocus();
    QTest::keyClick(dlg->m_sliderAveraging, Qt::Key_PageUp);
    EXPECT_EQ(dlg->m_nAveraging, 9);
    // Dragging the frequency slider updates the read-out continuously.
    dlg->m_sliderFreq->setSliderDown(true);
    dlg->m_sliderFreq->setValue(100);
    EXPECT_EQ(dlg->m_editFreq->text(), QString::number(static_cast<int>(100.0 / dlg->m_nPlotWidth * 5512)));
}

TEST(SpectrumWindow, FreezeDisablesTheSettingsButNotTheSlider) {
    auto dlg = window();
    dlg->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dlg.get()));
    QWidget* freeze = dlg->m_btnFreeze;
    QTest::mouseClick(dlg->windowHandle(), Qt::LeftButton, {}, freeze->mapTo(dlg.get(), freeze->rect().center()));
    EXPECT_EQ(dlg->m_bFreeze, 1);
    EXPECT_FALSE(dlg->m_btnManualGain->isEnabled());
    EXPECT_FALSE(dlg->m_sliderGain->isEnabled());
    EXPECT_FALSE(dlg->m_sliderAveraging->isEnabled());
    EXPECT_FALSE(dlg->m_comboBandwidth->isEnabled());
    EXPECT_TRUE(dlg->m_sliderFreq->isEnabled());
    QWidget* manual = dlg->m_btnManualGain;
    QTest::mouseClick(dlg->windowHandle(), Qt::LeftButton, {}, manual->mapTo(dlg.get(), manual->rect().center()));
    EXPECT_EQ(dlg->m_bManualGain, 0);  // disabled: no effect
    QTest::mouseClick(dlg->windowHandle(), Qt::LeftButton, {}, freeze->mapTo(dlg.get(), freeze->rect().center()));
    EXPECT_EQ(dlg->m_bFreeze, 0);
    EXPECT_TRUE(dlg->m_comboBandwidth->isEnabled());
    QTest::mouseClick(dlg->windowHandle(), Qt::LeftButton, {}, manual->mapTo(dlg.get(), manual->rect().center()));
    EXPECT_EQ(dlg->m_bManualGain, 1);
}

TEST(SpectrumWindow, EscapeAndCloseRequestsDoNothing) {
    auto dlg = window();
    dlg->show();
    QTest::keyClick(dlg->windowHandle(), Qt::Key_Escape);
    PostCloseRequest(dlg.get());
    dlg->close();
    QCoreApplication::processEvents();
    EXPECT_TRUE(dlg->isVisible());
}

// Frames as a window manager draws them (the offscreen platform adds 2-pixel ones once a window shows):
// the second window's frame starts where the first one's ends, though it is placed before it has a frame,
// and also where a manager has put the first one elsewhere (below a panel).
TEST(SpectrumWindow, SecondFrameSitsBelowTheFirstAndMovesUpWhenAlone) {
    ASSERT_EQ(g_nSpectrumWindows, 0);
    auto first = window();
    first->show();
    auto second = window();
    second->show();
    EXPECT_EQ(g_nSpectrumWindows, 2);
    EXPECT_EQ(first->m_nSlot, 1);
    EXPECT_EQ(second->m_nSlot, 2);
    ASSERT_GT(first->frameGeometry().height(), first->height());
    EXPECT_EQ(first->frameGeometry().topLeft(), QPoint(0, 0));
    EXPECT_EQ(second->frameGeometry().topLeft(), QPoint(0, first->frameGeometry().bottom() + 1));
    second.reset();
    first->move(0, 30);
    second = window();
    second->show();
    EXPECT_EQ(second->frameGeometry().topLeft(), QPoint(0, first->frameGeometry().bottom() + 1));
    first.reset();
    EXPECT_EQ(g_nSpectrumWindows, 1);
    feed(*second, Frame{});
    EXPECT_EQ(second->m_nSlot, 1);
    EXPECT_EQ(second->frameGeometry().topLeft(), QPoint(0, 0));
    second.reset();
    // A first window not framed yet: the requester's frame stands in for it.
    QWidget requester;
    requester.show();
    auto unframed = window();
    auto below = std::make_unique<CSpectrumDisplayDlg>("ZORIQ1: Spectrum Display", 11025, N, &requester);
    EXPECT_EQ(below->m_nSlot, 2);
    below->show();
    EXPECT_EQ(below->frameGeometry().top(),
              unframed->height() + requester.frameGeometry().height() - requester.height());
}

TEST(SpectrumPlot, PaintsWhiteFieldGreenTraceAndRedMarker) {
    // A plot area of a known size inside the real plot, whatever the font makes of the window.
    auto dlg = window(200, 60);
    ASSERT_GE(dlg->m_plot->width(), 201);
    ASSERT_GE(dlg->m_plot->height(), 61);
    dlg->m_nAveraging = 1;
    // One loud band: the trace rises to 3 % below the top there and lies on the bottom elsewhere.
    feed(*dlg, frameOf([](int k) { return k >= 190 && k < 230 ? 1e6 : 0.0; }));
    dlg->m_sliderFreq->setValue(150);  // three quarters of the width: x = 150
    QImage image = dlg->m_plot->grab().toImage();
    const int H = dlg->m_rcPlot.bottom();
    const QColor green(0, 128, 0), red(128, 0, 0);
    EXPECT_EQ(image.pixelColor(150, H / 2), red);
    EXPECT_EQ(image.pixelColor(149, H / 2), Qt::white);
    EXPECT_EQ(image.pixelColor(151, H / 2), Qt::white);
    EXPECT_EQ(image.pixelColor(5, 5), Qt::white);
    int peak = -1;
    for (int j = 0; j < dlg->m_nPoints; ++j)
        if (dlg->m_pPoints[j].y < H) peak = j;
    ASSERT_GE(peak, 0);
    EXPECT_EQ(image.pixelColor(dlg->m_pPoints[peak].x, dlg->m_pPoints[peak].y), green);
}

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
