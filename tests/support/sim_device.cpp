#include "tests/support/sim_device.h"

#include <fcntl.h>
#include <unistd.h>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <algorithm>
#include <cstring>
#include <map>

namespace {

const char* name(WaveDirection direction) {
    return direction == WaveDirection::Capture ? "capture" : "playback";
}

const char* name(SimOp op) {
    switch (op) {
    case SimOp::Open: return "open";
    case SimOp::Prepare: return "prepare";
    case SimOp::Unprepare: return "unprepare";
    case SimOp::Queue: return "queue";
    case SimOp::Start: return "start";
    case SimOp::Reset: return "reset";
    case SimOp::Close: return "close";
    }
    return "?";
}

class SimDevice;

}  // namespace

struct SimWaveBackend::State {
    struct Failure {
        int times;
        int result;
    };
    std::map<std::pair<WaveDirection, SimOp>, Failure> failures;
    bool openFails[2] = {false, false};
    int openAttempts[2] = {0, 0};
    std::function<bool(WaveDirection, int)> openRule;
    SimDevice* devices[2] = {nullptr, nullptr};
    std::vector<int16_t> played;
    QStringList calls;

    // Logs the call and returns the injected result, 0 when none is pending.
    int call(WaveDirection direction, SimOp op) {
        int result = 0;
        auto it = failures.find({direction, op});
        if (it != failures.end() && it->second.times > 0) {
            result = it->second.result;
            if (--it->second.times == 0) failures.erase(it);
        }
        QString line = QString("%1 %2").arg(name(op), name(direction));
        if (result != 0) line += QString(" -> %1").arg(result);
        calls << line;
        return result;
    }
};

namespace {

int index(WaveDirection direction) {
    return direction == WaveDirection::Capture ? 0 : 1;
}

class SimDevice : public WaveDevice {
public:
    SimDevice(SimWaveBackend::State* state, WaveDirection direction, QObject* target)
        : m_state(state), m_direction(direction), m_target(target) {}
    ~SimDevice() override {
        if (m_state && m_state->devices[index(m_direction)] == this) m_state->devices[index(m_direction)] = nullptr;
    }

    // As the real devices: a block in the device's hands can be neither prepared nor unprepared, and only
    // a prepared block that is not queued yet can be queued.
    int prepare(WaveHeader* header) override {
        if (int r = call(SimOp::Prepare)) return r;
        if (header->dwFlags & WHDR_INQUEUE) return refuse("still queued");
        header->dwFlags |= WHDR_PREPARED;
        return 0;
    }
    int unprepare(WaveHeader* header) override {
        if (int r = call(SimOp::Unprepare)) return r;
        if (header->dwFlags & WHDR_INQUEUE) return refuse("still queued");
        header->dwFlags &= ~WHDR_PREPARED;
        return 0;
    }
    int queue(WaveHeader* header) override {
        if (int r = call(SimOp::Queue)) return r;
        // The device knows the blocks it holds, whatever their flags say now.
        if (!(header->dwFlags & WHDR_PREPARED) || (header->dwFlags & WHDR_INQUEUE) ||
            std::find(m_queued.begin(), m_queued.end(), header) != m_queued.end())
            return refuse("not prepared or already queued");
        header->dwFlags |= WHDR_INQUEUE;
        header->dwFlags &= ~WHDR_DONE;
        m_queued.push_back(header);
        return 0;
    }
    int start() override {
        if (int r = call(SimOp::Start)) return r;
        m_started = true;
        return 0;
    }
    int reset() override {
        if (int r = call(SimOp::Reset)) return r;
        m_started = false;
        while (!m_queued.empty()) finishFront();
        return 0;
    }
    int close() override {
        if (int r = call(SimOp::Close)) return r;
        if (!m_queued.empty()) {
            m_state->calls.last() += " -> still playing";
            return 1;
        }
        return 0;
    }
    uint64_t lostSamples() const override { return m_lost; }

    // The oldest queued block is done: post its notification.
    WaveHeader* finishFront() {
        WaveHeader* header = m_queued.front();
        m_queued.pop_front();
        header->dwFlags &= ~WHDR_INQUEUE;
        header->dwFlags |= WHDR_DONE;
        if (m_target) {
            unsigned message = m_direction == WaveDirection::Capture ? MM_WIM_DATA : MM_WOM_DONE;
            QCoreApplication::postEvent(m_target, new WaveDoneEvent(message, header));
        }
        return header;
    }

    void detach() { m_state = nullptr; }

