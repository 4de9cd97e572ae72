#!/usr/bin/python3
"""Checks that the program's output is the FIR convolution of its input, sample for sample.

Usage: check_filtered.py RECORDING.raw BANK.fib INDEX [--wav OUT.wav]

RECORDING.raw is stereo s16le at 11025 Hz on one clock: left = what was played into the capture side,
right = the program's output. The reference sums the taps in order into one double accumulator, clamps
and truncates toward zero, as the filter does. With --wav, the WAV file must hold the same output.
"""
import argparse
import struct
import sys
import wave

import numpy as np


def bank_filter(path, index):
    data = open(path, "rb").read()
    entry = 4 + 136 * index
    pos, k = struct.unpack_from("<ii", data, entry + 128)
    return np.frombuffer(data[pos:pos + 8 * k], dtype="<f8")


def convolve_exact(x, h):
    acc = np.zeros(x.size)
    for j, c in enumerate(h):
        shifted = np.zeros(x.size)
        shifted[j:] = x[:x.size - j]
        acc += shifted * c  # one product rounded, then one addition: the filter's own order
    return np.trunc(np.clip(acc, -32768.0, 32767.0)).astype(np.int16)


def find_lag(out, y, start, span=4096):
    for d in range(0, min(3 * 11025, out.size - start - span)):
        if out[start + d] == y[start] and np.array_equal(out[start + d:start + d + span], y[start:start + span]):
            return d
    return None


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("recording")
    ap.add_argument("bank")
    ap.add_argument("index", type=int)
    ap.add_argument("--wav")
    args = ap.parse_args()
    rec = np.fromfile(args.recording, dtype="<i2").reshape(-1, 2)
    x, out = rec[:, 0].astype(np.float64), rec[:, 1]
    y = convolve_exact(x, bank_filter(args.bank, args.index))
    active = np.nonzero(y)[0]
    if active.size == 0:
        sys.exit("FAIL: no signal reached the capture side")
    start = int(active[0])
    lag = find_lag(out, y, start)
    if lag is None:
        sys.exit("FAIL: the output never matches the convolution of the input")
    end = min(int(active[-1]) + 1, out.size - lag)
    mismatches = np.nonzero(out[start + lag:end + lag] != y[start:end])[0]
    print(f"filter delay {lag * 1000 / 11025:.1f} ms, {end - start} samples compared, {mismatches.size} differ")
    if mismatches.size:
        sys.exit(f"FAIL: first difference at sample {start + int(mismatches[0])}")
    if args.wav:
        with wave.open(args.wav, "rb") as w:
            if (w.getnchannels(), w.getsampwidth(), w.getframerate()) != (1, 2, 11025):
                sys.exit("FAIL: the WAV file has the wrong format")
            frames = np.frombuffer(w.readframes(w.getnframes()), dtype="<i2")
        if frames.size % 2048:
            sys.exit("FAIL: the WAV file does not hold whole blocks")
        # The file holds what was played: line up the first sound in both and compare all of it.
        if not frames.any():
            sys.exit("FAIL: the WAV file holds only silence")
        offset = int(np.flatnonzero(out)[0]) - int(np.flatnonzero(frames)[0])
        lo, hi = max(0, -offset), min(frames.size, out.size - offset)
        if offset + lo < 0 or not np.array_equal(frames[lo:hi], out[offset + lo:offset + hi]):
            sys.exit("FAIL: the WAV file differs from the played output")
        print(f"WAV file holds {frames.size // 2048} blocks of the played output")


if __name__ == "__main__":
    main()
