#include "ui/spectrum_display_dlg.h"

#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSlider>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>

int g_nSpectrumWindows = 0;

namespace {

enum {
    IDC_PLOT = 1015,
    IDC_SLIDER_FREQ = 1016,
    IDC_EDIT_FREQ = 1019,
    IDC_STATIC_SPAN = 1024,
    IDC_BANDWIDTH = 1025,
    IDC_AVERAGING = 1026,
    IDC_GAIN = 1030,
    IDC_FREEZE = 1031,
    IDC_MANUAL_GAIN = 1032,
};

QLabel* label(QWidget* parent, const QString& text, const QRect& rect, Qt::Alignment align = Qt::AlignLeft) {
    auto* l = PlaceControl(new QLabel(text, parent), 0, rect);
    l->setAlignment(align | Qt::AlignVCenter);
    return l;
}

QSlider* trackbar(QWidget* parent, int id, const QRect& rect) {
    auto* s = PlaceControl(new QSlider(Qt::Horizontal, parent), id, rect);
    s->setRange(1, 41);
    s->setPageStep(2);
    s->setTickInterval(2);
    s->setTickPosition(QSlider::TicksAbove);
    return s;
}

// Values far outside the plot stay representable; the painter's clipping cuts them off.
int truncToInt(double v) {
    if (!(v > INT_MIN)) return INT_MIN;
    if (v >= INT_MAX) return INT_MAX;
    return static_cast<int>(v);
}

const CSpectrumDisplayDlg* OtherSpectrumWindow(const CSpectrumDisplayDlg* self) {
    for (QWidget* window : QApplication::topLevelWidgets()) {
        auto* other = qobject_cast<const CSpectrumDisplayDlg*>(window);
        if (other && other != self) return other;
    }
    return nullptr;
}

}  // namespace

