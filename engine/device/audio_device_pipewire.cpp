// The real sound devices on PipeWire itself: one pw_stream per device object, capture or playback, on its
// own thread loop, linked by the session manager to the default source or sink. The graph is asked to run
// at the program's rate (node.rate) with cycles of 256 frames (node.latency), so that the queued 4096-byte
// blocks fill or drain over eight cycles each.
//
// Threads: the stream's process callback runs on PipeWire's data thread (RT_PROCESS). It only copies samples
// (BlockPump), measures the graph's clock (CycleGapMeter), moves finished blocks into a lock-free ring and
// wakes the UI thread through an eventfd; it takes no lock, not even the thread loop's. State changes and
// errors arrive on the thread loop and only set flags. The UI thread calls into PipeWire with the thread
// loop locked; those calls only queue messages on the connection, so a frozen server cannot hold it, and
// waits for the server (opening) are bounded.
//
// Quiet: PipeWire's own log is off; what the user must know is said by the program (WaveSay).
#include "engine/device/block_pump.h"
#include "engine/device/sound_api.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>
#include <spa/utils/result.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

namespace {

constexpr unsigned kQuantumFrames = 256;
// Connecting and asking the server normally take milliseconds; a frozen one never answers.
constexpr int kOpenTimeoutMs = 3000;
constexpr int kAskTimeoutMs = 1500;
// A running stream with blocks queued whose process callback did not run for this many block times has stalled.
constexpr int kStallBlocks = 4;

void pwInitOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        pw_init(nullptr, nullptr);
        // Its warnings (a lost connection, a missing server) are the program's to tell.
        pw_log_set_level(SPA_LOG_LEVEL_NONE);
    });
}

// A connection to the server on a thread loop of its own. Everything here is called with the loop locked,
// but for the constructor and destructor.
struct Connection {
    Connection() {
        pwInitOnce();
        loop = pw_thread_loop_new("zoriq1-pw", nullptr);
        if (!loop) return;
        // The data thread runs in real time where the system allows (module-rt): a stream whose process
        // callback is late misses the graph's cycle, and that sound is gone. PipeWire 0.3 has that in
        // client-rt.conf, later releases in client.conf.
        for (const char* config : {"client-rt.conf", "client.conf"}) {
            context = pw_context_new(pw_thread_loop_get_loop(loop),
                                     pw_properties_new(PW_KEY_CONFIG_NAME, config, nullptr), 0);
            if (context) break;
        }
        if (!context || pw_thread_loop_start(loop) < 0) return;
        started = true;
    }
    ~Connection() {
        if (loop && started) pw_thread_loop_stop(loop);
        if (core) pw_core_disconnect(core);
        if (context) pw_context_destroy(context);
        if (loop) pw_thread_loop_destroy(loop);
    }
    // Connects the core; false when no server listens. With the loop locked.
    bool connect() {
        if (!started) return false;
        core = pw_context_connect(context,
                                  pw_properties_new(PW_KEY_APP_NAME, "ZORIQ1", PW_KEY_APP_ICON_NAME, "zoriq1",
                                                    PW_KEY_APP_ID, "zoriq1", nullptr),
                                  0);
        if (!core) return false;
        static const pw_core_events events = [] {
            pw_core_events e{};
            e.version = PW_VERSION_CORE_EVENTS;
            e.done = [](void* data, uint32_t id, int seq) {
                auto* c = static_cast<Connection*>(data);
                if (id == PW_ID_CORE && seq == c->syncSeq) {
                    c->synced = true;
                    pw_thread_loop_signal(c->loop, false);
                }
            };
            e.error = [](void* data, uint32_t id, int, int, const char*) {
                auto* c = static_cast<Connection*>(data);
                // An error about the core itself is the connection's end (the server died).
                if (id == PW_ID_CORE) {
                    c->broken.store(true, std::memory_order_release);
                    if (c->onBroken) c->onBroken(c->user);
                }
                pw_thread_loop_signal(c->loop, false);
            };
            return e;
        }();
        pw_core_add_listener(core, &coreListener, &events, this);
        return true;
    }
    // Waits (loop locked) until done() is true or the time is up.
    template <typename Done>
    bool waitFor(int timeoutMs, Done done) {
        timespec until{};
        pw_thread_loop_get_time(loop, &until, int64_t(timeoutMs) * SPA_NSEC_PER_MSEC);
        while (!done()) {
            if (pw_thread_loop_timed_wait_full(loop, &until) != 0) return done();
        }
        return true;
    }
    // A round trip to the server (loop locked): false when it does not answer in time.
    bool sync(int timeoutMs) {
        synced = false;
        syncSeq = pw_core_sync(core, PW_ID_CORE, 0);
        return waitFor(timeoutMs, [this] { return synced || broken.load(std::memory_order_acquire); }) && synced;
    }

