#include "engine/device/sound_api.h"

#include <strings.h>
#include <algorithm>
#include <cstdlib>

namespace {

const SoundApi kPreference[] = {SoundApi::PipeWire, SoundApi::Pulse, SoundApi::Alsa, SoundApi::Jack};

const char* displayName(SoundApi api) {
    switch (api) {
    case SoundApi::PipeWire: return "PipeWire";
    case SoundApi::Pulse: return "PulseAudio";
    case SoundApi::Alsa: return "ALSA";
    case SoundApi::Jack: return "JACK";
    case SoundApi::None: break;
    }
    return "none";
}

bool runsAt(const SoundApiReport& report, unsigned rate) {
    return report.fixedRate == 0 || report.fixedRate == rate;
}

std::string wrongRate(SoundApi api, const SoundApiReport& report, unsigned rate) {
    return std::string("the ") + displayName(api) + " server runs at " + std::to_string(report.fixedRate) +
           " Hz, not at the " + std::to_string(rate) + " Hz the program needs";
}

SoundBackend& backendOf(SoundApi api) {
    return api == SoundApi::PipeWire ? PipeWireSoundBackend() : RtAudioSoundBackend();
}

class SystemBackend final : public WaveDeviceBackend {
public:
    WaveDevice* open(WaveDirection direction, int deviceId, const WaveFormat& format, QObject* target) override {
        std::vector<SoundApi> compiled = PipeWireSoundBackend().apis();
        for (SoundApi api : RtAudioSoundBackend().apis()) compiled.push_back(api);
        const SoundApiChoice choice = ChooseSoundApi(std::getenv(SOUND_API_VARIABLE), compiled, format.nSamplesPerSec,
                                                     [](SoundApi api) { return backendOf(api).ask(api); });
        if (!choice.note.empty()) WaveSayOnce(choice.note);
        if (choice.api == SoundApi::None) return nullptr;
        return backendOf(choice.api).open(choice.api, direction, deviceId, format, target);
    }
};

}  // namespace

const char* SoundApiName(SoundApi api) {
    switch (api) {
    case SoundApi::PipeWire: return "pipewire";
    case SoundApi::Pulse: return "pulse";
    case SoundApi::Alsa: return "alsa";
    case SoundApi::Jack: return "jack";
    case SoundApi::None: break;
    }
    return "none";
}

SoundApiChoice ChooseSoundApi(const char* forced, const std::vector<SoundApi>& compiled, unsigned rate,
                              const std::function<SoundApiReport(SoundApi)>& ask) {
    const auto has = [&](SoundApi api) { return std::find(compiled.begin(), compiled.end(), api) != compiled.end(); };
    SoundApiChoice choice;
    if (forced && *forced) {
        const std::string setting = std::string(SOUND_API_VARIABLE) + "=" + forced;
        SoundApi wanted = SoundApi::None;
        for (SoundApi api : kPreference)
            if (strcasecmp(forced, SoundApiName(api)) == 0) wanted = api;
        if (wanted == SoundApi::None) {
            choice.note = setting + " is not one of pipewire, pulse, alsa, jack; choosing as usual";
        } else if (!has(wanted)) {
            choice.note =
                setting + ", but this build has no " + std::string(displayName(wanted)) + "; choosing as usual";
        } else {
            // Forced means forced: a system that cannot serve the program fails to open, and the user is told why.
            choice.api = wanted;
            const SoundApiReport report = ask(wanted);
            if (report.hung)
                choice.note = setting + ", but the " + displayName(wanted) + " server does not answer";
            else if (report.devices == 0)
                choice.note = setting + ", but " + displayName(wanted) + " offers no device";
            else if (!runsAt(report, rate))
                choice.note = setting + ", but " + wrongRate(wanted, report, rate);
            return choice;
        }
    }
    for (SoundApi api : kPreference) {
        if (!has(api)) continue;
        const SoundApiReport report = ask(api);
        if (report.hung) return SoundApiChoice{SoundApi::None, choice.note};
        if (report.devices == 0) continue;
        if (!runsAt(report, rate)) {
            if (choice.note.empty()) choice.note = wrongRate(api, report, rate);
            continue;
        }
        choice.api = api;
        return choice;
    }
    return choice;
}

WaveDeviceBackend& WaveSoundSystem() {
    static SystemBackend backend;
    return backend;
}
