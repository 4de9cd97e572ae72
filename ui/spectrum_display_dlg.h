#pragma once
// The live magnitude-spectrum window and its plot.
#include <QString>
#include <QWidget>
#include <cstdint>
#include <vector>

#include "runners/runner_window.h"
#include "toolkit/toolkit.h"

class QSlider;
class QLineEdit;
class QLabel;
class QComboBox;
class QPushButton;
class CSpectrumDisplayDlg;

constexpr int SPECTRUM_HISTORY_SLOTS = 41;

// Number of CSpectrumDisplayDlg objects in existence.
extern int g_nSpectrumWindows;

struct SpectrumPoint {
    int x;
    int y;
};

// The plot area: paints the white field, the trace and the frequency marker from its parent's members.
class CSpectrumPlot : public QWidget {
    Q_OBJECT
public:
    explicit CSpectrumPlot(CSpectrumDisplayDlg* parent);

protected:
    void paintEvent(QPaintEvent* event) override;
};

class CSpectrumDisplayDlg : public ZqDialog, public CSpectrumSink {
    Q_OBJECT
public:
    // Creates the window hidden and initialised, placed in the first or the second screen position.
    CSpectrumDisplayDlg(const QString& caption, int sampleRate, int fftSize, QWidget* requester);
    ~CSpectrumDisplayDlg() override;

    // One spectrum frame (n = the FFT size): recomputes the trace and repaints the plot before returning.
    void UpdateSpectrum(const double* re, const double* im, int n) override;

    void OnCancel() override;  // does nothing: only the requester ends this window

    // Control handlers.
    void OnSelchangeBandwidth();
    void OnFreeze();
    void OnManualGain();

    // Controls (public so that tests can drive them).
    QPushButton* m_btnManualGain = nullptr;  // 1032
    QPushButton* m_btnFreeze = nullptr;  // 1031
    QSlider* m_sliderGain = nullptr;  // 1030
    QLabel* m_staticSpan = nullptr;  // 1024
    QSlider* m_sliderAveraging = nullptr;  // 1026
    QComboBox* m_comboBandwidth = nullptr;  // 1025
    QSlider* m_sliderFreq = nullptr;  // 1016
    QLineEdit* m_editFreq = nullptr;  // 1019
    int m_nPoints = 0;
    SpectrumPoint* m_pPoints = nullptr;
    int m_nPlotWidth = 0;
    QRect m_rcPlot;  // client rectangle of the plot: W = right edge, H = bottom edge
    CSpectrumPlot* m_plot = nullptr;  // 1015
    QString m_strCaption;
    int m_nSampleRate = 0;
    int m_nFftSize = 0;
    int m_nSpanHz = 0;
    int m_nDivisor = 2;
    int m_nAveragingMax = 41;
    int m_nAveraging = 21;
    int m_nGainMax = 41;
    int m_nGain = 21;
    int* m_pHistory = nullptr;  // m_nFftSize / 2 rows of SPECTRUM_HISTORY_SLOTS
    int m_nHistoryPos = 0;
    int m_nSlot = 1;
    int m_bFreeze = 0;
    int m_bManualGain = 0;

private:
    void OnInitDialog();
    // Slot 1: the frame in the screen's top left corner; slot 2: directly under a slot-1 frame.
    void MoveToSlot(int slot);
    void ShowSliderFrequency();
    // The estimator: one frame into the ring, the sums and the trace (no painting).
    void SpectrumEstimate(const double* re, const double* im, int n);
    std::vector<int64_t> m_sums;  // per display point, sized once at construction
};
