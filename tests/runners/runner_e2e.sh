#!/usr/bin/env bash
# A bank filter (1000-tap low pass) runs on the private sound server with both spectrum windows open;
# what it plays must equal the convolution of what it captured, sample for sample.
# Usage: runner_e2e.sh DRIVER PULSE_ENV
set -euo pipefail
driver=$1
source "$2"
zq_need python3-numpy
work=$(mktemp -d /tmp/zq-runner-e2e.XXXXXX)
trap 'zq_pulse_stop; zq_end_descendants $$; rm -rf "$work"' EXIT
trap 'exit 130' INT TERM
export QT_QPA_PLATFORM=offscreen

/usr/bin/python3 - "$work/in.wav" <<'PY'
import sys, wave, numpy as np
rate = 11025
rng = np.random.default_rng(7)
t = np.arange(int(6.0 * rate)) / rate
sig = 6000 * np.sin(2 * np.pi * (100 + 300 * t) * t) + rng.normal(0, 3000, t.size)
sig = np.clip(sig, -32768, 32767).astype('<i2')
pad = np.zeros(int(0.5 * rate), dtype='<i2')
data = np.concatenate([pad, sig, pad])
with wave.open(sys.argv[1], 'wb') as w:
    w.setnchannels(1); w.setsampwidth(2); w.setframerate(rate); w.writeframes(data.tobytes())
PY

zq_pulse_start
zq_pulse_record "$work/rec.raw"
timeout 90 "$driver" 10 "$work/started" >"$work/driver.out" 2>"$work/driver.err" &
driver_pid=$!
for _ in $(seq 1 100); do [ -e "$work/started" ] && break; sleep 0.1; done
sleep 0.5
zq_pulse_play "$work/in.wav"
status=0
wait "$driver_pid" || status=$?
sleep 0.3
kill "$ZQ_REC_PID" 2>/dev/null || true
wait "$ZQ_REC_PID" 2>/dev/null || true
cat "$work/driver.out"
if [ "$status" -ne 0 ]; then
    echo "driver failed with $status"; cat "$work/driver.err"; exit 1
fi

/usr/bin/python3 - "$work/rec.raw" "$(dirname "$driver")/FirFilter.fib" <<'PY'
import sys, numpy as np
rec = np.fromfile(sys.argv[1], dtype='<i2').reshape(-1, 2)
x, out = rec[:, 0].astype(np.float64), rec[:, 1]
bank = open(sys.argv[2], 'rb').read()
pos, k = np.frombuffer(bank[4 + 128:4 + 136], dtype='<i4')
h = np.frombuffer(bank[pos:pos + 8 * k], dtype='<f8')
# The filter's own summation order: one accumulator, taps in order.
acc = np.zeros(x.size)
for j in range(k):
    shifted = np.zeros(x.size)
    shifted[j:] = x[:x.size - j]
    acc += shifted * h[j]
y = np.trunc(np.clip(acc, -32768.0, 32767.0)).astype(np.int16)
active = np.nonzero(y)[0]
if active.size == 0:
    sys.exit("no signal captured")
# Find the program's delay on the first stretch of signal, then compare everything it covers.
a0 = active[0]
lag = None
for d in range(0, min(3 * 11025, out.size - a0 - 4096)):
    if out[a0 + d] != y[a0]:
        continue
    if np.array_equal(out[a0 + d:a0 + d + 4096], y[a0:a0 + 4096]):
        lag = d
        break
if lag is None:
    sys.exit("the output never matches the convolution of the input")
end = min(active[-1] + 1, out.size - lag)
mismatch = np.nonzero(out[a0 + lag:end + lag] != y[a0:end])[0]
print(f"delay_samples={lag} delay_ms={lag * 1000 / 11025:.1f} compared={end - a0} mismatches={mismatch.size}")
if mismatch.size:
    sys.exit(f"first mismatch at sample {a0 + mismatch[0]}")
PY
