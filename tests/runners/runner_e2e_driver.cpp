// Runs the bank filter "Low pass 1000" (written beside this executable) on the real sound devices for
// the given number of seconds with both spectrum windows open, then stops it through Stop Function.
// Prints the process's CPU time. Exit code 0 only if no message was shown and the run ended cleanly.
#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QFile>
#include <QPushButton>
#include <QTimer>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sys/resource.h>
#include <vector>

#include "dsp/filter_bank.h"
#include "runners/runners.h"
#include "tests/support/runner_test_support.h"
#include "ui/function_dlgs.h"
#include "ui/output_choice.h"

namespace {

class Owner : public QDialog, public COutputChoice {};

std::vector<double> LowPass(int taps, double cutoffHz, double rate)
{
    std::vector<double> h(taps);
    const double fc = cutoffHz / rate;
    const double middle = (taps - 1) / 2.0;
    for (int n = 0; n < taps; ++n) {
        const double t = n - middle;
        const double sinc = t == 0.0 ? 2.0 * fc : std::sin(2.0 * M_PI * fc * t) / (M_PI * t);
        const double window = 0.54 - 0.46 * std::cos(2.0 * M_PI * n / (taps - 1));
        h[n] = sinc * window;
    }
    return h;
}

double CpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 10;
    const char* startedMarker = argc > 2 ? argv[2] : nullptr;
    zqtest::WriteBank(FilterBankPath(), {{"Low pass 1000", LowPass(1000, 1000.0, 11025.0)}});

    QStringList messages;
    SetMessageBoxHook([&](const QString&, const QString& text, unsigned) {
        messages.append(text);
        std::fprintf(stderr, "message: %s\n", qPrintable(text));
        return int(IDOK);
    });

    Owner owner;
    owner.show();
    auto* dlg = new CFirFilterDlg(0, &owner);
    owner.hide();
    dlg->show();
    dlg->m_btnSpectrumIn->click();
    dlg->m_btnSpectrumOut->click();
    const bool running = FirBankWindow == dlg && dlg->m_pSpectrumIn && dlg->m_pSpectrumOut;
    if (startedMarker)
        QFile(QString::fromLocal8Bit(startedMarker)).open(QIODevice::WriteOnly);

    QTimer::singleShot(seconds * 1000, dlg, [dlg] { dlg->m_btnStop->click(); });
    QObject::connect(dlg, &QObject::destroyed, &app, &QCoreApplication::quit);
    QTimer::singleShot((seconds + 20) * 1000, &app, [] { std::fprintf(stderr, "timed out\n"); std::exit(3); });
    app.exec();

    std::printf("cpu_seconds=%.3f run_seconds=%d\n", CpuSeconds(), seconds);
    if (!running || !messages.isEmpty() || FirBankWindow != nullptr)
        return 1;
    return 0;
}
