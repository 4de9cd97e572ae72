// The real sound devices, through RtAudio: one capture-only or playback-only stream per device object,
// on the system's preferred device, with small device buffers that the audio thread fills from or drains
// into the queued 4096-byte blocks.
//
// Threads: RtAudio's audio thread only copies samples (BlockPump), moves finished blocks into a lock-free
// ring and wakes the UI thread through an eventfd; a QSocketNotifier on the UI thread then posts the done
// events in queue order. Calls into RtAudio that may hang on a frozen or vanished sound server run on a
// helper thread and are waited for only for a bounded time; a call that never returns is left behind
// with the stream it holds, and the device counts as failed.
//
// Quiet: the libraries print nothing of their own (RtAudio's messages all go to our error callback, ALSA's
// error handler is silent); a warning that RtAudio hands to the error callback is either an
// overrun/underrun, which the next callback's status confirms, or a broken stream.
//
// RtAudio 5 and 6 differ only in how they report (exceptions or return codes, where the error callback is
// given, whether hidden warnings still reach it) and in device ids: the section "RtAudio generations" below
// is the one place that knows which one this is.
#include "engine/device/block_pump.h"
#include "engine/device/sound_api.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <RtAudio.h>
#include <alsa/asoundlib.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace {

// 4 buffers of 256 frames (93 ms at 11025 Hz): short enough to add no audible delay, long enough that
// the server's scheduling hiccups on a loaded machine do not starve playback.
constexpr unsigned kBufferFrames = 256;
constexpr unsigned kNumberOfBuffers = 4;
// How long the UI thread waits for RtAudio: opening talks to the server (a frozen one would hold it
// for ~30 s); starting, stopping and closing normally take at most one device buffer.
constexpr int kOpenTimeoutMs = 3000;
constexpr int kCallTimeoutMs = 1000;
// A running device with blocks queued whose audio thread made no progress for this many block times
// has stalled.
constexpr int kStallBlocks = 4;

// JACK servers' ends reported in this process (see Stream::ownCloseStarted).
std::atomic<uint64_t> g_jackEnds{0};

// What the audio thread shares with the UI thread. Held by shared_ptr: a helper thread stuck in RtAudio
// keeps it alive after the device object is gone.
struct Stream {
    ~Stream() {
        awaitOwnClose();
        audio.reset();  // closes the stream and joins RtAudio's thread before the pump goes away
        if (wakeFd >= 0) ::close(wakeFd);
    }
    void wake() {
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t r = ::write(wakeFd, &one, sizeof one);
    }

    // RtAudio 6 closes a running JACK stream itself when the server ends, on a thread it starts and never
    // joins, and reports that from inside the close, before it frees the stream's buffers. Whatever touches
    // the RtAudio object afterwards (a stop, a close, its destructor, which would close again) first waits
    // for that thread. Called on that thread, from the error callback, before the report wakes anyone.
    void ownCloseStarted() {
        {
            std::lock_guard<std::mutex> lock(closerMutex);
            if (closerState == 0) {
                closer = pthread_self();
                closerState = 1;
            }
        }
        closerStarted.notify_all();
        g_jackEnds.fetch_add(1);
    }
    // The server's end reaches every stream at once, but each reports it only from its own close: a stream
    // whose report has not come yet while another's has is given a moment (one that was not running is not
    // closed by RtAudio, and reports nothing).
    void awaitOwnClose() {
        std::unique_lock<std::mutex> lock(closerMutex);
        if (closerState == 0 && jack && g_jackEnds.load() != jackEndsAtOpen)
            closerStarted.wait_for(lock, std::chrono::milliseconds(500), [this] { return closerState != 0; });
        if (closerState != 1 || pthread_equal(closer, pthread_self())) return;
        pthread_join(closer, nullptr);
        closerState = 2;
    }