    pw_thread_loop* loop = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    spa_hook coreListener{};
    bool started = false;
    bool synced = false;
    int syncSeq = 0;
    std::atomic<bool> broken{false};
    void (*onBroken)(void*) = nullptr;
    void* user = nullptr;
};

// What the data thread shares with the UI thread. Owned by the device; the stream is destroyed (and the
// data thread out of it) before the rest goes.
struct Stream {
    ~Stream() {
        if (loop()) {
            pw_thread_loop_lock(loop());
            if (stream) pw_stream_destroy(stream);
            stream = nullptr;
            pw_thread_loop_unlock(loop());
        }
        connection.reset();
        if (wakeFd >= 0) ::close(wakeFd);
    }
    pw_thread_loop* loop() const { return connection ? connection->loop : nullptr; }
    void wake() {
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t r = ::write(wakeFd, &one, sizeof one);
    }
    void setFailed() {
        failed.store(true, std::memory_order_release);
        wake();
    }

    std::unique_ptr<Connection> connection;
    pw_stream* stream = nullptr;
    spa_hook streamListener{};
    BlockPump pump;
    CallbackGate gate;
    CycleGapMeter gaps;
    WaveDirection direction = WaveDirection::Capture;
    unsigned frameBytes = 2;
    unsigned rate = 11025;
    int wakeFd = -1;
    pw_stream_state state = PW_STREAM_STATE_CONNECTING;  // loop thread
    std::atomic<bool> failed{false};
    std::atomic<uint64_t> callbacks{0};
    std::atomic<uint32_t> graphRate{0};  // the graph's rate at the last cycle, for the UI thread to tell
};

void onProcess(void* data) {
    auto* s = static_cast<Stream*>(data);
    s->callbacks.fetch_add(1, std::memory_order_relaxed);
    pw_buffer* b = pw_stream_dequeue_buffer(s->stream);
    if (!b) return;  // none free: the cycle's sound is lost, which the next cycle's clock shows
    spa_buffer* buf = b->buffer;
    spa_data& d = buf->datas[0];
    pw_time t{};
    const bool timed = pw_stream_get_time_n(s->stream, &t, sizeof t) == 0 && t.rate.denom > 0 && t.rate.num == 1;
    if (timed) s->graphRate.store(t.rate.denom, std::memory_order_relaxed);
    if (!d.data || !s->gate.enter()) {
        if (d.data && s->direction == WaveDirection::Playback) {
            const uint32_t frames =
                std::min<uint32_t>(d.maxsize / s->frameBytes, b->requested ? b->requested : kQuantumFrames);
            std::memset(d.data, 0, frames * s->frameBytes);
            d.chunk->offset = 0;
            d.chunk->stride = int32_t(s->frameBytes);
            d.chunk->size = frames * s->frameBytes;
        }
        pw_stream_queue_buffer(s->stream, b);
        return;
    }
    int done = 0;
    uint32_t frames = 0;
    bool playing = true;  // capture: whatever the graph skipped is lost
    if (s->direction == WaveDirection::Capture) {
        const uint32_t offset = std::min(d.chunk->offset, d.maxsize);
        const uint32_t size = std::min(d.chunk->size, d.maxsize - offset);
        frames = size / s->frameBytes;
        done = s->pump.capture(static_cast<const uint8_t*>(d.data) + offset, std::size_t(frames) * s->frameBytes);
    } else {
        frames = std::min<uint32_t>(d.maxsize / s->frameBytes, b->requested ? uint32_t(b->requested) : kQuantumFrames);
        // Silence after the last block is the end of the sound; a graph gap while blocks wait is a loss.
        playing = !s->pump.queued().empty();
        done = s->pump.play(static_cast<uint8_t*>(d.data), std::size_t(frames) * s->frameBytes);
        d.chunk->offset = 0;
        d.chunk->stride = int32_t(s->frameBytes);
        d.chunk->size = frames * s->frameBytes;
    }
    if (timed) {
        const uint64_t lost = s->gaps.feed(t.ticks, t.rate.denom, frames, s->rate);
        if (lost > 0 && playing) s->pump.deviceLost(std::size_t(lost) * s->frameBytes);
    }
    s->gate.leave();
    pw_stream_queue_buffer(s->stream, b);
    if (done > 0) s->wake();
}

