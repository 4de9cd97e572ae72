#!/usr/bin/python3
"""Checks a loopback recording of the engine against the signal played into it.

Usage: check_loopback.py RECORDING.raw [--wav OUT.wav] [--min-seconds S] [--max-latency-ms MS]
       check_loopback.py --wav-only OUT.wav

RECORDING.raw is stereo s16le at 11025 Hz on one clock: left = what was played into the capture side,
right = the program's output. Checks that the output is the input, bit for bit, after one fixed delay over
the whole signal (a dropout or a repeated stretch would break that), prints the delay, and, with --wav,
that the WAV file the program wrote is valid and holds the same output, whole blocks in order.
Exit status 0 when everything holds; the reasons are printed otherwise.
"""
import argparse
import subprocess
import sys
import wave

import numpy as np

RATE = 11025
BLOCK = 2048
DESIGN_DELAY_MS = 2 * BLOCK * 1000.0 / RATE  # 371.5 ms


def best_lag(a, b):
    """Lag L (samples, either sign) maximising the correlation of b[n + L] with a[n]."""
    n = 1
    while n < len(a) + len(b):
        n *= 2
    fa = np.fft.rfft(a.astype(np.float64), n)
    fb = np.fft.rfft(b.astype(np.float64), n)
    corr = np.fft.irfft(np.conj(fa) * fb, n)
    k = int(np.argmax(corr))
    return k if k < len(b) else k - n


def signal_span(x, threshold=64):
    idx = np.flatnonzero(np.abs(x.astype(np.int32)) > threshold)
    if idx.size == 0:
        return None
    return int(idx[0]), int(idx[-1]) + 1


def compare(reference, other, lag, span, what, problems):
    """other[n + lag] must equal reference[n] for n in span."""
    start, end = span
    if start + lag < 0:
        problems.append(f"{what}: starts {-(start + lag)} samples too late")
        return
    if end + lag > len(other):
        problems.append(f"{what}: ends {end + lag - len(other)} samples too early")
        return
    a = reference[start:end]
    b = other[start + lag : end + lag]
    bad = np.flatnonzero(a != b)
    if bad.size:
        first = int(bad[0]) + start
        problems.append(
            f"{what}: {bad.size} of {end - start} samples differ, first at {first / RATE:.3f} s "
            f"(dropout, glitch or a changing delay)"
        )


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("recording", nargs="?")
    ap.add_argument("--wav-only", help="only check that this WAV file is valid and holds whole blocks")
    ap.add_argument("--wav")
    ap.add_argument("--min-seconds", type=float, default=10.0)
    ap.add_argument("--max-latency-ms", type=float, default=None)
    args = ap.parse_args()
    if args.wav_only:
        problems = []
        check_wav(args.wav_only, None, None, problems, require_signal=False)
        for p in problems:
            print("FAIL:", p)
        if not problems:
            print("OK")
        return 1 if problems else 0
    if not args.recording:
        ap.error("a recording is needed")

    raw = np.fromfile(args.recording, dtype="<i2")
    raw = raw[: len(raw) // 2 * 2].reshape(-1, 2)
    left, right = raw[:, 0], raw[:, 1]
    problems = []

    span = signal_span(left)
    if span is None:
        print("FAIL: nothing was played into the capture side")
        return 1
    seconds = (span[1] - span[0]) / RATE
    if seconds < args.min_seconds:
        problems.append(f"only {seconds:.2f} s of signal recorded (need {args.min_seconds})")
    if signal_span(right) is None:
        print("FAIL: the program's output is silent")
        return 1

    lag = best_lag(left, right)
    delay_ms = lag * 1000.0 / RATE
    compare(left, right, lag, span, "output vs input", problems)
    print(f"signal {seconds:.2f} s; delay {delay_ms:.1f} ms ({lag} samples); "
          f"device latency {delay_ms - DESIGN_DELAY_MS:.1f} ms over the {DESIGN_DELAY_MS:.1f} ms of two blocks")
    if args.max_latency_ms is not None and delay_ms - DESIGN_DELAY_MS > args.max_latency_ms:
        problems.append(f"device latency {delay_ms - DESIGN_DELAY_MS:.1f} ms over {args.max_latency_ms} ms")
    # The server hands sound over in chunks of a few ms, so a delay may read a little short of two blocks;
    # a whole block short (or more) means blocks went out early.
    if delay_ms < DESIGN_DELAY_MS - 15:
        problems.append(f"delay {delay_ms:.1f} ms is shorter than two blocks: blocks played early")

    if args.wav:
        check_wav(args.wav, left, span, problems)

    for p in problems:
        print("FAIL:", p)
    if not problems:
        print("OK")
    return 1 if problems else 0


def soxi_samples(path):
    out = subprocess.run(["soxi", "-s", path], capture_output=True, text=True, timeout=30)
    if out.returncode != 0:
        return None
    return int(out.stdout.strip())


def read_wav(path, problems):
    try:
        with wave.open(path, "rb") as w:
            params = (w.getnchannels(), w.getsampwidth(), w.getframerate(), w.getcomptype())
            frames = w.getnframes()
            data = np.frombuffer(w.readframes(frames), dtype="<i2")
    except (wave.Error, EOFError, OSError) as e:
        problems.append(f"WAV file unreadable: {e}")
        return None
    if params != (1, 2, RATE, "NONE"):
        problems.append(f"WAV format {params}, expected mono 16-bit {RATE} Hz PCM")
    if len(data) != frames:
        problems.append(f"WAV header says {frames} frames, data holds {len(data)}")
    sox = soxi_samples(path)
    if sox != frames:
        problems.append(f"soxi counts {sox} samples, Python's wave {frames}")
    print(f"WAV: {frames} samples = {frames / BLOCK:.2f} blocks (Python's wave), soxi: {sox}")
    return data, frames


def check_wav(path, left, span, problems, require_signal=True):
    got = read_wav(path, problems)
    if got is None:
        return
    data, frames = got
    if frames % BLOCK:
        problems.append(f"WAV holds {frames} samples, not whole blocks of {BLOCK}")
    if not require_signal:
        return
    if signal_span(data) is None:
        problems.append("WAV file holds no signal")
        return
    # The file holds the played blocks: the captured input from the first block on, in order.
    lag_in_file = best_lag(data, left)  # left[n + L] == data[n]
    start = max(span[0] - lag_in_file, 0, -lag_in_file)
    end = min(span[1] - lag_in_file, len(data), len(left) - lag_in_file)
    if end - start < (span[1] - span[0]) // 2:
        problems.append("WAV file misses most of the signal")
        return
    compare(data, left, lag_in_file, (start, end), "WAV vs input", problems)


if __name__ == "__main__":
    sys.exit(main())
