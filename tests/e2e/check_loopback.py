#!/usr/bin/python3
"""Checks what the program played against what it was given, block by block, and tells a glitch of the
bench from a fault of the program.

Usage: check_loopback.py RECORDING.raw [--wav OUT.wav] [--bank BANK.fib --index N] [--server-log LOG]
                         [--program-log LOG] [--min-seconds S] [--max-latency-ms MS]
       check_loopback.py --wav-only OUT.wav

RECORDING.raw (zq_pulse_record): 3 channels s16le at 11025 Hz on one clock: what was played into the capture
side, the program's output, and the recording's own clock (a ramp 1..32000; a jump in it is a stretch the
recorder dropped). The program's output must be its input (or, with --bank, the input through filter N of
BANK.fib, summed tap by tap in one double, clamped and truncated toward zero as the filter does), two blocks
later. With --wav, the program's WAV file shows what it computed, so that
- a block of the file that is not the processed input is the program's fault, unless the program said it
  lost captured sound (--program-log: its "capture overruns: N" line);
- a block of the file missing from the played sound, or a gap between two, is a loss on the way out: told
  by the program ("playback underruns: N"), or an underrun of the program's stream that the server logged
  (--server-log) near that moment; anything else is the program's fault;
- blocks the recorder dropped are the bench's own loss: named, not judged.
Without --wav, the processed input cut into blocks takes the file's place. Exit status 0 when nothing is the
program's fault; every finding is printed.
"""
import argparse
import re
import struct
import subprocess
import sys
import wave

import numpy as np

RATE = 11025
BLOCK = 2048
DESIGN_DELAY = 2 * BLOCK  # samples
CLOCK_PERIOD = 32000
# A server's log and the recording agree on time to within its scheduling; an underrun explains damage this
# near it.
LOG_SLACK = RATE // 2


