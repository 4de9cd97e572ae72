#!/usr/bin/env bash
# Repeated runs leak nothing: COUNT runs (default 20) of a bank filter with WAV output and both spectrum
# windows on the private sound server, every fifth from the third ended by killing the server, which is
# restarted on the same socket before the next run. Afterwards the process has as many threads and open
# descriptors as after the first run and at most 1 MiB more resident memory; every WAV file is valid.
# Usage: runner_cycles_e2e.sh DRIVER PULSE_ENV [COUNT]   (PULSE_ENV pulse_env.sh or pipewire_env.sh; with the
# latter, ZQ_KILL=pipewire kills the PipeWire daemon, which the native backend depends on)
set -uo pipefail
driver=$1
source "$2" || exit
checker="$(dirname "$2")/check_loopback.py"
count=${3:-20}
driver_pid=
zq_begin cycles-e2e
stop_test() { zq_stop "$driver_pid"; zq_pulse_stop; }
export QT_QPA_PLATFORM=offscreen

# PulseAudio 16.1 aborts on a memory-block import now and then when clients come back to a restarted server
# with shared memory: they send their audio over the socket instead.
printf 'enable-shm = no\nenable-memfd = no\n' >"$work/client.conf"
export PULSE_CLIENTCONFIG="$work/client.conf"
zq_pulse_start || fail "no sound server"
# glibc raises its mmap threshold to the largest block freed so far, so the windows' backing stores of the
# second run on (about 1.2 MB each) come from the heap, which keeps them: resident memory then rises by some
# 2.7 MB over the first five runs and stays there. A fixed threshold makes the figure show what is left.
MALLOC_MMAP_THRESHOLD_=131072 timeout 200 "$driver" cycles "$count" "$work" >"$work/prog.log" 2>"$work/prog.err" &
driver_pid=$!
while kill -0 "$driver_pid" 2>/dev/null; do
    for request in "$work"/kill-*; do
        [ -e "$request" ] || continue
        n=${request##*-}
        [ -e "$work/up-$n" ] && continue
        sleep 0.8  # some blocks flow first
        zq_pulse_kill_server ${ZQ_KILL:-}
        sleep 0.3
        if [ "${ZQ_KILL:-}" = pipewire ]; then zq_pw_restart_core; else zq_pulse_restart; fi ||
            fail "the sound server did not come back"
        touch "$work/up-$n"
    done
    sleep 0.1
done
wait "$driver_pid"
status=$?
driver_pid=
[ "$status" -eq 0 ] || fail "driver status $status"
cat "$work/prog.log"
for wav in "$work"/out-*.wav; do
    /usr/bin/python3 "$checker" --wav-only "$wav" >/dev/null || fail "$(basename "$wav") is not a valid WAV file"
done
echo "PASS: $count runs, $(ls "$work"/out-*.wav | wc -l) valid WAV files"
