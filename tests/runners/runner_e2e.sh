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

/usr/bin/python3 "$(dirname "$2")/check_loopback.py" "$work/rec.raw" --bank "$(dirname "$driver")/FirFilter.fib" \
    --index 0 --min-seconds 5 --server-log "$ZQ_SERVER_LOG" --program-log "$work/driver.err"