    std::deque<WaveHeader*> m_queued;
    bool m_started = false;
    uint64_t m_lost = 0;

private:
    int call(SimOp op) { return m_state ? m_state->call(m_direction, op) : 1; }
    int refuse(const char* why) {
        if (m_state) m_state->calls.last() += QString(" -> ") + why;
        return 1;
    }

    SimWaveBackend::State* m_state;
    WaveDirection m_direction;
    QObject* m_target;
};

SimDevice* device(SimWaveBackend::State* d, WaveDirection direction) {
    return d->devices[index(direction)];
}

}  // namespace

SimWaveBackend::SimWaveBackend() : d(new State) {
    WaveSetBackend(this);
}

SimWaveBackend::~SimWaveBackend() {
    WaveSetBackend(nullptr);
    for (SimDevice* dev : d->devices)
        if (dev) dev->detach();
    delete d;
}

WaveDevice* SimWaveBackend::open(WaveDirection direction, int deviceId, const WaveFormat& format, QObject* target) {
    (void)deviceId;
    int r = d->call(direction, SimOp::Open);
    int attempt = ++d->openAttempts[index(direction)];
    bool busy = d->openFails[index(direction)] || device(d, direction) != nullptr ||
                (d->openRule && !d->openRule(direction, attempt));
    bool formatOk = format.wFormatTag == 1 && format.nChannels == 1 && format.nSamplesPerSec == WAVE_SAMPLE_RATE &&
                    format.wBitsPerSample == 16;
    if (r != 0 || busy || !formatOk) {
        if (r == 0) d->calls.last() += " -> busy";
        return nullptr;
    }
    auto* dev = new SimDevice(d, direction, target);
    d->devices[index(direction)] = dev;
    return dev;
}

void SimWaveBackend::failNext(WaveDirection direction, SimOp op, int times, int result) {
    d->failures[{direction, op}] = {times, result};
}

void SimWaveBackend::setOpenRule(std::function<bool(WaveDirection, int)> opens) {
    d->openRule = std::move(opens);
}

void SimWaveBackend::setOpenFails(WaveDirection direction, bool fails) {
    d->openFails[index(direction)] = fails;
}

bool SimWaveBackend::completeCapture(const int16_t* samples) {
    SimDevice* dev = device(d, WaveDirection::Capture);
    if (!dev || !dev->m_started || dev->m_queued.empty()) return false;
    WaveHeader* header = dev->m_queued.front();
    size_t count = header->dwBufferLength / 2;
    if (samples)
        std::memcpy(header->lpData, samples, count * 2);
    else
        std::fill(header->lpData, header->lpData + count, int16_t{0});
    header->dwBytesRecorded = header->dwBufferLength;
    dev->finishFront();
    return true;
}

bool SimWaveBackend::completePlayback() {
    SimDevice* dev = device(d, WaveDirection::Playback);
    if (!dev || dev->m_queued.empty()) return false;
    WaveHeader* header = dev->m_queued.front();
    d->played.insert(d->played.end(), header->lpData, header->lpData + header->dwBufferLength / 2);
    dev->finishFront();
    return true;
}

bool SimWaveBackend::loseSamples(WaveDirection direction, uint64_t samples) {
    SimDevice* dev = device(d, direction);
    if (!dev) return false;
    dev->m_lost += samples;
    return true;
}

int SimWaveBackend::queuedCapture() const {
    SimDevice* dev = device(d, WaveDirection::Capture);
    return dev ? static_cast<int>(dev->m_queued.size()) : 0;
}

int SimWaveBackend::queuedPlayback() const {
    SimDevice* dev = device(d, WaveDirection::Playback);
    return dev ? static_cast<int>(dev->m_queued.size()) : 0;
}

bool SimWaveBackend::isOpen(WaveDirection direction) const {
    return device(d, direction) != nullptr;
}

const std::vector<int16_t>& SimWaveBackend::played() const {
    return d->played;
}

const QStringList& SimWaveBackend::calls() const {
    return d->calls;
}

void SimWaveBackend::clearCalls() {
    d->calls.clear();
}

bool FailWritesToOpenFile(const QString& path) {
    const QString target = QFileInfo(path).canonicalFilePath();
    const QDir fds(QStringLiteral("/proc/self/fd"));
    for (const QString& name : fds.entryList(QDir::Files | QDir::System)) {
        if (QFileInfo(fds.filePath(name)).symLinkTarget() != target) continue;
        const int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
        if (full < 0) return false;
        const bool replaced = ::dup2(full, name.toInt()) >= 0;
        ::close(full);
        return replaced;
    }
    return false;
}
