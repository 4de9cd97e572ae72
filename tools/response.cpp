#include "tools/response.h"

#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <algorithm>
#include <cmath>
#include <memory>

#include "dsp/fir_analysis.h"

std::vector<ResponsePoint> MagnitudeResponse(const std::vector<double>& h, double rate, int points) {
    std::vector<double> db(points);
    FirMagnitudeResponse(h.data(), static_cast<uint32_t>(h.size()), rate, points, db.data());
    std::vector<ResponsePoint> out;
    for (int i = 0; i < points; ++i) out.push_back({rate / 2.0 * i / (points - 1), db[i]});
    return out;
}

double MaxGainDb(const std::vector<double>& h, double rate, double lo, double hi) {
    double worst = -200.0;
    const int steps = std::max(200, static_cast<int>((hi - lo) * 4));  // a quarter of a hertz apart
    for (int i = 0; i <= steps; ++i)
        worst = std::max(worst, FirGainDb(h.data(), static_cast<uint32_t>(h.size()), lo + (hi - lo) * i / steps, rate));
    return worst;
}

bool PlotResponse(const std::string& path, const std::string& title, const std::vector<ResponsePoint>& response,
                  double rate, std::string& error) {
    // Text needs fonts, and fonts need a GUI application for the time of the drawing; no display is required.
    std::unique_ptr<QGuiApplication> app;
    if (!QGuiApplication::instance()) {
        static int argc = 1;
        static char arg0[] = "zoriq1-filter";
        static char* argv[] = {arg0, nullptr};
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
        app = std::make_unique<QGuiApplication>(argc, argv);
    }
    const int width = 800, height = 480, left = 64, right = 20, top = 40, bottom = 50;
    const double dbTop = 10, dbBottom = -100;
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF plot(left, top, width - left - right, height - top - bottom);
    auto xOf = [&](double hz) { return plot.left() + plot.width() * hz / (rate / 2); };
    auto yOf = [&](double db) {
        return plot.top() + plot.height() * (dbTop - std::clamp(db, dbBottom, dbTop)) / (dbTop - dbBottom);
    };
    p.setPen(QPen(QColor(220, 220, 220), 1));
    QFont font = p.font();
    font.setPixelSize(12);
    p.setFont(font);
    for (double db = dbTop; db >= dbBottom; db -= 10) {
        p.setPen(QPen(QColor(220, 220, 220), 1));
        p.drawLine(QPointF(plot.left(), yOf(db)), QPointF(plot.right(), yOf(db)));
        p.setPen(Qt::black);
        p.drawText(QRectF(0, yOf(db) - 8, left - 6, 16), Qt::AlignRight | Qt::AlignVCenter, QString::number(db));
    }
    for (double hz = 0; hz <= rate / 2 + 1e-9; hz += 500) {
        p.setPen(QPen(QColor(220, 220, 220), 1));
        p.drawLine(QPointF(xOf(hz), plot.top()), QPointF(xOf(hz), plot.bottom()));
        p.setPen(Qt::black);
        if (static_cast<int>(hz) % 1000 == 0)
            p.drawText(QRectF(xOf(hz) - 30, plot.bottom() + 4, 60, 16), Qt::AlignCenter, QString::number(hz));
    }
    p.setPen(QPen(Qt::black, 1));
    p.drawRect(plot);
    p.drawText(QRectF(plot.left(), height - 22, plot.width(), 18), Qt::AlignCenter, "frequency (Hz)");
    p.save();
    p.translate(14, plot.center().y());
    p.rotate(-90);
    p.drawText(QRectF(-60, -10, 120, 20), Qt::AlignCenter, "gain (dB)");
    p.restore();
    font.setPixelSize(14);
    font.setBold(true);
    p.setFont(font);
    p.drawText(QRectF(0, 8, width, 24), Qt::AlignCenter, QString::fromStdString(title));
    QPainterPath curve;
    for (size_t i = 0; i < response.size(); ++i) {
        const QPointF point(xOf(response[i].hz), yOf(response[i].db));
        if (i == 0)
            curve.moveTo(point);
        else
            curve.lineTo(point);
    }
    p.setClipRect(plot);
    p.setPen(QPen(QColor(0, 128, 0), 1.5));
    p.drawPath(curve);
    p.end();
    if (!image.save(QString::fromStdString(path), "PNG")) {
        error = "cannot write " + path;
        return false;
    }
    return true;
}