void onStateChanged(void* data, pw_stream_state, pw_stream_state state, const char*) {
    auto* s = static_cast<Stream*>(data);
    s->state = state;
    // Unconnected after having connected: the server or the session manager took the stream away.
    if (state == PW_STREAM_STATE_ERROR || state == PW_STREAM_STATE_UNCONNECTED) s->setFailed();
    pw_thread_loop_signal(s->loop(), false);
}

const pw_stream_events kStreamEvents = [] {
    pw_stream_events e{};
    e.version = PW_VERSION_STREAM_EVENTS;
    e.state_changed = onStateChanged;
    e.process = onProcess;
    return e;
}();

bool formatSupported(const WaveFormat& f) {
    return f.wFormatTag == 1 && f.wBitsPerSample == 16 && (f.nChannels == 1 || f.nChannels == 2) &&
           f.nBlockAlign == f.nChannels * 2 && f.nSamplesPerSec >= 1000 && f.nSamplesPerSec <= 192000;
}

class PwWaveDevice final : public WaveDevice {
public:
    PwWaveDevice(std::unique_ptr<Stream> stream, QObject* target, const WaveFormat& format)
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

    ~PwWaveDevice() override {
        watchdog_.reset();
        notifier_.reset();  // before the eventfd is closed with the stream
        s_->gate.close();
        s_.reset();
    }

    int prepare(WaveHeader* h) override {
        checkFailure();
        if (failed_ || closed_ || !h || !h->lpData || h->dwBufferLength == 0 || (h->dwFlags & WHDR_INQUEUE)) return 1;
        h->dwFlags |= WHDR_PREPARED;
        return 0;
    }

    int unprepare(WaveHeader* h) override {
        if (!h || (h->dwFlags & WHDR_INQUEUE)) return 1;
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
        if (!s_->pump.queued().push(h)) {
            h->dwFlags &= ~WHDR_INQUEUE;
            return 1;
        }
        ++queuedCount_;
        // Playback runs from the first block on.
        if (s_->direction == WaveDirection::Playback && !running_ && !setActive(true)) {
            fail();
            return 1;
        }
        armWatchdog();
        return 0;
    }

    int start() override {
        checkFailure();
        if (failed_ || closed_) return 1;
        if (s_->direction == WaveDirection::Playback || running_) return 0;
        if (!setActive(true)) {
            fail();
            return 1;
        }
        armWatchdog();
        return 0;
    }

    int reset() override {
        if (closed_) return 1;
        handBack();
        if (running_ && !failed_) setActive(false);
        running_ = false;
        if (watchdog_) watchdog_->stop();
        return 0;
    }

    uint64_t lostSamples() const override { return s_->pump.lostBytes() / s_->frameBytes; }

