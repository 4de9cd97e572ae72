#!/usr/bin/env bash
# Ten minutes of 16-bit mono 11025 Hz sound through a 1000-tap filter: zoriq1-filter apply against
# `sox IN OUT fir COEFFS.txt`, alternately in the same run, best of RUNS each, on one core and on all of
# them. Prints both as multiples of real time (CPU time and wall time), their ratios, how many samples
# apply summed tap by tap, and how far the two outputs differ.
# Usage: bench/tools/apply_vs_sox.sh [BUILD_DIR] [SECONDS] [RUNS]
set -euo pipefail
build=${1:-build}
seconds=${2:-600}
runs=${3:-5}
tool=$(cd "$build" && pwd)/tools/zoriq1-filter
for cmd in sox taskset /usr/bin/python3; do
    command -v "$cmd" >/dev/null || { echo "needs $cmd (Debian packages sox, util-linux, python3)"; exit 1; }
done
[ -x "$tool" ] || { echo "no $tool: build first"; exit 1; }
work=$(mktemp -d /tmp/zq-apply-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT

sox -R -n -r 11025 -b 16 -c 1 "$work/in.wav" synth "$seconds" pinknoise vol 0.5
"$tool" design lowpass --cutoff 1000 --taps 1000 --window blackman -o "$work/lp.fir"
grep -v '^;' "$work/lp.fir" >"$work/lp.txt"   # sox reads the bare coefficients

/usr/bin/python3 - "$work" "$tool" "$seconds" "$runs" <<'PY'
import resource, subprocess, sys, time, wave
import numpy as np
work, tool, seconds, runs = sys.argv[1], sys.argv[2], float(sys.argv[3]), int(sys.argv[4])
one = ['taskset', '-c', '0']
apply = [tool, 'apply', f'{work}/lp.fir', f'{work}/in.wav', f'{work}/apply.wav']
sox = ['sox', '-D', f'{work}/in.wav', f'{work}/sox.wav', 'fir', f'{work}/lp.txt']
commands = {
    ('one core', 'zoriq1-filter apply'): one + apply + ['--jobs', '1'],
    ('one core', 'sox fir'): one + sox[:1] + ['--single-threaded'] + sox[1:],
    ('all cores', 'zoriq1-filter apply'): apply,
    ('all cores', 'sox fir'): sox[:1] + ['--multi-threaded'] + sox[1:],
}
best = {key: (float('inf'), float('inf')) for key in commands}
said = ''
for _ in range(runs):
    for key, cmd in commands.items():
        r0, t0 = resource.getrusage(resource.RUSAGE_CHILDREN), time.perf_counter()
        out = subprocess.run(cmd, check=True, stdout=subprocess.PIPE, text=True).stdout
        wall, r1 = time.perf_counter() - t0, resource.getrusage(resource.RUSAGE_CHILDREN)
        cpu = r1.ru_utime - r0.ru_utime + r1.ru_stime - r0.ru_stime
        best[key] = (min(best[key][0], cpu), min(best[key][1], wall))
        if key[1] == 'zoriq1-filter apply':
            said = out  # "N samples, M of them (P%) summed tap by tap"
print(f'{seconds:.0f} s of 16-bit mono 11025 Hz through 1000 taps, best of {runs}:')
for (cores, name), (cpu, wall) in best.items():
    print(f'  {cores:9s} {name:20s} CPU {cpu:6.3f} s = {seconds / cpu:7.0f} x real time   '
          f'(wall {wall:6.3f} s = {seconds / wall:7.0f} x)')
a, s = best[('one core', 'zoriq1-filter apply')][0], best[('one core', 'sox fir')][0]
print(f'  ratio apply / sox, one core (CPU): {s / a:.2f}')
a, s = best[('all cores', 'zoriq1-filter apply')][1], best[('all cores', 'sox fir')][1]
print(f'  ratio apply / sox, all cores (wall): {s / a:.2f}')
total, summed = (int(w) for w in said.split()[0:3:2])
print(f'  apply summed {summed} of {total} samples tap by tap ({100 * summed / total:.5f} %)')
def samples(path):
    with wave.open(path) as w:
        return np.frombuffer(w.readframes(w.getnframes()), '<i2').astype(int)
x, y = samples(f'{work}/apply.wav'), samples(f'{work}/sox.wav')
# sox's fir takes back a linear-phase filter's delay of (taps - 1) / 2 samples; the program plays it.
lag = 499
print(f'  outputs: {x.size} and {y.size} samples; after the {lag}-sample delay sox takes back, largest difference '
      f'{np.max(np.abs(x[lag:] - y[:y.size - lag]))} LSB (apply truncates as the program does, sox rounds)')
PY
