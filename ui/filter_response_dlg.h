#pragma once
// The filter response window: the response the running filter was designed to have and the one measured
// from the blocks it really played, in dB over frequency, with a cursor read-out and the clipped samples.
#include <QPixmap>
#include <QString>
#include <QWidget>
#include <vector>

#include "dsp/fir_analysis.h"
#include "runners/runner_window.h"
#include "toolkit/toolkit.h"

class QCheckBox;
class QPainter;
class QLabel;
class QPushButton;
class CFilterResponseDlg;

// The plot: dB and Hz axes with their grid, the two curves, grey where nothing was measured, the cursor.
// It takes the keyboard focus: Left and Right move the cursor one bin, Page Up and Page Down 64, Home and
// End to either end; the pointer moves it too.
class CFilterResponsePlot : public QWidget {
    Q_OBJECT
public:
    explicit CFilterResponsePlot(CFilterResponseDlg* parent);
    static constexpr double kTopDb = 10.0;
    static constexpr double kBottomDb = -110.0;
    static constexpr double kLogLowHz = 5.0;
    QRect Field() const;  // the area inside the axes
    double X(double hz) const;  // where a frequency lies in the field
    double Y(double db) const;
    int BinAt(int x) const;  // the bin drawn nearest to x
protected:
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    void DrawScale(QPainter& p) const;
    CFilterResponseDlg* m_dlg;
    QPixmap m_scale;  // DrawScale's picture, drawn anew when the size or the axis changes
    bool m_scaleLogarithmic = false;
    mutable QRect m_field;
    mutable QSize m_fieldFor;
};

class CFilterResponseDlg : public ZqDialog, public CResponseSink {
    Q_OBJECT
public:
    // designedDb: the designed gain at each bin 0 .. fftSize / 2. Created hidden, placed beside the
    // spectrum windows' column inside the work area; the requester shows it.
    CFilterResponseDlg(const std::vector<double>& designedDb, int sampleRate, int fftSize, QWidget* requester);

    void UpdateResponse(const double* inRe, const double* inIm, const double* outRe, const double* outIm, int n,
                        long long clippedSamples, long long samples) override;
    // The close box and Escape: the requester closes the window (closeRequested).
    void OnCancel() override;

    void SetCursorBin(int bin);
    void OnLogarithmic();
    void OnRestart();
    double BinHz(int bin) const { return static_cast<double>(bin) * m_nSampleRate / m_nFftSize; }
    int Bins() const { return m_nFftSize / 2 + 1; }

    // Controls (public so that tests can drive them).
    CFilterResponsePlot* m_plot = nullptr;
    QLabel* m_staticReadout = nullptr;
    QLabel* m_staticBasis = nullptr;
    QLabel* m_staticClipped = nullptr;
    QCheckBox* m_chkLogarithmic = nullptr;
    QPushButton* m_btnRestart = nullptr;

    int m_nSampleRate;
    int m_nFftSize;
    int m_nCursorBin = 0;
    bool m_bLogarithmic = false;
    std::vector<double> m_designed;  // dB per bin
    std::vector<double> m_measured;  // dB per bin, NaN where the input carried too little energy
    FirResponseEstimate m_estimate;
    long long m_nClipped = 0;
    long long m_nSamples = 0;

signals:
    void closeRequested();

private:
    void Place();
    void ShowReadout();
    void ShowBasis();
};
