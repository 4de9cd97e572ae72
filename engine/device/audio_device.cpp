#include "engine/device/audio_device.h"

namespace {
WaveDeviceBackend* installedBackend = nullptr;
}

QEvent::Type WaveDoneEvent::eventType() {
    static const QEvent::Type type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

WaveDeviceBackend& WaveBackend() {
    return installedBackend ? *installedBackend : WaveRealBackend();
}

void WaveSetBackend(WaveDeviceBackend* backend) {
    installedBackend = backend;
}
