// Drives the real engine on the real sound devices, as a running function does: a block procedure that
// copies each captured block to the output block, file output on.
//
//   engine_loopback run SECONDS WAVPATH      stream for SECONDS; exit 1 if the engine reported any error
//   engine_loopback until-error SECONDS WAVPATH
//                                            stream until the engine reports an error (exit 0) or SECONDS
//                                            pass without one (exit 1); the error is taken like a runner
//                                            does: the engine is taken down
//   engine_loopback probe EXPECTED           WaveProbeDevices(-1) must return EXPECTED
//
// Prints what it saw as "key value" lines for the driving script: blocks, errors, the wall-clock time of
// the first error (ms since the epoch), the process CPU time per block, and each teardown result.
#include <QCoreApplication>
#include <QObject>
#include <QTimer>

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/device/sound_api.h"
#include "engine/duplex_probe.h"
#include "engine/wave_engine.h"

namespace {

int g_blocks = 0;
int g_errors = 0;
int g_firstError = 0;
long long g_firstErrorMs = 0;
bool g_stopOnError = false;
bool g_stopping = false;

long long nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

double cpuMs() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e3 + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e3;
}

int blockProc(int code, int inputBlock, int outputBlock) {
    if (code == WAVE_BLOCK_READY) {
        if (inputBlock < 0 || inputBlock >= WAVE_NUM_BLOCKS || outputBlock < 0 || outputBlock >= WAVE_NUM_BLOCKS) {
            ++g_errors;
            std::printf("bad-block %d %d\n", inputBlock, outputBlock);
            return 0;
        }
        std::memcpy(OutputRing + outputBlock * WAVE_BLOCK_SAMPLES, InputRing + inputBlock * WAVE_BLOCK_SAMPLES,
                    WAVE_BLOCK_BYTES);
        ++g_blocks;
        return 0;
    }
    if (g_errors++ == 0) {
        g_firstError = code;
        g_firstErrorMs = nowMs();
    }
    std::printf("error %d\n", code);
    std::fflush(stdout);
    // A runner posts a close request to its window; the stop then runs from the event loop.
    if (g_stopOnError && !g_stopping) {
        g_stopping = true;
        QTimer::singleShot(0, QCoreApplication::instance(), &QCoreApplication::quit);
    }
    return 0;
}

int probe(int expected) {
    const auto t0 = std::chrono::steady_clock::now();
    const int result = WaveProbeDevices(WAVE_MAPPER);
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    std::printf("probe %d\nprobe-ms %.0f\n", result, ms);
    return result == expected ? 0 : 1;
}

int stream(double seconds, const char* wavPath, bool untilError) {
    QObject owner;
    g_stopOnError = untilError;
    struct Step {
        const char* name;
        int result;
    };
    Step up[] = {{"WaveInit", WaveInit(&owner, blockProc)},
                 {"WaveInOpen", -1},
                 {"WaveOutOpen", -1},
                 {"WaveOutStart", -1},
                 {"WaveInStart", -1}};
    bool ok = up[0].result == 0;
    if (ok) ok = (up[1].result = WaveInOpen(WAVE_MAPPER)) == 0;
    if (ok) ok = (up[2].result = WaveOutOpen(WAVE_MAPPER, 1, wavPath)) == 0;
    if (ok) ok = (up[3].result = WaveOutStart()) == 0;
    const double cpu0 = cpuMs();
    if (ok) ok = (up[4].result = WaveInStart()) == 0;
    for (const Step& s : up) {
        if (s.result > 0) std::printf("start-failed %s %d\n", s.name, s.result);
    }
    if (ok) {
        std::printf("streaming\n");
        QTimer::singleShot(int(seconds * 1000), QCoreApplication::instance(), &QCoreApplication::quit);
        QCoreApplication::exec();
    }
    const double cpu = cpuMs() - cpu0;
    // The runner's stop order; each step refuses harmlessly when it does not apply.
    const auto t0 = std::chrono::steady_clock::now();
    const Step down[] = {{"WaveInStop", WaveInStop()},
                         {"WaveInClose", WaveInClose()},
                         {"WaveOutStop", WaveOutStop()},
                         {"WaveOutClose", WaveOutClose()},
                         {"WaveExit", WaveExit()}};
    const double stopMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    bool downOk = true;
    for (const Step& s : down) {
        std::printf("%s %d\n", s.name, s.result);
        if (s.result != 0) downOk = false;
    }
    std::printf("blocks %d\nerrors %d\nfirst-error %d\nfirst-error-ms %lld\nstop-ms %.0f\n", g_blocks, g_errors,
                g_firstError, g_firstErrorMs, stopMs);
    if (g_blocks > 0) std::printf("cpu-ms-per-block %.3f\n", cpu / g_blocks);
    if (!ok) return 2;
    if (untilError) return g_errors > 0 ? 0 : 1;
    return g_errors == 0 && downOk ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    WaveSetBackend(&WaveSoundSystem());
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "probe" && argc == 3) return probe(std::atoi(argv[2]));
    if ((mode == "run" || mode == "until-error") && argc == 4) {
        const double seconds = std::atof(argv[2]);
        if (seconds > 0 && seconds < 600) return stream(seconds, argv[3], mode == "until-error");
    }
    std::fprintf(stderr, "usage: %s run|until-error SECONDS WAVPATH | probe EXPECTED\n", argv[0]);
    return 64;
}
