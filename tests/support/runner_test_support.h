#pragma once
// Helpers shared by the runner and function window tests: a stand-in window, a stream of blocks through
// the simulated devices, the reference convolution, and writers for the two filter file formats.
#include <QApplication>
#include <QCoreApplication>
#include <QEvent>
#include <QString>
#include <QStringList>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "runners/runner_window.h"
#include "tests/support/sim_device.h"
#include "toolkit/toolkit.h"

// Texts in failure messages, not their bytes.
inline void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}

namespace zqtest {

inline void Pump() {
    for (int n = 0; n < 3; ++n) {
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
}

// A window that counts the close requests it receives instead of closing. Its messages go through the
// toolkit's message box, as the function windows' do.
class FakeRunnerWindow : public ZqDialog, public CRunnerWindow {
public:
    QObject* RunnerOwner() override { return this; }
    CSpectrumSink* InputSpectrumLink() const override { return in; }
    CSpectrumSink* OutputSpectrumLink() const override { return out; }
    CResponseSink* ResponseLink() const override { return response; }
    void ShowRunnerMessage(const char* text) override {
        ZqMessageBox(QString::fromLatin1(text), MB_OK | MB_ICONEXCLAMATION);
    }
    void RequestClose() override { PostCloseRequest(this); }
    void OnCancel() override { ++closeRequests; }

    CSpectrumSink* in = nullptr;
    CSpectrumSink* out = nullptr;
    CResponseSink* response = nullptr;
    int closeRequests = 0;
};

// Answers every message box with OK and records its text; an optional action runs while the box is "open".
struct MessageBoxRecorder {
    QStringList texts;
    QStringList titles;
    std::function<void(int boxNumber)> whileOpen;
    MessageBoxRecorder() {
        SetMessageBoxHook([this](const QString& title, const QString& text, unsigned) {
            titles.append(title);
            texts.append(text);
            if (whileOpen) whileOpen(static_cast<int>(texts.size()));
            return int(IDOK);
        });
    }
    ~MessageBoxRecorder() { SetMessageBoxHook({}); }
};

using Block = std::vector<int16_t>;

inline std::vector<Block> RandomBlocks(int count, unsigned seed, int amplitude = 32767) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> dist(-amplitude - 1, amplitude);
    std::vector<Block> blocks(count, Block(2048));
    for (Block& b : blocks)
        for (int16_t& s : b) s = static_cast<int16_t>(dist(rng));
    if (amplitude == 32767 && count > 0) {
        blocks[0][0] = -32768;
        blocks[0][1] = 32767;
    }
    return blocks;
}

// Feeds captured blocks through the simulated devices and keeps playback two blocks deep.
class SimStream {
public:
    explicit SimStream(SimWaveBackend& sim) : m_sim(sim) {}
    bool Feed(const Block& block) {
        if (!m_sim.completeCapture(block.data())) return false;
        QCoreApplication::sendPostedEvents();
        while (m_sim.queuedPlayback() > 2) {
            m_sim.completePlayback();
            QCoreApplication::sendPostedEvents();
        }
        return true;
    }
    void Drain() {
        while (m_sim.completePlayback()) QCoreApplication::sendPostedEvents();
    }

private:
    SimWaveBackend& m_sim;
};

inline std::vector<int16_t> Concat(const std::vector<Block>& blocks) {
    std::vector<int16_t> all;
    for (const Block& b : blocks) all.insert(all.end(), b.begin(), b.end());
    return all;
}

// The filter over the whole stream from silence: y[n] = sum_j h[j] x[n-j], clamped, truncated toward zero.
inline std::vector<int16_t> ReferenceFir(const std::vector<int16_t>& x, const std::vector<double>& h) {
    std::vector<int16_t> y(x.size());
    for (std::size_t n = 0; n < x.size(); ++n) {
        double acc = 0.0;
        if (h.empty()) {
            y[n] = 0;
            continue;
        }
        for (std::size_t j = 0; j < h.size(); ++j) {
            const double sample = n >= j ? double(x[n - j]) : 0.0;
            acc += sample * h[j];
        }
        if (acc < -32768.0)
            acc = -32768.0;
        else if (acc > 32767.0)
            acc = 32767.0;
        y[n] = static_cast<int16_t>(acc);
    }
    return y;
}

struct BankEntry {
    std::string name;  // raw bytes, up to 127
    std::vector<double> coefficients;
    int32_t storedCount = -1;  // -1: the size of coefficients
};

inline void AppendLe32(std::string& out, int32_t v) {
    for (int k = 0; k < 4; ++k) out.push_back(static_cast<char>((static_cast<uint32_t>(v) >> (8 * k)) & 0xff));
}

inline void WriteBank(const std::string& path, const std::vector<BankEntry>& entries) {
    std::string out;
    AppendLe32(out, static_cast<int32_t>(entries.size()));
    int32_t position = 4 + 136 * static_cast<int32_t>(entries.size());
    for (const BankEntry& e : entries) {
        std::string name = e.name;
        name.resize(128, '\0');
        out += name;
        AppendLe32(out, position);
        const int32_t count = e.storedCount >= 0 ? e.storedCount : static_cast<int32_t>(e.coefficients.size());
        AppendLe32(out, count);
        position += 8 * static_cast<int32_t>(e.coefficients.size());
    }
    for (const BankEntry& e : entries)
        for (double c : e.coefficients) {
            char bytes[8];
            std::memcpy(bytes, &c, 8);  // the test machine is little-endian like the file
            out.append(bytes, 8);
        }
    std::ofstream(path, std::ios::binary) << out;
}

inline void WriteText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

inline std::vector<double> RandomTaps(int count, unsigned seed, double scale) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> dist(-scale, scale);
    std::vector<double> h(count);
    for (double& c : h) c = dist(rng);
    return h;
}

}  // namespace zqtest