    std::unique_ptr<RtAudio> audio;
    BlockPump pump;
    CallbackGate gate;
    WaveDirection direction = WaveDirection::Capture;
    unsigned frameBytes = 2;
    int wakeFd = -1;
    std::atomic<bool> failed{false};
    std::atomic<bool> warned{false};  // RtAudio warned; the next callback tells an xrun from a broken stream
    std::atomic<uint64_t> callbacks{0};
    std::mutex closerMutex;
    std::condition_variable closerStarted;
    pthread_t closer{};
    int closerState = 0;  // 0: RtAudio closes nothing itself, 1: its closing thread runs, 2: joined
    bool jack = false;  // set at open, with the count of servers' ends then
    uint64_t jackEndsAtOpen = 0;
    // Playback on a server that never flags an underrun (PulseAudio, PipeWire through it): told by the
    // callbacks' timing instead. Set at open; the meter is the audio thread's while the stream runs.
    bool meterUnderruns = false;
    // Capture on ALSA: after an overrun the callback gets the previous buffer again, flagged. Set at open.
    bool staleOnOverrun = false;
    double rate = 0;
    double bufferedFrames = 0;
    UnderrunMeter meter;
};

// The stream whose thread this is: RtAudio 5's error callback carries no user data, but it runs on the
// thread of the stream that failed (its audio thread, or the helper thread making a call).
thread_local Stream* t_stream = nullptr;

int audioCallback(void* output, void* input, unsigned frames, double, RtAudioStreamStatus status, void* user) {
    const auto now = std::chrono::steady_clock::now();
    Stream* s = static_cast<Stream*>(user);
    t_stream = s;
    s->callbacks.fetch_add(1, std::memory_order_relaxed);
    // A warning not followed by an xrun flag was a read or write that failed (a vanished server, an
    // unplugged card). This relies on what RtAudio 5.2 and 6.0 both do, measured against the tests' servers:
    // ALSA reports an xrun as a warning after the failed read or write and flags the next callback; JACK
    // flags xruns with no warning; PulseAudio (PipeWire too) never flags one and warns at every read or
    // write once its server is gone. They differ in one point: 6 drops warnings before the error
    // callback unless warnings are shown (rtMake shows them); then a dead server gives no report at all
    // and this callback spins with status 0, millions of times a second.
    const bool xrun = status & (RTAUDIO_INPUT_OVERFLOW | RTAUDIO_OUTPUT_UNDERFLOW);
    if (s->warned.exchange(false, std::memory_order_acq_rel) && !xrun) {
        s->failed.store(true, std::memory_order_release);
        s->wake();
    }
    const std::size_t bytes = std::size_t(frames) * s->frameBytes;
    // A broken stream keeps calling with stale buffers, as fast as it can: none of that is sound.
    if (s->failed.load(std::memory_order_acquire) || !s->gate.enter()) {
        if (output) std::memset(output, 0, bytes);
        return 0;
    }
    // How much the device lost it does not say: count this one buffer. A stale one is silenced (and
    // counted) below; JACK's flag comes with fresh sound.
    const bool stale = s->staleOnOverrun && (status & RTAUDIO_INPUT_OVERFLOW);
    if (xrun && !stale) s->pump.deviceLost(bytes);
    if (s->meterUnderruns) {
        const uint64_t late = s->meter.feed(std::chrono::duration<double>(now.time_since_epoch()).count(), frames);
        // Silence after the last block is the end of the sound, not a gap in it.
        if (late > 0 && !s->pump.queued().empty()) s->pump.deviceLost(std::size_t(late) * s->frameBytes);
    }
    int done = 0;
    if (s->direction == WaveDirection::Capture) {
        if (input)
            done = stale ? s->pump.captureLost(bytes) : s->pump.capture(static_cast<const uint8_t*>(input), bytes);
    } else if (output) {
        done = s->pump.play(static_cast<uint8_t*>(output), bytes);
    }
    s->gate.leave();
    if (done > 0) s->wake();
    return 0;
}

// What an RtAudio report means for the stream it concerns.
enum class RtReport { Ignore, Warning, Failure };

