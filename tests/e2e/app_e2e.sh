#!/usr/bin/env bash
# The installed program, driven as a user would through a private X server, on a private sound server.
#   app_e2e.sh direct   PREFIX  Direct mapping with WAV output: the recording and the file equal the input
#   app_e2e.sh bank     PREFIX  a 1000-tap bank filter with both spectrum windows: output = convolution
#   app_e2e.sh serverkill PREFIX the sound server dies under a running function: the runner's message, then
#                               the main window again
#   app_e2e.sh noserver PREFIX  no sound server: the probe's message, and the program ends
#   app_e2e.sh nodisplay PREFIX no display: a clear message and exit status 1, no crash
#   app_e2e.sh diskfull PREFIX  Direct mapping recording to a 64 KiB file system: the disk-full notice is
#                               left open for several seconds, the sound stays exact throughout, nothing else
#                               is shown, Stop Function brings the main window back (needs root)
# PREFIX is an installation (bin/zoriq1). Optional: ZQ_SOUND_SERVER=pipewire runs on a private PipeWire
# (pipewire_env.sh) instead of PulseAudio, and ZQ_KILL=pipewire makes serverkill kill the PipeWire daemon
# instead of pipewire-pulse; ZQ_SCREENSHOT_DIR keeps screenshots there; ZQ_RUN_SECONDS sets how long the
# signal plays (default 12).
set -uo pipefail
case_name=${1:?case}
prefix=${2:?prefix}
here=$(cd "$(dirname "$0")" && pwd)
python=/usr/bin/python3
seconds=${ZQ_RUN_SECONDS:-12}
source "$here/x_env.sh" || exit
zq_need soxi python3-numpy python3-scipy || exit

make_signal() {  # a chirp with some noise, padded with silence
    "$python" - "$work/in.wav" "$seconds" <<'PY'
import sys, wave, numpy as np
rate, seconds = 11025, float(sys.argv[2])
t = np.arange(int(seconds * rate)) / rate
rng = np.random.default_rng(5)
sig = 9000 * np.sin(2 * np.pi * (60 + 2400 / seconds * t) * t) + rng.normal(0, 1500, t.size)
pad = np.zeros(int(0.4 * rate))
data = np.clip(np.concatenate([pad, sig, pad]), -32768, 32767).astype('<i2')
with wave.open(sys.argv[1], 'wb') as w:
    w.setnchannels(1); w.setsampwidth(2); w.setframerate(rate); w.writeframes(data.tobytes())
PY
}

# A bank of two filters: a 1000-tap low pass at 1 kHz (Hamming) and a 3-tap average.
make_bank() {
    "$python" - "$1" <<'PY'
import struct, sys
import numpy as np
from scipy.signal import firwin
filters = [("Low-pass 1000 Hz (test)", firwin(1000, 1000, fs=11025)), ("Average of 3", [1 / 3] * 3)]
head = struct.pack('<i', len(filters))
pos = 4 + 136 * len(filters)
blocks = b''
for name, h in filters:
    head += name.encode('cp1252').ljust(128, b'\0') + struct.pack('<ii', pos, len(h))
    pos += 8 * len(h)
    blocks += struct.pack('<%dd' % len(h), *h)
open(sys.argv[1], 'wb').write(head + blocks)
PY
}

choose_output_file() {  # choose_output_file [PATH]: $work/out.wav by default
    key "$main" alt+w
    key "$main" alt+o
    # The first file dialog on a fresh system can take a while to build.
    local dialog= t0
    t0=$(now_ms)
    while [ -z "$dialog" ] && [ $(( $(now_ms) - t0 )) -lt 10000 ]; do
        dialog=$(xdotool search --all --pid "$prog_pid" --onlyvisible --name '.' | grep -vx "$main" | head -1)
        [ -n "$dialog" ] || sleep 0.1
    done
    [ -n "$dialog" ] || fail "no file dialog"
    xdotool windowfocus --sync "$dialog"
    xdotool type --delay 10 "${1:-$work/out.wav}"
    key "$dialog" Return
    # On a busy machine the dialog can outlive the key: a key sent meanwhile would go nowhere.
    t0=$(now_ms)
    while xdotool search --all --pid "$prog_pid" --onlyvisible --name '.' | grep -qx "$dialog"; do
        [ $(( $(now_ms) - t0 )) -lt 10000 ] || fail "the file dialog did not close"
        sleep 0.1
    done
}