    int close() override {
        if (closed_ || queuedCount_ > 0) return 1;
        if (watchdog_) watchdog_->stop();
        s_->gate.close();
        pw_thread_loop_lock(s_->loop());
        if (s_->stream) pw_stream_disconnect(s_->stream);
        pw_thread_loop_unlock(s_->loop());
        running_ = false;
        closed_ = true;
        return 0;
    }

private:
    bool setActive(bool active) {
        if (active) {
            s_->gaps.restart();
            s_->gate.open();
        } else {
            s_->gate.close();
        }
        pw_thread_loop_lock(s_->loop());
        int r = -EIO;
        if (!s_->failed.load(std::memory_order_acquire)) {
            // What a stopped playback stream still held must not come before the next sound.
            if (!active && s_->direction == WaveDirection::Playback) pw_stream_flush(s_->stream, false);
            r = pw_stream_set_active(s_->stream, active);
        }
        pw_thread_loop_unlock(s_->loop());
        if (r < 0) return false;
        running_ = active;
        if (active) lastCallbacks_ = s_->callbacks.load(std::memory_order_relaxed);
        return true;
    }

    void armWatchdog() {
        if (watchdog_ && running_ && !watchdog_->isActive()) {
            lastCallbacks_ = s_->callbacks.load(std::memory_order_relaxed);
            sinceProgress_.start();
            watchdog_->start();
        }
    }

    // Keeps the data thread out and gives back every block, the finished ones first, in queue order.
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
        const uint32_t graphRate = s_->graphRate.load(std::memory_order_relaxed);
        if (graphRate != 0 && graphRate != s_->rate)
            WaveSayOnce("PipeWire runs its graph at " + std::to_string(graphRate) + " Hz, not at " +
                        std::to_string(s_->rate) + " Hz: the sound is resampled and no longer exact");
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

    // The stream broke (the server died or stalled): every block back, so that the engine hears of it.
    void fail() {
        if (failed_) return;
        failed_ = true;
        running_ = false;
        if (watchdog_) watchdog_->stop();
        handBack();
    }

    std::unique_ptr<Stream> s_;
    QPointer<QObject> target_;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::unique_ptr<QTimer> watchdog_;
    int queuedCount_ = 0;
    uint64_t lastCallbacks_ = 0;
    QElapsedTimer sinceProgress_;
    int stallMs_ = 0;
    bool running_ = false;
    bool failed_ = false;
    bool closed_ = false;
};

void onConnectionBroken(void* user) {
    static_cast<Stream*>(user)->setFailed();
}

class PwBackend final : public SoundBackend {
public:
    std::vector<SoundApi> apis() override { return {SoundApi::PipeWire}; }