void onRtReport(Stream* s, RtReport report) {
    if (!s || report == RtReport::Ignore) return;
    if (report == RtReport::Warning) {
        s->warned.store(true, std::memory_order_release);
        return;
    }
    s->failed.store(true, std::memory_order_release);
    s->wake();
}

// ---- RtAudio generations: the only code that knows which one this is. ----
// Against the tests' private PulseAudio, PipeWire and JACK servers both give the same reports, with the same
// texts on the same threads (see audioCallback), except where said below; the rest is written once.
#if defined(RTAUDIO_VERSION_MAJOR) && RTAUDIO_VERSION_MAJOR >= 6
// RtAudio 6: no exceptions. Calls return an RtAudioErrorType; the text goes to the error callback given to
// the constructor, on whichever thread hit the error, the audio thread included (onRtReport only sets
// flags). A warning reaches the callback only while warnings are shown, and a broken stream or an xrun is
// only a warning, so they stay shown; with a callback set, RtAudio prints nothing itself.
RtReport classify(RtAudioErrorType type) {
    if (type == RTAUDIO_NO_ERROR) return RtReport::Ignore;
    return type == RTAUDIO_WARNING ? RtReport::Warning : RtReport::Failure;
}

// The callback knows its stream: a JACK server's end comes as RTAUDIO_DEVICE_DISCONNECT from the thread on
// which RtAudio closes the stream itself (see Stream::ownCloseStarted). (RtAudio 5 prints that one on stderr
// itself and tells no callback: the stall watchdog catches it there.)
std::unique_ptr<RtAudio> rtMake(RtAudio::Api api, Stream* stream) {
    const bool jack = api == RtAudio::UNIX_JACK;
    auto audio = std::make_unique<RtAudio>(api, [stream, jack](RtAudioErrorType type, const std::string&) {
        if (jack && type == RTAUDIO_DEVICE_DISCONNECT) stream->ownCloseStarted();
        onRtReport(stream, classify(type));
    });
    audio->showWarnings(true);
    return audio;
}

// Arbitrary numbers (129 and up on PulseAudio); 0 names no device.
std::vector<unsigned> rtDeviceIds(RtAudio& audio) {
    return audio.getDeviceIds();
}

bool rtOpen(RtAudio& audio, RtAudio::StreamParameters* output, RtAudio::StreamParameters* input, unsigned rate,
            unsigned* frames, void* user, RtAudio::StreamOptions* options) {
    return audio.openStream(output, input, RTAUDIO_SINT16, rate, frames, audioCallback, user, options) ==
           RTAUDIO_NO_ERROR;
}

bool rtStart(RtAudio& audio) {
    return audio.startStream() == RTAUDIO_NO_ERROR && audio.isStreamRunning();
}
#else
// RtAudio 5: failures throw RtAudioError (caught wherever RtAudio is called) until a stream is open; from
// then on every report goes to the callback given to openStream, warnings too whatever showWarnings says,
// and an error there also aborts the stream.
void rtErrorCallback(RtAudioError::Type type, const std::string&) {
    if (type == RtAudioError::DEBUG_WARNING) return;
    onRtReport(t_stream, type == RtAudioError::WARNING ? RtReport::Warning : RtReport::Failure);
}

std::unique_ptr<RtAudio> rtMake(RtAudio::Api api, Stream*) {
    auto audio = std::make_unique<RtAudio>(api);
    audio->showWarnings(false);
    return audio;
}

// Indexes.
std::vector<unsigned> rtDeviceIds(RtAudio& audio) {
    std::vector<unsigned> ids(audio.getDeviceCount());
    for (unsigned i = 0; i < ids.size(); ++i) ids[i] = i;
    return ids;
}

bool rtOpen(RtAudio& audio, RtAudio::StreamParameters* output, RtAudio::StreamParameters* input, unsigned rate,
            unsigned* frames, void* user, RtAudio::StreamOptions* options) {
    audio.openStream(output, input, RTAUDIO_SINT16, rate, frames, audioCallback, user, options, rtErrorCallback);
    return audio.isStreamOpen();
}

