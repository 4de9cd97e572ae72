#include "engine/device/audio_device.h"

#include <cstdio>
#include <mutex>
#include <set>

namespace {
WaveDeviceBackend* installedBackend = nullptr;

class NoBackend final : public WaveDeviceBackend {
public:
    WaveDevice* open(WaveDirection, int, const WaveFormat&, QObject*) override { return nullptr; }
};
}  // namespace

QEvent::Type WaveDoneEvent::eventType() {
    static const QEvent::Type type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

WaveDeviceBackend& WaveBackend() {
    static NoBackend none;
    return installedBackend ? *installedBackend : none;
}

void WaveSetBackend(WaveDeviceBackend* backend) {
    installedBackend = backend;
}

void WaveSay(const std::string& text) {
    // One write, so that lines from different threads never interleave.
    const std::string line = "zoriq1: " + text + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

void WaveSayOnce(const std::string& text) {
    static std::mutex mutex;
    static std::set<std::string> said;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!said.insert(text).second) return;
    }
    WaveSay(text);
}