# check_sound [ARGS...]: the recording against the signal (check_loopback.py); a loss the bench or the server
# caused, or the program told, is named and passes.
check_sound() {
    "$python" "$here/check_loopback.py" "$work/rec.raw" --min-seconds $(( seconds - 2 )) \
        --server-log "$ZQ_SERVER_LOG" --program-log "$work/prog.log" "$@"
}

run_signal() {  # play the signal while recording both sides; report the program's CPU and memory
    local before after rss
    zq_pulse_record "$work/rec.raw"
    sleep 0.5
    before=$(awk '{ print $14 + $15 }' "/proc/$prog_pid/stat")
    local t0
    t0=$(now_ms)
    zq_pulse_play "$work/in.wav" &
    local play_pid=$!
    sleep 2
    rss=$(awk '/VmRSS/ { print $2 }' "/proc/$prog_pid/status")
    shot "$1"
    wait "$play_pid" || fail "playing the signal failed"
    after=$(awk '{ print $14 + $15 }' "/proc/$prog_pid/stat")
    local elapsed=$(( $(now_ms) - t0 ))
    sleep 0.6
    kill "$ZQ_REC_PID"; wait "$ZQ_REC_PID" 2>/dev/null
    local ticks
    ticks=$(getconf CLK_TCK)
    echo "resident memory ${rss} kB; CPU $(awk -v c=$(( after - before )) -v t="$ticks" -v e="$elapsed" \
        'BEGIN { printf "%.2f", 100 * c / t / (e / 1000) }') % of one core over $(( elapsed / 1000 )) s"
}

case "$case_name" in
direct)
    # The default bank is installed beside the program, where it looks for it.
    [ "$("$prefix/bin/zoriq1-filter" list "$prefix/lib/zoriq1/FirFilter.fib" | wc -l)" -eq 9 ] \
        || fail "the default bank is not installed beside the program"
    make_signal
    start_x || fail "no X server"
    zq_pulse_start || fail "no sound server"
    start_program
    shot_window "$main" main_window
    choose_output_file
    key "$main" alt+f
    fn=$(find_window "ZORIQ1: Direct mapping") || fail "no function window"
    key "$fn" alt+d
    find_window "ZORIQ1: Spectrum Display" >/dev/null || fail "no spectrum window"
    run_signal direct_mapping
    key "$fn" Escape
    quit_program
    check_sound --wav "$work/out.wav" || fail "the output is not the input"
    ;;
bank)
    make_signal
    # A copy of the installation with a bank of known filters beside the program.
    cp -r "$prefix" "$work/prefix"
    prefix="$work/prefix"
    make_bank "$prefix/lib/zoriq1/FirFilter.fib"
    start_x || fail "no X server"
    zq_pulse_start || fail "no sound server"
    start_program
    # The list has the focus at start: highlight the first bank filter (second entry).
    key "$main" Down
    choose_output_file
    key "$main" alt+f
    fn=$(find_window "ZORIQ1: FIR filter") || fail "no function window"
    sleep 0.3
    shot_window "$fn" function_window
    key "$fn" alt+i
    find_window "ZORIQ1: Spectrum Display Input" >/dev/null || fail "no input spectrum window"
    key "$fn" alt+o
    find_window "ZORIQ1: Spectrum Display Output" >/dev/null || fail "no output spectrum window"
    run_signal bank_filter
    key "$fn" Escape
    quit_program
    check_sound --wav "$work/out.wav" --bank "$prefix/lib/zoriq1/FirFilter.fib" --index 0 \
        || fail "the output is not the filtered input"
    ;;