bool rtStart(RtAudio& audio) {
    audio.startStream();
    return audio.isStreamRunning();
}
#endif
// ---- End of RtAudio generations. ----

// ALSA's library prints its own errors ("cannot find card '0'") unless it is given a handler.
void quietAlsa(const char*, int, const char*, int, const char*, ...) {}

RtAudio::Api rtApi(SoundApi api) {
    switch (api) {
    case SoundApi::Pulse: return RtAudio::LINUX_PULSE;
    case SoundApi::Alsa: return RtAudio::LINUX_ALSA;
    case SoundApi::Jack: return RtAudio::UNIX_JACK;
    case SoundApi::PipeWire:
    case SoundApi::None: break;
    }
    return RtAudio::UNSPECIFIED;
}

// An RtAudio object for a sound system, its library quiet.
std::unique_ptr<RtAudio> rtMakeQuiet(SoundApi api, Stream* stream) {
    static std::once_flag quiet;
    std::call_once(quiet, [] { snd_lib_error_set_handler(quietAlsa); });
    return rtMake(rtApi(api), stream);
}

// Runs call on a helper thread and waits for it at most timeoutMs. Returns the call's result, or false
// when it threw or did not come back in time (it is then left to finish on its own; it holds the stream).
bool runBounded(const std::shared_ptr<Stream>& stream, int timeoutMs, std::function<bool(Stream&)> call,
                bool* timedOut = nullptr) {
    struct Sync {
        std::mutex mutex;
        std::condition_variable cv;
        bool done = false;
        bool ok = false;
    };
    auto sync = std::make_shared<Sync>();
    if (timedOut) *timedOut = false;
    std::thread helper;
    try {
        helper = std::thread([stream, sync, call = std::move(call)] {
            t_stream = stream.get();
            bool ok = false;
            try {
                stream->awaitOwnClose();
                ok = call(*stream);
            } catch (...) {
                ok = false;
            }
            std::lock_guard<std::mutex> lock(sync->mutex);
            sync->done = true;
            sync->ok = ok;
            sync->cv.notify_all();
        });
    } catch (...) {
        return false;
    }
    std::unique_lock<std::mutex> lock(sync->mutex);
    if (!sync->cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return sync->done; })) {
        lock.unlock();
        helper.detach();
        if (timedOut) *timedOut = true;
        return false;
    }
    const bool ok = sync->ok;
    lock.unlock();
    helper.join();
    return ok;
}

bool formatSupported(const WaveFormat& f) {
    return f.wFormatTag == 1 && f.wBitsPerSample == 16 && (f.nChannels == 1 || f.nChannels == 2) &&
           f.nBlockAlign == f.nChannels * 2 && f.nSamplesPerSec >= 1000 && f.nSamplesPerSec <= 192000;
}

