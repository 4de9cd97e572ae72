#pragma once
// Pieces of the real device layer that run on the audio thread and can be tested without a sound server:
// a lock-free single-producer/single-consumer ring, the pump that moves samples between the device's
// small buffers and the queued blocks, and the meters that see a server's unreported underruns and the
// cycles a PipeWire graph lost.
#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <thread>

#include "engine/device/audio_device.h"

// Fixed-capacity ring of N items for exactly one producer thread and one consumer thread.
// Neither side allocates, locks or waits.
template <typename T, std::size_t N>
class SpscRing {
public:
    static constexpr std::size_t capacity = N;

    // Producer side. False when full (the item is not taken).
    bool push(const T& item) {
        const std::size_t tail = tail_.load(std::memory_order_relaxed);
        if (tail - head_.load(std::memory_order_acquire) >= N) return false;
        items_[tail % N] = item;
        tail_.store(tail + 1, std::memory_order_release);
        return true;
    }
    // Consumer side. False when empty.
    bool pop(T& item) {
        const std::size_t head = head_.load(std::memory_order_relaxed);
        if (head == tail_.load(std::memory_order_acquire)) return false;
        item = items_[head % N];
        head_.store(head + 1, std::memory_order_release);
        return true;
    }
    // Consumer side: the oldest item without taking it, or null when empty.
    const T* front() const {
        const std::size_t head = head_.load(std::memory_order_relaxed);
        if (head == tail_.load(std::memory_order_acquire)) return nullptr;
        return &items_[head % N];
    }
    // Either side; exact only while the other side is quiet.
    std::size_t size() const { return tail_.load(std::memory_order_acquire) - head_.load(std::memory_order_acquire); }
    bool empty() const { return size() == 0; }

private:
    std::array<T, N> items_{};
    alignas(64) std::atomic<std::size_t> head_{0};
    alignas(64) std::atomic<std::size_t> tail_{0};
};

// At most this many blocks are in the device's hands per direction.
constexpr int RT_MAX_QUEUED_BLOCKS = 8;

// Moves samples between the device callback's buffer and the queued blocks.
// The UI thread pushes blocks into queued(); the audio thread calls capture()/play(), which fill or drain
// the oldest block and move every finished block into finished(); the UI thread pops those.
class BlockPump {
public:
    SpscRing<WaveHeader*, RT_MAX_QUEUED_BLOCKS>& queued() { return queued_; }
    SpscRing<WaveHeader*, RT_MAX_QUEUED_BLOCKS>& finished() { return finished_; }

    // Audio thread: copies bytes of captured sound into the queued blocks. Sound that finds no queued block
    // is lost, as with a capture device that ran out of buffers. Returns the number of blocks finished.
    int capture(const uint8_t* data, std::size_t bytes) { return fill(data, bytes, true); }

    // Audio thread: bytes of sound the device lost (after an overrun ALSA hands the callback the previous
    // buffer again): counted once, and silence takes their place in the blocks, which keep their timing.
    // Returns the number of blocks finished.
    int captureLost(std::size_t bytes) {
        lostBytes_.fetch_add(bytes, std::memory_order_relaxed);
        return fill(nullptr, bytes, false);
    }

    // Audio thread: fills bytes of the device's playback buffer from the queued blocks; silence once
    // they run dry. Silence that more sound follows is an underrun, a gap in the sound; silence after the
    // last block is only the end. Returns the number of blocks finished.
    int play(uint8_t* data, std::size_t bytes) {
        int done = 0;
        while (bytes > 0) {
            WaveHeader* const* block = queued_.front();
            if (!block) {
                std::memset(data, 0, bytes);
                silentBytes_ += bytes;
                break;
            }
            if (silentBytes_ > 0) {
                lostBytes_.fetch_add(silentBytes_, std::memory_order_relaxed);
                silentBytes_ = 0;
            }
            WaveHeader* h = *block;
            const std::size_t left = h->dwBufferLength - offset_;
            const std::size_t n = bytes < left ? bytes : left;
            std::memcpy(data, reinterpret_cast<const uint8_t*>(h->lpData) + offset_, n);
            offset_ += n;
            data += n;
            bytes -= n;
            if (offset_ == h->dwBufferLength) done += finishFront();
        }
        return done;
    }

    // Bytes already moved for the oldest queued block. Only while the audio thread is kept out.
    std::size_t offset() const { return offset_; }
    // Forgets the partly moved block's position (and the silence played since the last block: the sound
    // ended there). Only while the audio thread is kept out.
    void rewind() {
        offset_ = 0;
        silentBytes_ = 0;
    }
    // Audio thread: the sound system says it lost sound of its own (an overrun or underrun flag).
    void deviceLost(std::size_t bytes) { lostBytes_.fetch_add(bytes, std::memory_order_relaxed); }
    // Bytes of sound lost: captured with no block to take them, played as a gap, or lost by the device.
    std::size_t lostBytes() const { return lostBytes_.load(std::memory_order_relaxed); }

private:
    // Copies data (null: silence) into the queued blocks; what finds no block is lost, and counted so when
    // asked.
    int fill(const uint8_t* data, std::size_t bytes, bool countMissing) {
        int done = 0;
        while (bytes > 0) {
            WaveHeader* const* block = queued_.front();
            if (!block) {
                if (countMissing) lostBytes_.fetch_add(bytes, std::memory_order_relaxed);
                break;
            }
            WaveHeader* h = *block;
            const std::size_t room = h->dwBufferLength - offset_;
            const std::size_t n = bytes < room ? bytes : room;
            uint8_t* to = reinterpret_cast<uint8_t*>(h->lpData) + offset_;
            if (data) {
                std::memcpy(to, data, n);
                data += n;
            } else {
                std::memset(to, 0, n);
            }
            offset_ += n;
            bytes -= n;
            if (offset_ == h->dwBufferLength) done += finishFront();
        }
        return done;
    }