diskfull)
    make_signal
    start_x || fail "no X server"
    zq_pulse_start || fail "no sound server"
    # The small file system lives in a mount namespace of the program's own, so it goes when the program
    # goes, whatever path this script ends on.
    mkdir "$work/full"
    unshare --mount --propagation private sh -c 'mount -t tmpfs -o size=64k tmpfs "$1" && exec "$2"' \
        sh "$work/full" "$prefix/bin/zoriq1" >"$work/prog.log" 2>&1 &
    prog_pid=$!
    main=$(find_window "ZORIQ1  Quorvel 1") || fail "no main window (the mount needs root)"
    choose_output_file "$work/full/out.wav"
    key "$main" alt+f
    fn=$(find_window "ZORIQ1: Direct mapping") || fail "no function window"
    zq_pulse_record "$work/rec.raw"
    sleep 0.5
    zq_pulse_play "$work/in.wav" &
    play_pid=$!
    # About 15 blocks fit: the notice comes some 3 s into the signal. It stays open for 5 s (27 blocks).
    box=$(find_window "zoriq1" 15) || fail "no disk-full notice"
    sleep 5
    shot disk_full_notice
    key "$box" Return
    while kill -0 "$play_pid" 2>/dev/null; do
        [ -z "$(xdotool search --all --pid "$prog_pid" --onlyvisible --name '^zoriq1$')" ] \
            || fail "another message after the disk-full notice"
        sleep 0.2
    done
    wait "$play_pid" || fail "playing the signal failed"
    sleep 0.6
    kill "$ZQ_REC_PID"; wait "$ZQ_REC_PID" 2>/dev/null
    cp "/proc/$prog_pid/root$work/full/out.wav" "$work/out.wav" || fail "no WAV file"
    key "$fn" Escape
    find_window "zoriq1" 2 >/dev/null && fail "a message at Stop Function"
    quit_program
    check_sound || fail "the sound did not stay exact"
    "$python" "$here/check_loopback.py" --wav-only "$work/out.wav" || fail "the WAV file is not valid"
    [ "$(stat -c %s "$work/out.wav")" -gt $(( 46 + 8 * 4096 )) ] || fail "the WAV file holds too little"
    ;;
serverkill)
    start_x || fail "no X server"
    zq_pulse_start || fail "no sound server"
    start_program
    key "$main" alt+f
    fn=$(find_window "ZORIQ1: Direct mapping") || fail "no function window"
    sleep 2
    killed_at=$(now_ms)
    zq_pulse_kill_server "${ZQ_KILL:-}"
    box=$(find_window "zoriq1") || fail "no error message after the sound server died"
    echo "error message shown $(( $(now_ms) - killed_at )) ms after the server was killed"
    shot_window "$box" server_killed
    [ -z "$(xdotool search --all --pid "$prog_pid" --onlyvisible --name '^ZORIQ1  Quorvel 1$')" ] \
        || fail "the main window came back before the message was answered"
    key "$box" Return
    find_window "ZORIQ1  Quorvel 1" >/dev/null || fail "the main window did not come back"
    [ -z "$(xdotool search --all --pid "$prog_pid" --onlyvisible --name '^ZORIQ1: ')" ] \
        || fail "a function or spectrum window is still open"
    quit_program
    ;;
noserver)
    start_x || fail "no X server"
    export PULSE_SERVER="unix:$work/no-such-socket" XDG_RUNTIME_DIR="$work"
    "$prefix/bin/zoriq1" >"$work/prog.log" 2>&1 &
    prog_pid=$!
    box=$(find_window "zoriq1" 15) || fail "no message from the device check"
    [ -z "$(xdotool search --all --pid "$prog_pid" --onlyvisible --name '^ZORIQ1  Quorvel 1$')" ] \
        || fail "the main window was shown"
    shot_window "$box" no_sound_server
    key "$box" Return
    wait_exit 10 && fail "the program ended with status 0 after the device check failed"
    # The message box says it all: nothing of the sound libraries' own on stderr.
    [ ! -s "$work/prog.log" ] || fail "the program printed more than its message box"
    echo "the device check's message was shown and the program ended"
    ;;
nodisplay)
    env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$prefix/bin/zoriq1" >"$work/prog.log" 2>&1
    status=$?
    [ "$status" -eq 1 ] || fail "exit status $status without a display"
    grep -q "no display to show the window on" "$work/prog.log" || fail "no word about the missing display"
    ;;
*)
    fail "unknown case $case_name"
    ;;
esac
echo "PASS: $case_name"