class RtWaveDevice final : public WaveDevice {
public:
    RtWaveDevice(std::shared_ptr<Stream> stream, QObject* target, const WaveFormat& format)
        : s_(std::move(stream)), target_(target) {
        if (!target) return;  // open/close only: nobody to tell about blocks
        notifier_ = std::make_unique<QSocketNotifier>(s_->wakeFd, QSocketNotifier::Read);
        QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(), [this] { onWake(); });
        const int blockMs = int(1000.0 * WAVE_BLOCK_BYTES / (double(format.nSamplesPerSec) * s_->frameBytes));
        watchdog_ = std::make_unique<QTimer>();
        stallMs_ = std::max(200, kStallBlocks * blockMs);
        watchdog_->setInterval(std::max(50, blockMs));
        QObject::connect(watchdog_.get(), &QTimer::timeout, watchdog_.get(), [this] { onWatchdog(); });
    }

    ~RtWaveDevice() override {
        watchdog_.reset();
        notifier_.reset();  // before the eventfd may be closed with the stream
        if (!stuck_ && s_->audio) {
            s_->gate.close();
            runBounded(s_, kCallTimeoutMs, [](Stream& s) {
                s.audio.reset();
                return true;
            });
        }
    }

    int prepare(WaveHeader* h) override {
        checkFailure();
        if (failed_ || closed_ || !h || !h->lpData || h->dwBufferLength == 0 || (h->dwFlags & WHDR_INQUEUE)) return 1;
        h->dwFlags |= WHDR_PREPARED;
        return 0;
    }

    int unprepare(WaveHeader* h) override {
        if (!h || (h->dwFlags & WHDR_INQUEUE)) return 1;  // still in the device's hands
        h->dwFlags &= ~WHDR_PREPARED;
        return 0;
    }

    int queue(WaveHeader* h) override {
        checkFailure();
        if (failed_ || closed_ || !h || !h->lpData || h->dwBufferLength == 0) return 1;
        if (!(h->dwFlags & WHDR_PREPARED) || (h->dwFlags & WHDR_INQUEUE)) return 1;
        if (queuedCount_ >= RT_MAX_QUEUED_BLOCKS) return 1;
        h->dwFlags = (h->dwFlags | WHDR_INQUEUE) & ~WHDR_DONE;
        h->dwBytesRecorded = 0;
        if (!s_->pump.queued().push(h)) {  // cannot happen while the count is right
            h->dwFlags &= ~WHDR_INQUEUE;
            return 1;
        }
        ++queuedCount_;
        if (s_->direction == WaveDirection::Playback && !running_) {
            // Playback runs from the first block on; a stream started earlier would only queue silence
            // ahead of it in the server.
            if (!startStream()) {
                takeBack(h);
                fail();
                return 1;
            }
        }
        armWatchdog();
        return 0;
    }

    int start() override {
        checkFailure();
        if (failed_ || closed_) return 1;
        if (s_->direction == WaveDirection::Playback || running_) return 0;
        if (!startStream()) {
            fail();
            return 1;
        }
        armWatchdog();
        return 0;
    }

    int reset() override {
        if (closed_) return 1;
        handBack();
        stopStream();
        return 0;
    }

    uint64_t lostSamples() const override { return s_->pump.lostBytes() / s_->frameBytes; }

    int close() override {
        if (closed_) return 1;
        if (queuedCount_ > 0) return 1;
        stopStream();
        if (!stuck_) {
            s_->gate.close();
            bool timedOut = false;
            runBounded(
                s_, kCallTimeoutMs,
                [](Stream& s) {
                    if (s.audio && s.audio->isStreamOpen()) s.audio->closeStream();
                    return true;
                },
                &timedOut);
            if (timedOut) stuck_ = true;
        }
        closed_ = true;
        return 0;
    }

