#!/usr/bin/env bash
# The CPU the filter response window costs, in one run of the installed program on a private X server and
# sound server: a 1000-tap band-pass bank filter (300-3400 Hz, Blackman) on white noise, SECONDS each with
#   1 no window open            2 the response window open
#   3 both spectrum windows     4 both spectrum windows and the response window
# and the program's CPU (/proc/PID/stat, all its threads) in each, as a share of one core, with the X
# server's beside it (it draws what the program sends). With ZQ_SCREENSHOT_DIR set, the response window at
# the end of the second stretch is kept there as filter_response.png (scripts/screenshots.sh).
#   bench/ui/response_window_cpu.sh PREFIX [SECONDS]    (PREFIX: an installation, as cmake --install makes)
set -uo pipefail
prefix=$(cd "${1:?usage: $0 PREFIX [SECONDS]}" && pwd)
seconds=${2:-10}
root=$(cd "$(dirname "$0")/../.." && pwd)
source "$root/tests/e2e/x_env.sh" || exit 2
zq_need python3-numpy || exit 2

# A copy of the installation with a bank of that one filter beside the program.
cp -r "$prefix" "$work/prefix"
prefix=$work/prefix
"$prefix/bin/zoriq1-filter" design bandpass --low 300 --high 3400 --taps 1000 --window blackman \
    -o "$work/band.fir" >/dev/null || fail "could not design the filter"
"$prefix/bin/zoriq1-filter" bank -o "$prefix/lib/zoriq1/FirFilter.fib" "$work/band.fir" >/dev/null ||
    fail "could not build the bank"
# White noise, 3000 LSB rms (it does not clip), long enough for the four stretches and the switches between.
/usr/bin/python3 - "$work/noise.wav" $(( 4 * seconds + 20 )) <<'PY'
import sys, wave, numpy as np
rate = 11025
data = np.random.default_rng(26).normal(0, 3000, int(sys.argv[2]) * rate)
with wave.open(sys.argv[1], 'wb') as w:
    w.setnchannels(1); w.setsampwidth(2); w.setframerate(rate)
    w.writeframes(np.clip(data, -32768, 32767).astype('<i2').tobytes())
PY

start_x || fail "no X server"
zq_pulse_start || fail "no sound server"
start_program
key "$main" Down
key "$main" alt+f
fn=$(find_window "ZORIQ1: FIR filter") || fail "no function window"
zq_pulse_play "$work/noise.wav" 2>/dev/null &  # it is cut off at the end
play_pid=$!

ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
hz=$(getconf CLK_TCK)
declare -A cpu
stretch() {  # stretch N WHAT: settle, then the CPU of the program and the X server over SECONDS
    sleep 1.5
    kill -0 "$play_pid" 2>/dev/null || fail "the noise ended before stretch $1"
    local p0 x0 t0 p1 x1 t1
    p0=$(ticks "$prog_pid"); x0=$(ticks "$xvfb_pid"); t0=$(now_ms)
    sleep "$seconds"
    p1=$(ticks "$prog_pid"); x1=$(ticks "$xvfb_pid"); t1=$(now_ms)
    cpu[$1]=$(awk -v c=$(( p1 - p0 )) -v h="$hz" -v e=$(( t1 - t0 )) 'BEGIN { printf "%.2f", 100 * c / h / (e / 1000) }')
    printf '%d %-48s program %6.2f %% of one core, X server %6.2f %%\n' "$1" "$2" "${cpu[$1]}" \
        "$(awk -v c=$(( x1 - x0 )) -v h="$hz" -v e=$(( t1 - t0 )) 'BEGIN { printf "%.2f", 100 * c / h / (e / 1000) }')"
}
window_open() { find_window "$1" >/dev/null || fail "no window $1"; }

stretch 1 "no window open"
key "$fn" alt+r
resp=$(find_window "ZORIQ1: Filter Response") || fail "no response window"
stretch 2 "the response window"
shot_window "$resp" filter_response
key "$fn" alt+r
gone=$(now_ms)
while xwininfo -id "$resp" 2>/dev/null | grep -q IsViewable; do
    [ $(( $(now_ms) - gone )) -lt 5000 ] || fail "the response window did not close"
    sleep 0.1
done
key "$fn" alt+i
window_open "ZORIQ1: Spectrum Display Input"
key "$fn" alt+o
window_open "ZORIQ1: Spectrum Display Output"
stretch 3 "both spectrum windows"
key "$fn" alt+r
window_open "ZORIQ1: Filter Response"
stretch 4 "both spectrum windows and the response window"
[ -z "$(xdotool search --all --pid "$prog_pid" --onlyvisible --name '^zoriq1$')" ] ||
    fail "the program showed a message during the run"
echo "response window open against closed: $(awk -v a="${cpu[1]}" -v b="${cpu[2]}" 'BEGIN { printf "%.2f", b / a }') times" \
    "alone, $(awk -v a="${cpu[3]}" -v b="${cpu[4]}" 'BEGIN { printf "%.2f", b / a }') times beside both spectrum windows"
key "$fn" Escape
quit_program
