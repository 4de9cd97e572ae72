#include "ui/filter_response_dlg.h"

#include <QApplication>
#include <QCheckBox>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <algorithm>
#include <cmath>
#include <limits>

#include "ui/spectrum_display_dlg.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The spectrum window's size in dialog units: the response window stands right of their column.
constexpr int kSpectrumWidthDu = 264;

const CSpectrumDisplayDlg* AnySpectrumWindow() {
    for (QWidget* window : QApplication::topLevelWidgets()) {
        if (auto* spectrum = qobject_cast<const CSpectrumDisplayDlg*>(window)) return spectrum;
    }
    return nullptr;
}

QString Db(double db) {
    return QString::asprintf("%.1f dB", db);
}

}  // namespace

CFilterResponsePlot::CFilterResponsePlot(CFilterResponseDlg* parent) : QWidget(parent), m_dlg(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFocusPolicy(Qt::StrongFocus);
    setMouseTracking(true);
    setAccessibleName(QStringLiteral("Filter response"));
}

QRect CFilterResponsePlot::Field() const {
    // Every point of both curves asks: measuring the labels' text each time would cost milliseconds.
    if (m_fieldFor != size()) {
        const QFontMetrics fm(font());
        const int left = fm.horizontalAdvance(QStringLiteral("-100")) + 8;
        const int right = fm.horizontalAdvance(QStringLiteral("5000")) / 2 + 4;
        const int top = fm.height() / 2 + 4;
        const int bottom = fm.height() + 6;
        m_field = QRect(left, top, std::max(1, width() - left - right), std::max(1, height() - top - bottom));
        m_fieldFor = size();
    }
    return m_field;
}

double CFilterResponsePlot::X(double hz) const {
    const QRect f = Field();
    const double nyquist = m_dlg->m_nSampleRate / 2.0;
    double share = hz / nyquist;
    if (m_dlg->m_bLogarithmic) share = std::log(std::max(hz, kLogLowHz) / kLogLowHz) / std::log(nyquist / kLogLowHz);
    return f.left() + f.width() * share;
}

double CFilterResponsePlot::Y(double db) const {
    const QRect f = Field();
    return f.top() + f.height() * (kTopDb - std::clamp(db, kBottomDb, kTopDb)) / (kTopDb - kBottomDb);
}

int CFilterResponsePlot::BinAt(int x) const {
    const QRect f = Field();
    const double share = std::clamp((x - f.left()) / static_cast<double>(f.width()), 0.0, 1.0);
    const double nyquist = m_dlg->m_nSampleRate / 2.0;
    const double hz = m_dlg->m_bLogarithmic ? kLogLowHz * std::pow(nyquist / kLogLowHz, share) : share * nyquist;
    return static_cast<int>(std::lround(hz * m_dlg->m_nFftSize / m_dlg->m_nSampleRate));
}