CSpectrumPlot::CSpectrumPlot(CSpectrumDisplayDlg* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void CSpectrumPlot::paintEvent(QPaintEvent*) {
    auto* dlg = static_cast<CSpectrumDisplayDlg*>(parentWidget());
    const int W = dlg->m_rcPlot.right();
    const int H = dlg->m_rcPlot.bottom();
    QPainter painter(this);
    // Columns 0..W and rows 0..H white, then everything clipped to that area.
    const QRect area(0, 0, W + 1, H + 1);
    painter.fillRect(area, Qt::white);
    painter.setClipRect(area);
    if (dlg->m_nPoints >= 2) {
        painter.setPen(QPen(QColor(0, 128, 0), 1));
        QPolygon trace(dlg->m_nPoints);
        for (int i = 0; i < dlg->m_nPoints; ++i) trace.setPoint(i, dlg->m_pPoints[i].x, dlg->m_pPoints[i].y);
        painter.drawPolyline(trace);
    }
    if (dlg->m_nPlotWidth > 0 && H > 0) {
        const int p = dlg->m_sliderFreq->value();
        const int x = static_cast<int>(static_cast<double>(p) / dlg->m_nPlotWidth * W);
        painter.setPen(QPen(QColor(128, 0, 0), 1));
        painter.drawLine(x, 0, x, H - 1);  // the end point is not drawn
    }
}

CSpectrumDisplayDlg::CSpectrumDisplayDlg(const QString& caption, int sampleRate, int fftSize, QWidget* requester)
    : ZqDialog(requester) {
    m_strCaption = caption;
    m_nSampleRate = sampleRate;
    m_nFftSize = fftSize;
    m_nAveragingMax = 41;
    m_nGainMax = 41;
    m_nHistoryPos = 0;
    m_bManualGain = 0;
    m_bFreeze = 0;
    m_nPoints = 0;
    ++g_nSpectrumWindows;
    const int rows = m_nFftSize / 2;
    m_pHistory = new int[static_cast<size_t>(rows) * SPECTRUM_HISTORY_SLOTS]();
    m_pPoints = new SpectrumPoint[rows]();
    m_sums.assign(rows, 0);

    // A caption but no window menu, so no close, minimise or maximise box. An ordinary window, not a
    // dialog: a manager keeps a dialog above the window it belongs to, and the function window stays on top.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    // It opens from the function window's keys and must leave them there.
    setAttribute(Qt::WA_ShowWithoutActivating);
    setWindowTitle("ZORIQ1: Spectrum Display");
    const DialogUnits du;
    setFixedSize(du.size(264, 169));

    auto* plotFrame = PlaceControl(new QLabel(this), 0, du.rect(3, 3, 258, 81));
    plotFrame->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    plotFrame->setLineWidth(2);
    m_plot = PlaceControl(new CSpectrumPlot(this), IDC_PLOT, du.rect(3, 3, 258, 81).adjusted(2, 2, -2, -2));
    m_sliderFreq = PlaceControl(new QSlider(Qt::Horizontal, this), IDC_SLIDER_FREQ, du.rect(0, 87, 264, 12));
    m_sliderFreq->setTickPosition(QSlider::NoTicks);
    label(this, "0 Hz", du.rect(3, 99, 30, 8));
    m_staticSpan = PlaceControl(new QLabel(QString::asprintf("%d Hz", sampleRate / 2), this), IDC_STATIC_SPAN,
                                du.rect(225, 99, 36, 8));
    m_staticSpan->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    auto* group = PlaceControl(new QGroupBox(this), 0, du.rect(3, 105, 258, 62));
    group->lower();
    label(this, "Slider Frequency (Hz):", du.rect(6, 113, 72, 8));
    m_editFreq = PlaceControl(new QLineEdit(this), IDC_EDIT_FREQ, du.rect(81, 111, 24, 12));
    m_editFreq->setReadOnly(true);
    m_editFreq->setFocusPolicy(Qt::NoFocus);
    label(this, "Bandwidth (Hz):", du.rect(150, 113, 54, 8));
    m_comboBandwidth = PlaceControl(new QComboBox(this), IDC_BANDWIDTH, du.rect(225, 111, 33, 12));
    label(this, "low", du.rect(6, 126, 18, 8));
    label(this, "Averaging", du.rect(51, 126, 39, 8));
    label(this, "high", du.rect(105, 126, 24, 8), Qt::AlignRight);
    label(this, "low", du.rect(135, 126, 18, 8));
    label(this, "Gain", du.rect(186, 126, 21, 8));
    label(this, "high", du.rect(234, 126, 23, 8), Qt::AlignRight);
    m_sliderAveraging = trackbar(this, IDC_AVERAGING, du.rect(6, 135, 123, 18));
    m_sliderGain = trackbar(this, IDC_GAIN, du.rect(135, 135, 123, 18));
    m_btnFreeze = PlaceControl(new QPushButton("&Freeze", this), IDC_FREEZE, du.rect(36, 154, 63, 11));
    m_btnManualGain = PlaceControl(new QPushButton("&Manual Gain", this), IDC_MANUAL_GAIN, du.rect(165, 154, 63, 11));
    for (QPushButton* b : {m_btnFreeze, m_btnManualGain}) {
        b->setCheckable(true);
        b->setAutoDefault(false);
    }
    OnInitDialog();
}

CSpectrumDisplayDlg::~CSpectrumDisplayDlg() {
    --g_nSpectrumWindows;
    delete[] m_pHistory;
    delete[] m_pPoints;
}

void CSpectrumDisplayDlg::OnInitDialog() {
    MoveToSlot(g_nSpectrumWindows == 1 ? 1 : 2);
    setWindowTitle(m_strCaption);

    m_rcPlot.setCoords(0, 0, m_plot->width(), m_plot->height());
    m_nPlotWidth = m_rcPlot.right();
    m_sliderFreq->setRange(0, m_nPlotWidth);
    m_sliderFreq->setValue(50);
    m_nSpanHz = m_nSampleRate / 2;
    m_nDivisor = 2;
    ShowSliderFrequency();
    m_staticSpan->setText(QString::asprintf("%d Hz", m_nSpanHz));
    m_nAveraging = m_nAveragingMax / 2 + 1;
    m_sliderAveraging->setRange(1, m_nAveragingMax);
    m_sliderAveraging->setValue(m_nAveraging);
    m_nGain = m_nGainMax / 2 + 1;
    m_sliderGain->setRange(1, m_nGainMax);
    m_sliderGain->setValue(m_nGain);
    m_btnFreeze->setChecked(m_bFreeze == 1);
    m_btnManualGain->setChecked(m_bManualGain == 1);
    m_comboBandwidth->clear();
    const int span = m_nSampleRate / m_nDivisor;
    for (int value : {span, span / 2, span / 4}) m_comboBandwidth->addItem(QString::asprintf("%d", value));
    m_comboBandwidth->setCurrentIndex(0);

    connect(m_sliderFreq, &QSlider::valueChanged, this, [this] { ShowSliderFrequency(); });
    // The averaging length changes only when a drag ends; the gain follows the thumb.
    connect(m_sliderAveraging, &QSlider::sliderReleased, this, [this] { m_nAveraging = m_sliderAveraging->value(); });
    connect(m_sliderAveraging, &QSlider::valueChanged, this, [this](int v) {
        if (!m_sliderAveraging->isSliderDown()) m_nAveraging = v;
    });
    connect(m_sliderGain, &QSlider::valueChanged, this, [this](int v) { m_nGain = v; });
    connect(m_comboBandwidth, &QComboBox::currentIndexChanged, this, [this] { OnSelchangeBandwidth(); });
    connect(m_btnFreeze, &QPushButton::clicked, this, [this] { OnFreeze(); });
    connect(m_btnManualGain, &QPushButton::clicked, this, [this] { OnManualGain(); });
    m_sliderFreq->setFocus();
}

void CSpectrumDisplayDlg::MoveToSlot(int slot) {
    // Slot 1 is the work area's top left corner, slot 2 directly under the other window's frame where the
    // manager really put it. The manager adds this window's title bar and borders only once it is shown;
    // until then the frame of the other spectrum window (or of the requester) stands in.
    const CSpectrumDisplayDlg* other = OtherSpectrumWindow(this);
    const std::initializer_list<const QWidget*> alike{other, parentWidget()};
    QPoint corner = WorkArea(this).topLeft();
    if (slot == 2) {
        if (other && other->isVisible()) {
            corner.setY(FrameRect(other, {parentWidget()}).bottom() + 1);
        } else {
            const QMargins frame = FrameMargins(this, alike);
            corner.ry() += height() + frame.top() + frame.bottom();
        }
    }
    MoveFrameTo(this, corner, alike);
    raise();
    m_nSlot = slot;
}

void CSpectrumDisplayDlg::ShowSliderFrequency() {
    const int p = m_sliderFreq->value();
    const int hz = m_nPlotWidth > 0 ? static_cast<int>(static_cast<double>(p) / m_nPlotWidth * m_nSpanHz) : 0;
    m_editFreq->setText(QString::asprintf("%d", hz));
}

void CSpectrumDisplayDlg::OnSelchangeBandwidth() {
    const int i = m_comboBandwidth->currentIndex();
    if (i < 0) return;
    const int d = m_nDivisor;
    const int dNew = static_cast<int>(std::pow(2.0, i + 1));
    m_nDivisor = dNew;
    m_nSpanHz = m_nSampleRate / dNew;
    m_staticSpan->setText(QString::asprintf("%d Hz", m_nSpanHz));
    // Keep the marker on the same frequency.
    int p = static_cast<int>(static_cast<double>(dNew) * m_sliderFreq->value() / d);
    if (p > m_nPlotWidth) {
        p = m_nPlotWidth;
        m_editFreq->setText(QString::asprintf("%d", m_nSpanHz));
    }
    {
        const QSignalBlocker quiet(m_sliderFreq);
        m_sliderFreq->setValue(p);
    }
    m_sliderFreq->update();
    m_nHistoryPos = 0;
    std::memset(m_pHistory, 0, sizeof(int) * static_cast<size_t>(m_nFftSize / 2) * SPECTRUM_HISTORY_SLOTS);
}

void CSpectrumDisplayDlg::OnFreeze() {
    m_bFreeze = m_btnFreeze->isChecked() ? 1 : 0;
    const bool enable = m_bFreeze == 0;
    m_btnManualGain->setEnabled(enable);
    m_sliderGain->setEnabled(enable);
    m_sliderAveraging->setEnabled(enable);
    m_comboBandwidth->setEnabled(enable);
}

void CSpectrumDisplayDlg::OnManualGain() {
    m_bManualGain = m_btnManualGain->isChecked() ? 1 : 0;
}

void CSpectrumDisplayDlg::OnCancel() {}

void CSpectrumDisplayDlg::UpdateSpectrum(const double* re, const double* im, int n) {
    if (g_nSpectrumWindows == 1 && m_nSlot == 2) MoveToSlot(1);
    if (!m_bFreeze) SpectrumEstimate(re, im, n);
    m_plot->repaint();
}

void CSpectrumDisplayDlg::SpectrumEstimate(const double* re, const double* im, int n) {
    const int W = m_rcPlot.right();
    const int H = m_rcPlot.bottom();
    const int A = m_nAveraging;
    const int count = std::min(W, n / m_nDivisor);
    if (count <= 0) return;
    m_nPoints = count;
    const double step = (static_cast<double>(n) / m_nDivisor) / count;
    for (int i = 0; i < count; ++i) {
        const int k = static_cast<int>(i * step);
        m_pHistory[i * SPECTRUM_HISTORY_SLOTS + m_nHistoryPos] = truncToInt(std::sqrt(im[k] * im[k] + re[k] * re[k]));
    }
    // Sums of up to 41 magnitudes of 2^26 each need more than 32 bits.
    int64_t largest = -1;
    for (int i = 0; i < count; ++i) {
        const int* row = m_pHistory + i * SPECTRUM_HISTORY_SLOTS;
        int64_t sum = 0;
        for (int s = 0; s < A; ++s) sum += row[s];
        m_sums[i] = sum;
        if (sum > largest) largest = sum;
    }
    double scale;
    if (m_bManualGain) {
        scale = H * std::pow(10.0, (m_nGain - 21) * 0.1) / A * 0.000001;
    } else {
        // An all-zero trace has no largest sum to scale by: it lies on the zero line.
        scale = largest > 0 ? H * 0.97 / static_cast<double>(largest) : 0.0;
    }
    const double dx = static_cast<double>(W) / count;
    for (int j = 0; j < count; ++j) {
        m_pPoints[j].x = static_cast<int>(j * dx);
        m_pPoints[j].y = truncToInt(H - scale * static_cast<double>(m_sums[j]));
    }
    if (++m_nHistoryPos >= A) m_nHistoryPos = 0;
}
