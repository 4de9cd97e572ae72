#!/usr/bin/env bash
# Ten minutes of 16-bit mono 11025 Hz sound through a 1000-tap filter on one core: zoriq1-filter apply
# against `sox IN OUT fir COEFFS.txt`, alternately in the same run, best of RUNS each. Prints both as
# multiples of real time (CPU time and wall time), their ratio, and how far the two outputs differ.
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
commands = {
    'zoriq1-filter apply': ['taskset', '-c', '0', tool, 'apply', f'{work}/lp.fir', f'{work}/in.wav', f'{work}/apply.wav'],
    'sox fir': ['taskset', '-c', '0', 'sox', '--single-threaded', '-D', f'{work}/in.wav', f'{work}/sox.wav',
                'fir', f'{work}/lp.txt'],
}
best = {name: (float('inf'), float('inf')) for name in commands}
for _ in range(runs):
    for name, cmd in commands.items():
        r0, t0 = resource.getrusage(resource.RUSAGE_CHILDREN), time.perf_counter()
        subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL)
        wall, r1 = time.perf_counter() - t0, resource.getrusage(resource.RUSAGE_CHILDREN)
        cpu = r1.ru_utime - r0.ru_utime + r1.ru_stime - r0.ru_stime
        best[name] = (min(best[name][0], cpu), min(best[name][1], wall))
print(f'{seconds:.0f} s of 16-bit mono 11025 Hz through 1000 taps, one core, best of {runs}:')
for name, (cpu, wall) in best.items():
    print(f'  {name:20s} CPU {cpu:6.3f} s = {seconds / cpu:7.0f} x real time   (wall {wall:6.3f} s = {seconds / wall:7.0f} x)')
a, s = best['zoriq1-filter apply'][0], best['sox fir'][0]
print(f'  ratio apply / sox (CPU): {s / a:.2f}')
def samples(path):
    with wave.open(path) as w:
        return np.frombuffer(w.readframes(w.getnframes()), '<i2').astype(int)
x, y = samples(f'{work}/apply.wav'), samples(f'{work}/sox.wav')
# sox's fir takes back a linear-phase filter's delay of (taps - 1) / 2 samples; the program plays it.
lag = 499
print(f'  outputs: {x.size} and {y.size} samples; after the {lag}-sample delay sox takes back, largest difference '
      f'{np.max(np.abs(x[lag:] - y[:y.size - lag]))} LSB (apply truncates as the program does, sox rounds)')
PY