private:
    bool startStream() {
        if (stuck_) return false;
        s_->warned.store(false, std::memory_order_release);
        s_->meter.restart(s_->rate, s_->bufferedFrames);
        s_->gate.open();
        bool timedOut = false;
        const auto start = [](Stream& s) { return rtStart(*s.audio); };
        const bool ok = runBounded(s_, kCallTimeoutMs, start, &timedOut);
        if (timedOut) stuck_ = true;
        if (!ok) return false;
        running_ = true;
        lastCallbacks_ = s_->callbacks.load(std::memory_order_relaxed);
        return true;
    }

    // Keeps the audio thread out and stops the stream if it runs. A stop that hangs leaves the stream behind.
    void stopStream() {
        if (watchdog_) watchdog_->stop();
        s_->gate.close();
        if (!running_) return;
        running_ = false;
        if (stuck_) return;
        bool timedOut = false;
        runBounded(
            s_, kCallTimeoutMs,
            [](Stream& s) {
                if (s.audio->isStreamRunning()) s.audio->abortStream();
                return true;
            },
            &timedOut);
        if (timedOut) {
            stuck_ = true;
            failed_ = true;
        }
    }

    void armWatchdog() {
        if (watchdog_ && running_ && !watchdog_->isActive()) {
            lastCallbacks_ = s_->callbacks.load(std::memory_order_relaxed);
            sinceProgress_.start();
            watchdog_->start();
        }
    }

    // Keeps the audio thread out and gives back every block the device holds, the finished ones first,
    // each with its done event, in queue order.
    void handBack() {
        s_->gate.close();
        WaveHeader* h = nullptr;
        while (s_->pump.finished().pop(h)) giveBack(h, h->dwBufferLength);
        std::size_t partial = s_->pump.offset();
        while (s_->pump.queued().pop(h)) {
            giveBack(h, uint32_t(partial));
            partial = 0;
        }
        s_->pump.rewind();
    }

    // Undoes the queueing of h, the only block queued (the stream was not running). Audio thread kept out.
    void takeBack(WaveHeader* h) {
        s_->gate.close();
        WaveHeader* q = nullptr;
        while (s_->pump.queued().pop(q)) {
            if (q != h) giveBack(q, 0);
        }
        s_->pump.rewind();
        h->dwFlags &= ~WHDR_INQUEUE;
        --queuedCount_;
    }

    void giveBack(WaveHeader* h, uint32_t bytes) {
        h->dwFlags = (h->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
        h->dwBytesRecorded = s_->direction == WaveDirection::Capture ? bytes : 0;
        --queuedCount_;
        if (target_) {
            const unsigned message = s_->direction == WaveDirection::Capture ? MM_WIM_DATA : MM_WOM_DONE;
            QCoreApplication::postEvent(target_.data(), new WaveDoneEvent(message, h));
        }
    }

    void onWake() {
        uint64_t count = 0;
        [[maybe_unused]] ssize_t r = ::read(s_->wakeFd, &count, sizeof count);
        if (!failed_) {
            WaveHeader* h = nullptr;
            while (s_->pump.finished().pop(h)) giveBack(h, h->dwBufferLength);
        }
        checkFailure();
    }

    void onWatchdog() {
        const uint64_t now = s_->callbacks.load(std::memory_order_relaxed);
        if (!running_ || failed_ || queuedCount_ == 0) {
            lastCallbacks_ = now;
            sinceProgress_.start();
            if (!running_ || failed_) watchdog_->stop();
            return;
        }
        if (now != lastCallbacks_) {
            lastCallbacks_ = now;
            sinceProgress_.start();
            return;
        }
        if (sinceProgress_.elapsed() >= stallMs_) {
            s_->failed.store(true, std::memory_order_release);
            fail();
        }
    }

    void checkFailure() {
        if (!failed_ && s_->failed.load(std::memory_order_acquire)) fail();
    }

    // The device broke while running: hand every block back so the engine hears of it, stop the stream,
    // and refuse further blocks.
    void fail() {
        if (failed_) return;
        failed_ = true;
        handBack();
        abandonStream();
    }

    // Leaves the broken stream to a helper thread that stops and closes it, however long that takes: a
    // frozen server would hold the UI thread otherwise. The device never touches the stream again.
    void abandonStream() {
        if (watchdog_) watchdog_->stop();
        running_ = false;
        if (stuck_) return;
        stuck_ = true;
        try {
            std::thread([stream = s_] {
                t_stream = stream.get();
                try {
                    stream->awaitOwnClose();
                    stream->audio.reset();
                } catch (...) {
                }
            }).detach();
        } catch (...) {
            // No thread: the stream stays open until the process ends.
        }
    }

    std::shared_ptr<Stream> s_;
    QPointer<QObject> target_;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::unique_ptr<QTimer> watchdog_;
    int queuedCount_ = 0;  // blocks handed to the device and not yet given back
    uint64_t lastCallbacks_ = 0;  // the audio thread's progress at the last look
    QElapsedTimer sinceProgress_;  // since that progress last moved
    int stallMs_ = 0;
    // The device's state: the table in audio_device.h.
    bool running_ = false;
    bool failed_ = false;
    bool closed_ = false;
    bool stuck_ = false;  // a call into RtAudio never came back: the stream is left to its helper thread
};