    // Devices are the sources and sinks the server lists: a PipeWire that serves only video beside a
    // PulseAudio desktop has none.
    SoundApiReport ask(SoundApi) override {
        Connection c;
        SoundApiReport report;
        if (!c.started) return report;
        pw_thread_loop_lock(c.loop);
        if (c.connect()) {
            pw_registry* registry = pw_core_get_registry(c.core, PW_VERSION_REGISTRY, 0);
            spa_hook listener{};
            static const pw_registry_events events = [] {
                pw_registry_events e{};
                e.version = PW_VERSION_REGISTRY_EVENTS;
                e.global = [](void* data, uint32_t, uint32_t, const char* type, uint32_t, const spa_dict* props) {
                    const char* mediaClass = props ? spa_dict_lookup(props, PW_KEY_MEDIA_CLASS) : nullptr;
                    if (type && std::strcmp(type, PW_TYPE_INTERFACE_Node) == 0 && mediaClass &&
                        (std::strncmp(mediaClass, "Audio/Sink", 10) == 0 ||
                         std::strncmp(mediaClass, "Audio/Source", 12) == 0))
                        ++static_cast<SoundApiReport*>(data)->devices;
                };
                return e;
            }();
            if (registry) pw_registry_add_listener(registry, &listener, &events, &report);
            // The server lists what it has before it answers the round trip.
            if (!c.sync(kAskTimeoutMs) && !c.broken.load()) report = SoundApiReport{0, 0, true};
            if (registry) {
                spa_hook_remove(&listener);
                pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry));
            }
        }
        pw_thread_loop_unlock(c.loop);
        return report;
    }

    WaveDevice* open(SoundApi, WaveDirection direction, int deviceId, const WaveFormat& format,
                     QObject* target) override {
        // Only the default device: the session manager links the stream to it.
        if (!formatSupported(format) || deviceId != -1) return nullptr;
        auto s = std::make_unique<Stream>();
        s->direction = direction;
        s->frameBytes = format.nChannels * 2u;
        s->rate = format.nSamplesPerSec;
        s->wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (s->wakeFd < 0) return nullptr;
        s->connection = std::make_unique<Connection>();
        Connection& c = *s->connection;
        if (!c.started) return nullptr;
        c.onBroken = onConnectionBroken;
        c.user = s.get();
        const bool capture = direction == WaveDirection::Capture;
        pw_thread_loop_lock(c.loop);
        bool ok = c.connect() && c.sync(kOpenTimeoutMs);
        if (ok) {
            const std::string rate = "1/" + std::to_string(s->rate);
            const std::string latency = std::to_string(kQuantumFrames) + "/" + std::to_string(s->rate);
            pw_properties* props = pw_properties_new(
                PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, capture ? "Capture" : "Playback", PW_KEY_MEDIA_ROLE,
                "Production", PW_KEY_MEDIA_NAME, capture ? "ZORIQ1 capture" : "ZORIQ1 playback", PW_KEY_NODE_NAME,
                capture ? "ZORIQ1 capture" : "ZORIQ1 playback", PW_KEY_APP_NAME, "ZORIQ1", PW_KEY_APP_ICON_NAME,
                "zoriq1", PW_KEY_NODE_RATE, rate.c_str(), PW_KEY_NODE_LATENCY, latency.c_str(), nullptr);
            s->stream = pw_stream_new(c.core, capture ? "ZORIQ1 capture" : "ZORIQ1 playback", props);
            ok = s->stream != nullptr;
        }
        if (ok) {
            pw_stream_add_listener(s->stream, &s->streamListener, &kStreamEvents, s.get());
            uint8_t buffer[1024];
            spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
            spa_audio_info_raw info{};
            info.format = SPA_AUDIO_FORMAT_S16;
            info.rate = s->rate;
            info.channels = format.nChannels;
            if (format.nChannels == 1) {
                info.position[0] = SPA_AUDIO_CHANNEL_MONO;
            } else {
                info.position[0] = SPA_AUDIO_CHANNEL_FL;
                info.position[1] = SPA_AUDIO_CHANNEL_FR;
            }
            const spa_pod* params[1] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
            const auto flags = pw_stream_flags(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_INACTIVE |
                                               PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS);
            ok = pw_stream_connect(s->stream, capture ? PW_DIRECTION_INPUT : PW_DIRECTION_OUTPUT, PW_ID_ANY, flags,
                                   params, 1) == 0;
        }
        // Connected once the server made the node and the format is set (paused until activated).
        Stream* raw = s.get();
        ok = ok && c.waitFor(kOpenTimeoutMs, [raw] {
            return raw->state == PW_STREAM_STATE_PAUSED || raw->state == PW_STREAM_STATE_STREAMING ||
                   raw->failed.load(std::memory_order_acquire);
        });
        ok = ok && !s->failed.load(std::memory_order_acquire) && !c.broken.load(std::memory_order_acquire);
        pw_thread_loop_unlock(c.loop);
        if (!ok) return nullptr;
        return new PwWaveDevice(std::move(s), target, format);
    }
};

}  // namespace

SoundBackend& PipeWireSoundBackend() {
    static PwBackend backend;
    return backend;
}