def read_recording(path):
    raw = np.fromfile(path, dtype="<i2")
    raw = raw[: len(raw) // 3 * 3].reshape(-1, 3).astype(np.float64)
    return raw[:, 0], raw[:, 1], raw[:, 2]


def repair_timeline(left, right, clock):
    """Puts back the stretches the recorder dropped (a jump of the clock between two of its samples) as NaN.
    Returns left, right, and the recording positions (after repair) of each stretch with its length."""
    c = clock.astype(np.int64)
    both = (c[:-1] != 0) & (c[1:] != 0)  # where the clock's player went silent it says nothing
    jump = np.flatnonzero(both & (c[1:] != c[:-1] % CLOCK_PERIOD + 1))
    drops, pieces_l, pieces_r, start, shift = [], [], [], 0, 0
    for i in jump:
        n = int((c[i + 1] - c[i] - 1) % CLOCK_PERIOD)
        pieces_l += [left[start : i + 1], np.full(n, np.nan)]
        pieces_r += [right[start : i + 1], np.full(n, np.nan)]
        drops.append((int(i) + 1 + shift, n))
        start, shift = i + 1, shift + n
    pieces_l.append(left[start:])
    pieces_r.append(right[start:])
    return np.concatenate(pieces_l), np.concatenate(pieces_r), drops


def bank_filter(path, index):
    data = open(path, "rb").read()
    pos, k = struct.unpack_from("<ii", data, 4 + 136 * index + 128)
    return np.frombuffer(data[pos : pos + 8 * k], dtype="<f8")


def convolve_exact(x, h):
    acc = np.zeros(x.size)
    for j, c in enumerate(h):
        shifted = np.zeros(x.size)
        shifted[j:] = x[: x.size - j]
        acc += shifted * c  # one product rounded, then one addition: the filter's own order
    return np.trunc(np.clip(acc, -32768.0, 32767.0))  # NaN (a dropped stretch) stays NaN


def best_lag(a, b):
    """Lag L maximising the correlation of b[n + L] with a[n]."""
    a, b = np.nan_to_num(a), np.nan_to_num(b)
    n = 1
    while n < len(a) + len(b):
        n *= 2
    corr = np.fft.irfft(np.conj(np.fft.rfft(a, n)) * np.fft.rfft(b, n), n)
    k = int(np.argmax(corr))
    return k if k < len(b) else k - n


def signal_span(x, threshold=64):
    idx = np.flatnonzero(np.abs(np.nan_to_num(x)) > threshold)
    return (int(idx[0]), int(idx[-1]) + 1) if idx.size else None


class Finder:
    """Finds where a block lies, whole, in a long signal: by its first 16 samples from its first sound on."""

    KEY = 16

    def __init__(self, x):
        self.x = x
        self.index = {}
        v = np.nan_to_num(x, nan=1e9).astype(np.int64)
        keys = np.lib.stride_tricks.sliding_window_view(v, self.KEY)
        for i in np.flatnonzero(v[: len(keys)]):
            self.index.setdefault(keys[i].tobytes(), []).append(int(i))

    def find(self, block, near, reach):
        j = int(np.flatnonzero(block)[0])
        key = block[j : j + self.KEY].astype(np.int64).tobytes()
        for i in self.index.get(key, []):
            if abs(i - j - near) <= reach and np.array_equal(self.x[i - j : i - j + len(block)], block):
                return i - j
        return None


def locate(blocks, where, lag, reach):
    """Position of each block of sound in `where`: block k at k * BLOCK + lag, the lag following the blocks
    found, or anywhere within `reach` of there. "dropped" where a stretch the recorder dropped (NaN) leaves
    it unknown, None where it is nowhere, whole."""
    finder = Finder(where)
    out, shift = [], lag
    for k, b in enumerate(blocks):
        at = k * BLOCK + shift
        if not b.any():
            out.append(at)
        elif np.isnan(b).any() or np.isnan(where[max(at - BLOCK, 0) : max(at + 2 * BLOCK, 0)]).any():
            out.append("dropped")
        elif at >= 0 and np.array_equal(where[at : at + BLOCK], b):
            out.append(at)
        else:
            found = finder.find(b, at, reach)
            out.append(found)
            if found is not None:
                shift = found - k * BLOCK
    return out


def damage(positions, blocks):
    """Where blocks of sound are missing or not one after another: (block, what, where it was due)."""
    found, prev = [], None
    for k, p in enumerate(positions):
        if p == "dropped":
            prev = None
        elif not blocks[k].any():
            continue
        elif p is None:
            found.append((k, "missing", prev[1] + (k - prev[0]) * BLOCK if prev else None))
        else:
            due = prev[1] + (k - prev[0]) * BLOCK if prev else p
            if p != due:
                found.append((k, f"{p - due:+d} samples before it", due))
            prev = (k, p)
    return found


def lost_counts(path):
    if not path:
        return 0, 0
    m = re.search(r"capture overruns: (\d+), playback underruns: (\d+)", open(path, errors="replace").read())
    return (int(m.group(1)), int(m.group(2))) if m else (0, 0)


def server_underruns(path):
    """Recording positions of the underruns of the program's streams in a PulseAudio or pipewire-pulse log:
    every stream not named zq-* is the program's. A pipewire-pulse stream that never got sound does not count."""
    if not path:
        return []
    text = open(path, errors="replace").read()
    start, times = None, []
    for line in text.splitlines():
        m = re.match(r"\(\s*([\d.]+)\|", line)  # PulseAudio: "(  12.345|   0.000) D: ..."
        if m:
            t = float(m.group(1))
            if start is None and re.search(r'Created output \d+ "zq-record"', line):
                start = t
            u = re.search(r"[Uu]nderrun (?:of|on) '([^']*)'", line)
            if u and not u.group(1).startswith("zq-"):
                times.append(t)
            continue
        m = re.match(r"\[\w\]\[([\d:.]+)\]", line)  # PipeWire: "[D][06046.182262]" or "[D][20:58:22.945220]"
        if not m:
            continue
        t = sum(float(v) * 60**i for i, v in enumerate(reversed(m.group(1).split(":"))))
        if start is None and "[zq-record] CREATE_RECORD_STREAM" in line:
            start = t
        u = re.search(r"\[([^\]]*)\] underrun read:(\d+)", line)
        if u and not u.group(1).startswith("zq-") and int(u.group(2)) > 0:
            times.append(t)
    if start is None:
        return []
    return [int((t - start) * RATE) for t in times if t >= start]


def soxi_samples(path):
    out = subprocess.run(["soxi", "-s", path], capture_output=True, text=True, timeout=30)
    return int(out.stdout.strip()) if out.returncode == 0 else None


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
    if frames % BLOCK:
        problems.append(f"WAV holds {frames} samples, not whole blocks of {BLOCK}")
    print(f"WAV: {frames} samples = {frames / BLOCK:.2f} blocks (Python's wave), soxi: {sox}")
    return data.astype(np.float64)


def check(args):
    problems = []
    left, right, clock = read_recording(args.recording)
    left, right, drops = repair_timeline(left, right, clock)
    span = signal_span(left)
    if span is None:
        return ["nothing was played into the capture side"]
    seconds = (span[1] - span[0]) / RATE
    print(f"signal {seconds:.2f} s; recorder dropped {sum(n for _, n in drops)} samples in {len(drops)} stretches"
          + "".join(f" (at {p / RATE:.2f} s: {n})" for p, n in drops))
    if seconds < args.min_seconds:
        problems.append(f"only {seconds:.2f} s of signal recorded (need {args.min_seconds})")
    if signal_span(right) is None:
        return problems + ["the program's output is silent"]
    expected = convolve_exact(left, bank_filter(args.bank, args.index)) if args.bank else left
    told_capture, told_playback = lost_counts(args.program_log)
    logged = server_underruns(args.server_log)

    if args.wav:
        computed = read_wav(args.wav, problems)
        if computed is None:
            return problems
        blocks = [computed[k : k + BLOCK] for k in range(0, len(computed) - BLOCK + 1, BLOCK)]
        # What the program computed from what it captured.
        origin = locate(blocks, expected, best_lag(computed, expected), 4 * BLOCK)
        for k, what, _ in damage(origin, blocks):
            verdict = "it said it lost captured sound" if told_capture else "FAULT: not its input processed"
            print(f"file block {k}: {what} in the processed input: {verdict}")
            if not told_capture:
                problems.append(f"block {k} of the WAV file is not the processed input ({what})")
    else:
        first = max(span[0] - BLOCK, 0)
        blocks = [expected[k : k + BLOCK] for k in range(first, len(expected) - BLOCK + 1, BLOCK)]
        origin = [first + k * BLOCK for k in range(len(blocks))]

    # What was played of it.
    computed = np.concatenate(blocks)
    played = locate(blocks, right, best_lag(computed, right), 2 * RATE)
    for k, what, due in damage(played, blocks):
        pos = due if due is not None else next((p for p in played[k:] if isinstance(p, int)), len(right))
        near = [t for t in logged if abs(t - pos) <= LOG_SLACK + BLOCK]
        if told_playback:
            verdict = "the program said it lost played sound"
        elif near:
            verdict = "the server logged an underrun of the program's stream there"
        else:
            verdict = "FAULT: lost without a word"
            problems.append(f"block {k} played with a loss ({what}) that neither the program nor the server told")
        print(f"played block {k} (at {pos / RATE:.2f} s): {what}: {verdict}")

    sound = [k for k, b in enumerate(blocks) if np.nan_to_num(b).any()]
    intact = [k for k in sound if isinstance(played[k], int)]
    print(f"{len(sound)} blocks of sound; {len(intact)} played intact; "
          f"{sum(1 for p in played if p == 'dropped')} in stretches the recorder dropped; program told "
          f"{told_capture} captured and {told_playback} played samples lost; server logged {len(logged)} underruns")
    # The delay from the capture side to the played sound, at the first block seen on both.
    k = next((k for k in intact if isinstance(origin[k], int)), None)
    if k is not None:
        delay = played[k] - origin[k]
        print(f"delay {delay * 1000 / RATE:.1f} ms ({delay} samples); device latency "
              f"{(delay - DESIGN_DELAY) * 1000 / RATE:.1f} ms over the two blocks")
        # A server hands sound over in cycles of a few ms, so a delay may read a cycle short of two blocks; a
        # whole block short means blocks went out early.
        if delay < DESIGN_DELAY - 0.03 * RATE:
            problems.append(f"delay {delay} samples is shorter than two blocks: blocks played early")
        if args.max_latency_ms is not None and (delay - DESIGN_DELAY) * 1000 / RATE > args.max_latency_ms:
            problems.append(f"device latency over {args.max_latency_ms} ms")
    return problems


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("recording", nargs="?")
    ap.add_argument("--wav-only", help="only check that this WAV file is valid and holds whole blocks")
    ap.add_argument("--wav")
    ap.add_argument("--bank")
    ap.add_argument("--index", type=int, default=0)
    ap.add_argument("--server-log")
    ap.add_argument("--program-log")
    ap.add_argument("--min-seconds", type=float, default=10.0)
    ap.add_argument("--max-latency-ms", type=float, default=None)
    args = ap.parse_args()
    if args.wav_only:
        problems = []
        read_wav(args.wav_only, problems)
    elif args.recording:
        problems = check(args)
    else:
        ap.error("a recording is needed")
    for p in problems:
        print("FAIL:", p)
    if not problems:
        print("OK")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