class RtBackend final : public SoundBackend {
public:
    std::vector<SoundApi> apis() override {
        std::vector<RtAudio::Api> rtCompiled;
        RtAudio::getCompiledApi(rtCompiled);
        std::vector<SoundApi> compiled;
        for (SoundApi api : {SoundApi::Pulse, SoundApi::Alsa, SoundApi::Jack}) {
            if (std::find(rtCompiled.begin(), rtCompiled.end(), rtApi(api)) != rtCompiled.end())
                compiled.push_back(api);
        }
        return compiled;
    }

    // On a helper thread: asking a server may hang.
    SoundApiReport ask(SoundApi api) override {
        auto probe = std::make_shared<Stream>();
        auto report = std::make_shared<SoundApiReport>();
        bool timedOut = false;
        const bool ok = runBounded(
            probe, kOpenTimeoutMs,
            [api, report](Stream& s) {
                s.audio = rtMakeQuiet(api, &s);
                report->devices = unsigned(rtDeviceIds(*s.audio).size());
                // A JACK server runs at one rate and lists only that one.
                if (api == SoundApi::Jack && report->devices > 0)
                    report->fixedRate = s.audio->getDeviceInfo(s.audio->getDefaultOutputDevice()).preferredSampleRate;
                return true;
            },
            &timedOut);
        if (timedOut) return SoundApiReport{0, 0, true};
        return ok ? *report : SoundApiReport{};
    }

    WaveDevice* open(SoundApi api, WaveDirection direction, int deviceId, const WaveFormat& format,
                     QObject* target) override {
        if (!formatSupported(format) || deviceId < -1) return nullptr;
        auto stream = std::make_shared<Stream>();
        stream->direction = direction;
        stream->frameBytes = format.nChannels * 2u;
        stream->wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (stream->wakeFd < 0) return nullptr;
        const bool capture = direction == WaveDirection::Capture;
        const unsigned channels = format.nChannels;
        const unsigned rate = format.nSamplesPerSec;
        const bool ok = runBounded(stream, kOpenTimeoutMs, [=](Stream& s) {
            s.audio = rtMakeQuiet(api, &s);
            // deviceId counts the devices from 0; -1 is the system's default.
            const std::vector<unsigned> ids = rtDeviceIds(*s.audio);
            unsigned device = 0;
            if (deviceId >= 0) {
                if (std::size_t(deviceId) >= ids.size()) return false;
                device = ids[std::size_t(deviceId)];
            } else {
                device = capture ? s.audio->getDefaultInputDevice() : s.audio->getDefaultOutputDevice();
                // No server and no card: no devices, yet a default is named.
                if (std::find(ids.begin(), ids.end(), device) == ids.end()) return false;
            }
            RtAudio::StreamParameters params;
            params.deviceId = device;
            params.nChannels = channels;
            params.firstChannel = 0;
            RtAudio::StreamOptions options;
            options.numberOfBuffers = kNumberOfBuffers;
            options.streamName = capture ? "ZORIQ1 capture" : "ZORIQ1 playback";
            unsigned frames = kBufferFrames;
            if (!rtOpen(*s.audio, capture ? nullptr : &params, capture ? &params : nullptr, rate, &frames, &s,
                        &options))
                return false;
            s.rate = rate;
            s.bufferedFrames = double(frames) * options.numberOfBuffers;
            s.meterUnderruns = !capture && s.audio->getCurrentApi() == RtAudio::LINUX_PULSE;
            s.staleOnOverrun = capture && s.audio->getCurrentApi() == RtAudio::LINUX_ALSA;
            s.jack = s.audio->getCurrentApi() == RtAudio::UNIX_JACK;
            s.jackEndsAtOpen = g_jackEnds.load();
            // What was reported while the devices were listed is not about this stream.
            s.failed.store(false);
            s.warned.store(false);
            return true;
        });
        if (!ok) return nullptr;
        return new RtWaveDevice(std::move(stream), target, format);
    }
};

}  // namespace

SoundBackend& RtAudioSoundBackend() {
    static RtBackend backend;
    return backend;
}
