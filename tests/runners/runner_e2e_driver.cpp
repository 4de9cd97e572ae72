// Runs the bank filter "Low pass 1000" (written beside this executable) on the real sound devices for
// the given number of seconds with both spectrum windows open, then stops it through Stop Function.
// Prints the process's CPU time. Exit code 0 only if no message was shown and the run ended cleanly.
//
//   runner_e2e_driver SECONDS [STARTED_MARKER]
//   runner_e2e_driver cycles COUNT DIR   COUNT runs of the same filter with WAV output into DIR and both
//       spectrum windows. Every fifth run, from the third on, writes DIR/kill-N and waits for the error the
//       dying sound server brings, then for DIR/up-N (the server is back); the others end by Stop Function.
//       After each run prints "cycle N threads T fds F rss_kb R messages M"; exit code 0 only if the kill
//       runs ended by their error, the others showed no message, and threads and descriptors after the last
//       run equal those after the first, with resident memory grown by at most 1 MiB.
#include <sys/resource.h>
#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <vector>

#include "dsp/filter_bank.h"
#include "engine/device/sound_api.h"
#include "runners/runners.h"
#include "tests/support/runner_test_support.h"
#include "ui/function_dlgs.h"
#include "ui/output_choice.h"

namespace {

class Owner : public QDialog, public COutputChoice {};

std::vector<double> LowPass(int taps, double cutoffHz, double rate) {
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

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Usage {
    long threads = 0;
    long fds = 0;
    long rssKb = 0;
};

Usage ProcessUsage() {
    Usage u;
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : status.readAll().split('\n')) {
            if (line.startsWith("Threads:"))
                u.threads = line.mid(8).trimmed().toLong();
            else if (line.startsWith("VmRSS:"))
                u.rssKb = line.mid(6).trimmed().split(' ').first().toLong();
        }
    }
    u.fds =
        QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).size();
    return u;
}

// Lets the loop run until done() holds or the time is up; false on time-out.
bool RunUntil(const std::function<bool()>& done, int ms) {
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done()) loop.quit();
    });
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    poll.start(20);
    loop.exec();
    return done();
}

int Cycles(int count, const QString& dir, QStringList& messages, Owner& owner) {
    owner.m_bOutputToFile = 1;
    Usage first;
    bool ok = true;
    for (int n = 1; n <= count; ++n) {
        const bool kill = n % 5 == 3;
        const int before = int(messages.size());
        owner.m_strOutputPath = dir + QStringLiteral("/out-%1.wav").arg(n);
        QPointer<CFirFilterDlg> dlg = new CFirFilterDlg(0, &owner);
        dlg->show();
        dlg->m_btnSpectrumIn->click();
        dlg->m_btnSpectrumOut->click();
        if (FirBankWindow != dlg || !dlg->m_pSpectrumIn || !dlg->m_pSpectrumOut) {
            std::fprintf(stderr, "cycle %d did not start\n", n);
            return 1;
        }
        if (kill) {
            QFile(dir + QStringLiteral("/kill-%1").arg(n)).open(QIODevice::WriteOnly);
            if (!RunUntil([&] { return dlg.isNull(); }, 15000)) {
                std::fprintf(stderr, "cycle %d: the dead server ended nothing\n", n);
                return 1;
            }
            const QString up = dir + QStringLiteral("/up-%1").arg(n);
            if (!RunUntil([&] { return QFile::exists(up); }, 30000)) {
                std::fprintf(stderr, "cycle %d: the server did not come back\n", n);
                return 1;
            }
        } else {
            RunUntil([&] { return dlg.isNull(); }, 2000);
            if (!dlg.isNull()) dlg->m_btnStop->click();
            RunUntil([&] { return dlg.isNull(); }, 2000);
        }
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        const Usage u = ProcessUsage();
        const int shown = int(messages.size()) - before;
        std::printf("cycle %d threads %ld fds %ld rss_kb %ld messages %d%s\n", n, u.threads, u.fds, u.rssKb, shown,
                    kill ? " (server killed)" : "");
        std::fflush(stdout);
        if (!dlg.isNull() || FirBankWindow != nullptr || (kill ? shown == 0 : shown != 0)) ok = false;
        if (n == 1) first = u;
        if (n == count) {
            std::printf(
                "after the first run: threads %ld fds %ld rss_kb %ld; after the last: threads %ld fds %ld "
                "rss_kb %ld (%+ld kB)\n",
                first.threads, first.fds, first.rssKb, u.threads, u.fds, u.rssKb, u.rssKb - first.rssKb);
            if (u.threads != first.threads || u.fds != first.fds || u.rssKb - first.rssKb > 1024) ok = false;
        }
    }
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    WaveSetBackend(&WaveSoundSystem());
    const bool cycles = argc > 3 && std::strcmp(argv[1], "cycles") == 0;
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
    if (cycles) return Cycles(std::atoi(argv[2]), QString::fromLocal8Bit(argv[3]), messages, owner);
    owner.show();
    auto* dlg = new CFirFilterDlg(0, &owner);
    owner.hide();
    dlg->show();
    dlg->m_btnSpectrumIn->click();
    dlg->m_btnSpectrumOut->click();
    const bool running = FirBankWindow == dlg && dlg->m_pSpectrumIn && dlg->m_pSpectrumOut;
    if (startedMarker) QFile(QString::fromLocal8Bit(startedMarker)).open(QIODevice::WriteOnly);

    QTimer::singleShot(seconds * 1000, dlg, [dlg] { dlg->m_btnStop->click(); });
    QObject::connect(dlg, &QObject::destroyed, &app, &QCoreApplication::quit);
    QTimer::singleShot((seconds + 20) * 1000, &app, [] {
        std::fprintf(stderr, "timed out\n");
        std::exit(3);
    });
    app.exec();

    std::printf("cpu_seconds=%.3f run_seconds=%d\n", CpuSeconds(), seconds);
    if (!running || !messages.isEmpty() || FirBankWindow != nullptr) return 1;
    return 0;
}