    int finishFront() {
        WaveHeader* h = nullptr;
        queued_.pop(h);
        offset_ = 0;
        // Cannot fail: at most RT_MAX_QUEUED_BLOCKS blocks exist in both rings together.
        return finished_.push(h) ? 1 : 0;
    }

    SpscRing<WaveHeader*, RT_MAX_QUEUED_BLOCKS> queued_;
    SpscRing<WaveHeader*, RT_MAX_QUEUED_BLOCKS> finished_;
    std::size_t offset_ = 0;
    std::size_t silentBytes_ = 0;  // played as silence since the last block; audio thread only
    std::atomic<std::size_t> lostBytes_{0};
};

// Sees the underruns a sound server does not report (PulseAudio and PipeWire never flag them): a playback
// stream whose writes fall behind real time by more than the sound buffered at the server has run dry
// there, and the server played silence meanwhile. The audio thread feeds it the time of every callback.
// What it returns is a lower bound: the server may also have run dry on its own account.
class UnderrunMeter {
public:
    // Before the stream (re)starts: the stream's rate and the frames the server buffers for it.
    void restart(double rate, double bufferedFrames) {
        rate_ = rate;
        buffered_ = bufferedFrames;
        started_ = armed_ = false;
    }

    // Audio thread: a callback at `seconds` (any steady clock) about to write `frames`. Returns the frames
    // the server lacked since the last callback.
    uint64_t feed(double seconds, unsigned frames) {
        if (!started_) {
            started_ = true;
            start_ = last_ = seconds;
            written_ = best_ = 0;
        }
        // How far the writes are ahead of real time; at its best the server's buffer was full. The best
        // fades by 0.1 % of the time passed, so that a sound card's clock running slow against this one
        // never adds up to a loss.
        const double ahead = written_ - rate_ * (seconds - start_);
        // The first write that had to wait is where the server began to play (on a busy server that may
        // take a while): that wait is the sound starting late, not a gap in it.
        if (!armed_ && seconds - last_ > 0.5 * frames / rate_) {
            armed_ = true;
            best_ = ahead;
        }
        best_ = std::max(ahead, best_ - 0.001 * rate_ * (seconds - last_));
        last_ = seconds;
        written_ += frames;
        const double behind = best_ - ahead;
        if (behind <= buffered_) return 0;
        best_ = ahead + buffered_;  // the server starts over from what it is given now
        return uint64_t(behind - buffered_);
    }

private:
    double rate_ = 1;
    double buffered_ = 0;
    bool started_ = false;
    bool armed_ = false;
    double start_ = 0, last_ = 0, written_ = 0, best_ = 0;
};

// Sees the cycles of a PipeWire graph that never reached a stream, or never left it, from the graph's own
// clock: from one cycle to the next the clock advances by the first cycle's frames (at the graph's rate when
// it resamples). What it advances beyond that is sound the stream never got or never gave. A clock that
// goes back or changes its rate starts the count afresh.
class CycleGapMeter {
public:
    void restart() { started_ = false; }

    // Audio thread: a cycle at clock `ticks` (units of 1/clockRate s) moving `frames` at streamRate.
    // Returns the frames (at streamRate) the stream missed since the last cycle.
    uint64_t feed(uint64_t ticks, uint32_t clockRate, uint32_t frames, uint32_t streamRate) {
        uint64_t lost = 0;
        if (started_ && clockRate == clockRate_ && ticks > ticks_ && clockRate > 0 && streamRate > 0) {
            const double advanced = double(ticks - ticks_) * streamRate / clockRate;
            // A resampled cycle moves a frame more or less than it spans; half a cycle is no such rounding.
            const double beyond = advanced - frames_;
            if (beyond >= 0.5 * std::max(frames_, 1u)) lost = uint64_t(beyond + 0.5);
        }
        started_ = true;
        ticks_ = ticks;
        clockRate_ = clockRate;
        frames_ = frames;
        return lost;
    }

private:
    bool started_ = false;
    uint64_t ticks_ = 0;
    uint32_t clockRate_ = 0;
    uint32_t frames_ = 0;
};

// Keeps the audio thread out of a pump while the UI thread takes its blocks back.
// The audio thread brackets its work with enter()/leave(); enter() is false while the gate is closed.
// close() returns once no audio-thread work is in progress, and none starts until open().
class CallbackGate {
public:
    bool enter() {
        busy_.store(true, std::memory_order_seq_cst);
        if (closed_.load(std::memory_order_seq_cst)) {
            busy_.store(false, std::memory_order_seq_cst);
            return false;
        }
        return true;
    }
    void leave() { busy_.store(false, std::memory_order_seq_cst); }
    // Spins (yielding) while the audio thread is inside: its work is short and never blocks.
    void close() {
        closed_.store(true, std::memory_order_seq_cst);
        while (busy_.load(std::memory_order_seq_cst)) std::this_thread::yield();
    }
    void open() { closed_.store(false, std::memory_order_seq_cst); }
    bool isClosed() const { return closed_.load(std::memory_order_seq_cst); }

private:
    std::atomic<bool> busy_{false};
    std::atomic<bool> closed_{false};
};