void CFilterResponsePlot::DrawScale(QPainter& p) const {
    const CFilterResponseDlg* d = m_dlg;
    const QRect f = Field();
    const QFontMetrics fm(font());
    const QPen grid(QColor(200, 200, 200), 1);
    for (int db = static_cast<int>(kTopDb); db >= kBottomDb; db -= 10) {
        const double y = Y(db);
        p.setPen(grid);
        p.drawLine(QPointF(f.left(), y), QPointF(f.right(), y));
        if (db % 20 == 0) {
            p.setPen(Qt::black);
            p.drawText(QRectF(0, y - fm.height() / 2.0, f.left() - 4, fm.height()), Qt::AlignRight | Qt::AlignVCenter,
                       QString::number(db));
        }
    }
    const double nyquist = d->m_nSampleRate / 2.0;
    auto hzLabel = [&](double hz, const QString& text) {
        p.setPen(Qt::black);
        const int w = fm.horizontalAdvance(text);
        const double x = std::clamp(X(hz) - w / 2.0, 0.0, double(width() - w));
        p.drawText(QPointF(x, f.bottom() + 3 + fm.ascent()), text);
    };
    if (d->m_bLogarithmic) {
        for (double decade = 1; decade < nyquist; decade *= 10) {
            for (int m : {1, 2, 5}) {
                const double hz = decade * m;
                if (hz < kLogLowHz || hz > nyquist) continue;
                p.setPen(grid);
                p.drawLine(QPointF(X(hz), f.top()), QPointF(X(hz), f.bottom()));
                hzLabel(hz, hz >= 1000 ? QString("%1k").arg(hz / 1000) : QString::number(hz));
            }
        }
    } else {
        for (double hz = 0; hz <= nyquist; hz += 500) {
            p.setPen(grid);
            p.drawLine(QPointF(X(hz), f.top()), QPointF(X(hz), f.bottom()));
            if (static_cast<int>(hz) % 1000 == 0) hzLabel(hz, QString::number(hz));
        }
    }
    p.setPen(Qt::black);
    p.drawText(QPointF(2, fm.ascent()), QStringLiteral("dB"));
    p.drawText(QRectF(0, f.bottom() + 3, width() - 2, fm.height()), Qt::AlignRight | Qt::AlignTop,
               QStringLiteral("Hz"));
    p.drawRect(f);

    // The key, top right inside the field.
    const QString designedKey = QStringLiteral("designed"), measuredKey = QStringLiteral("measured");
    const int keyWidth = std::max(fm.horizontalAdvance(designedKey), fm.horizontalAdvance(measuredKey)) + 24;
    const int kx = f.right() - keyWidth - 4, ky = f.top() + 4;
    p.fillRect(QRect(kx - 2, ky - 2, keyWidth + 4, 2 * fm.height() + 4), Qt::white);
    p.setPen(QPen(QColor(0, 0, 200), 2));
    p.drawLine(kx, ky + fm.height() / 2, kx + 16, ky + fm.height() / 2);
    p.setPen(QPen(QColor(0, 140, 0), 2));
    p.drawLine(kx, ky + fm.height() * 3 / 2, kx + 16, ky + fm.height() * 3 / 2);
    p.setPen(Qt::black);
    p.drawText(QPointF(kx + 20, ky + fm.ascent()), designedKey);
    p.drawText(QPointF(kx + 20, ky + fm.height() + fm.ascent()), measuredKey);
}

void CFilterResponsePlot::paintEvent(QPaintEvent*) {
    const CFilterResponseDlg* d = m_dlg;
    const QRect f = Field();
    const int bins = d->Bins();
    const int first = d->m_bLogarithmic ? 1 : 0;  // 0 Hz has no place on a logarithmic axis
    QPainter p(this);
    p.fillRect(rect(), Qt::white);
    const QFontMetrics fm(font());

    // Grey where nothing was measured.
    for (int k = first; k < bins;) {
        if (!std::isnan(d->m_measured[k])) {
            ++k;
            continue;
        }
        const int from = k;
        while (k < bins && std::isnan(d->m_measured[k])) ++k;
        const double x0 = std::max<double>(f.left(), X(d->BinHz(from) - d->BinHz(1) / 2));
        const double x1 = std::min<double>(f.right() + 1, X(d->BinHz(k - 1) + d->BinHz(1) / 2));
        p.fillRect(QRectF(x0, f.top(), x1 - x0, f.height()), QColor(232, 232, 232));
    }

    // Axes, grid and labels change only with the size or the axis choice: shaping their text at every
    // block would cost more than all the rest.
    if (m_scale.size() != size() * devicePixelRatioF() || m_scaleLogarithmic != d->m_bLogarithmic) {
        m_scale = QPixmap(size() * devicePixelRatioF());
        m_scale.setDevicePixelRatio(devicePixelRatioF());
        m_scale.fill(Qt::transparent);
        m_scaleLogarithmic = d->m_bLogarithmic;
        QPainter scale(&m_scale);
        scale.setFont(font());
        DrawScale(scale);
    }
    p.drawPixmap(0, 0, m_scale);

    // One-pixel lines without antialiasing: a noisy measured curve stroked wide costs tens of milliseconds.
    p.setClipRect(f);
    QPolygonF designed;
    for (int k = first; k < bins; ++k) designed << QPointF(X(d->BinHz(k)), Y(d->m_designed[k]));
    p.setPen(QPen(QColor(0, 0, 200), 1));
    p.drawPolyline(designed);
    p.setPen(QPen(QColor(0, 140, 0), 1));
    QPolygonF measured;
    for (int k = first; k <= bins; ++k) {
        if (k < bins && !std::isnan(d->m_measured[k])) {
            measured << QPointF(X(d->BinHz(k)), Y(d->m_measured[k]));
            continue;
        }
        if (measured.size() == 1)
            p.drawPoint(measured.first());
        else if (measured.size() > 1)
            p.drawPolyline(measured);
        measured.clear();
    }
    p.setPen(QPen(QColor(128, 0, 0), 1));
    const int cx = static_cast<int>(X(d->BinHz(std::max(d->m_nCursorBin, first))));
    p.drawLine(cx, f.top(), cx, f.bottom());

    if (hasFocus()) {
        p.setClipping(false);
        p.setPen(QPen(palette().highlight().color(), 1, Qt::DotLine));
        p.drawRect(rect().adjusted(0, 0, -1, -1));
    }
}

void CFilterResponsePlot::keyPressEvent(QKeyEvent* event) {
    int bin = m_dlg->m_nCursorBin;
    switch (event->key()) {
    case Qt::Key_Left: --bin; break;
    case Qt::Key_Right: ++bin; break;
    case Qt::Key_PageDown: bin -= 64; break;
    case Qt::Key_PageUp: bin += 64; break;
    case Qt::Key_Home: bin = 0; break;
    case Qt::Key_End: bin = m_dlg->Bins() - 1; break;
    default: QWidget::keyPressEvent(event); return;
    }
    m_dlg->SetCursorBin(bin);
}

void CFilterResponsePlot::mouseMoveEvent(QMouseEvent* event) {
    m_dlg->SetCursorBin(BinAt(static_cast<int>(event->position().x())));
}

void CFilterResponsePlot::mousePressEvent(QMouseEvent* event) {
    setFocus(Qt::MouseFocusReason);
    mouseMoveEvent(event);
}

CFilterResponseDlg::CFilterResponseDlg(const std::vector<double>& designedDb, int sampleRate, int fftSize,
                                       QWidget* requester)
    : ZqDialog(requester),
      m_nSampleRate(sampleRate),
      m_nFftSize(fftSize),
      m_designed(designedDb),
      m_measured(fftSize / 2 + 1, kNaN),
      m_estimate(fftSize) {
    m_designed.resize(Bins(), -200.0);
    // A caption with a close box only; an ordinary window, so that the function window stays above it.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    // It opens from the function window's keys and must leave them there.
    setAttribute(Qt::WA_ShowWithoutActivating);
    setWindowTitle(QStringLiteral("ZORIQ1: Filter Response"));
    const DialogUnits du;
    setFixedSize(du.size(300, 206));
    m_plot = PlaceControl(new CFilterResponsePlot(this), 0, du.rect(3, 3, 294, 140));
    m_staticReadout = PlaceControl(new QLabel(this), 0, du.rect(3, 146, 294, 9));
    m_staticBasis = PlaceControl(new QLabel(this), 0, du.rect(3, 156, 294, 9));
    m_staticClipped = PlaceControl(new QLabel(this), 0, du.rect(3, 166, 294, 9));
    m_chkLogarithmic =
        PlaceControl(new QCheckBox(QStringLiteral("&Logarithmic frequency axis"), this), 0, du.rect(3, 182, 120, 10));
    m_btnRestart =
        PlaceControl(new QPushButton(QStringLiteral("Restart &averaging"), this), 0, du.rect(219, 180, 78, 14));
    m_btnRestart->setAutoDefault(false);
    setTabOrder(m_plot, m_chkLogarithmic);
    setTabOrder(m_chkLogarithmic, m_btnRestart);
    connect(m_chkLogarithmic, &QCheckBox::clicked, this, &CFilterResponseDlg::OnLogarithmic);
    connect(m_btnRestart, &QPushButton::clicked, this, &CFilterResponseDlg::OnRestart);

    m_nCursorBin = static_cast<int>(std::lround(1000.0 * fftSize / sampleRate));
    ShowReadout();
    ShowBasis();
    m_staticClipped->setText(QStringLiteral("Clipped output samples: none yet"));
    Place();
    m_plot->setFocus();
}

void CFilterResponseDlg::Place() {
    // Right of the spectrum windows' column at the top of the work area, but inside it whatever its size.
    const QWidget* spectrum = AnySpectrumWindow();
    const std::initializer_list<const QWidget*> alike{spectrum, parentWidget()};
    const QMargins frame = FrameMargins(this, alike);
    const QRect work = WorkArea(this);
    const int spectrumWidth = spectrum ? FrameRect(spectrum, {parentWidget()}).width()
                                       : DialogUnits().x(kSpectrumWidthDu) + frame.left() + frame.right();
    const QSize outer = size().grownBy(frame);
    QPoint corner(work.left() + spectrumWidth, work.top());
    corner.setX(std::max(work.left(), std::min(corner.x(), work.right() + 1 - outer.width())));
    corner.setY(std::max(work.top(), std::min(corner.y(), work.bottom() + 1 - outer.height())));
    MoveFrameTo(this, corner, alike);
}

void CFilterResponseDlg::UpdateResponse(const double* inRe, const double* inIm, const double* outRe,
                                        const double* outIm, int n, long long clippedSamples, long long samples) {
    if (n != m_nFftSize) return;
    m_estimate.AddBlock(inRe, inIm, outRe, outIm);
    for (int k = 0; k < Bins(); ++k) {
        double db;
        m_measured[k] = m_estimate.GainDb(k, &db) ? db : kNaN;
    }
    m_nClipped = clippedSamples;
    m_nSamples = samples;
    m_staticClipped->setText(QString::asprintf(
        "Clipped output samples: %lld of %lld (%.2f %%)", clippedSamples, samples,
        samples > 0 ? 100.0 * static_cast<double>(clippedSamples) / static_cast<double>(samples) : 0.0));
    ShowReadout();
    ShowBasis();
    m_plot->update();
}

void CFilterResponseDlg::OnCancel() {
    emit closeRequested();
}

void CFilterResponseDlg::SetCursorBin(int bin) {
    bin = std::clamp(bin, m_bLogarithmic ? 1 : 0, Bins() - 1);
    if (bin == m_nCursorBin) return;
    m_nCursorBin = bin;
    ShowReadout();
    m_plot->update();
}

void CFilterResponseDlg::OnLogarithmic() {
    m_bLogarithmic = m_chkLogarithmic->isChecked();
    if (m_bLogarithmic && m_nCursorBin == 0) SetCursorBin(1);
    m_plot->update();
}

void CFilterResponseDlg::OnRestart() {
    m_estimate.Clear();
    std::fill(m_measured.begin(), m_measured.end(), kNaN);
    ShowReadout();
    ShowBasis();
    m_plot->update();
}

void CFilterResponseDlg::ShowReadout() {
    const int k = m_nCursorBin;
    const QString measured = std::isnan(m_measured[k]) ? QStringLiteral("measured: none, too little input")
                                                       : QStringLiteral("measured ") + Db(m_measured[k]);
    const QString text =
        QString::asprintf("%.1f Hz: designed ", BinHz(k)) + Db(m_designed[k]) + QStringLiteral(", ") + measured;
    m_staticReadout->setText(text);
    m_plot->setAccessibleDescription(text);
}

void CFilterResponseDlg::ShowBasis() {
    const long blocks = m_estimate.Blocks();
    m_staticBasis->setText(
        blocks == 0 ? QStringLiteral("Measured: no blocks yet; grey: too little input to measure")
                    : QString::asprintf("Measured over %ld blocks (%.1f s); grey: too little input to measure", blocks,
                                        static_cast<double>(blocks) * m_nFftSize / m_nSampleRate));
}
