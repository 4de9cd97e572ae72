#!/usr/bin/env bash
# The CPU the filter response window costs, in one run of the installed program on a private X server and
# sound server: a 1000-tap band-pass bank filter (300-3400 Hz, Blackman) on white noise, the window closed
# and open in turn, first alone, then beside both spectrum windows, ROUNDS times each way for SECONDS each
# (taking turns, so that the load of a shared machine falls on both alike). It prints the program's CPU
# (/proc/PID/stat, all its threads) in each case as a share of one core, with the X server's beside it (it
# draws what the program sends), and the ratios. With ZQ_SCREENSHOT_DIR set, the response window at the end
# of its last stretch alone is kept there as filter_response.png (scripts/screenshots.sh).
#   bench/ui/response_window_cpu.sh PREFIX [SECONDS [ROUNDS]]   (PREFIX: an installation, as cmake --install makes)
set -uo pipefail
prefix=$(cd "${1:?usage: $0 PREFIX [SECONDS [ROUNDS]]}" && pwd)
seconds=${2:-10}
rounds=${3:-3}
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
# White noise, 3000 LSB rms (it does not clip), long enough for every stretch and the switches between.
/usr/bin/python3 - "$work/noise.wav" $(( 4 * rounds * (seconds + 3) + 10 )) <<'PY'
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
# As zq_pulse_play plays, without its two-minute limit; cut off at the end.
paplay --device=src --client-name=zq-input --stream-name=zq-input "$work/noise.wav" 2>/dev/null &
play_pid=$!

ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
hz=$(getconf CLK_TCK)
declare -A prog_ticks xserver_ticks ms
stretch() {  # stretch CASE: settle, then add the CPU of the program and the X server over SECONDS to CASE's
    sleep 1.5
    kill -0 "$play_pid" 2>/dev/null || fail "the noise ended before the stretches did"
    local p0 x0 t0
    p0=$(ticks "$prog_pid"); x0=$(ticks "$xvfb_pid"); t0=$(now_ms)
    sleep "$seconds"
    prog_ticks[$1]=$(( ${prog_ticks[$1]:-0} + $(ticks "$prog_pid") - p0 ))
    xserver_ticks[$1]=$(( ${xserver_ticks[$1]:-0} + $(ticks "$xvfb_pid") - x0 ))
    ms[$1]=$(( ${ms[$1]:-0} + $(now_ms) - t0 ))
}
share() { awk -v c="$1" -v h="$hz" -v e="$2" 'BEGIN { printf "%.2f", 100 * c / h / (e / 1000) }'; }
report() {  # report CASE WHAT
    printf '%-48s program %6.2f %% of one core, X server %5.2f %% (%d s)\n' "$2" \
        "$(share "${prog_ticks[$1]}" "${ms[$1]}")" "$(share "${xserver_ticks[$1]}" "${ms[$1]}")" $(( ${ms[$1]} / 1000 ))
}
ratio() { awk -v a="${prog_ticks[$1]}" -v ea="${ms[$1]}" -v b="${prog_ticks[$2]}" -v eb="${ms[$2]}" \
    'BEGIN { printf "%.2f", (b / eb) / (a / ea) }'; }
window_open() { find_window "$1" >/dev/null || fail "no window $1"; }
response_closed() {
    key "$fn" alt+r
    local t0
    t0=$(now_ms)
    while xwininfo -id "$resp" 2>/dev/null | grep -q IsViewable; do
        [ $(( $(now_ms) - t0 )) -lt 5000 ] || fail "the response window did not close"
        sleep 0.1
    done
}

for spectra in none both; do
    if [ "$spectra" = both ]; then
        key "$fn" alt+i
        window_open "ZORIQ1: Spectrum Display Input"
        key "$fn" alt+o
        window_open "ZORIQ1: Spectrum Display Output"
    fi
    for round in $(seq 1 "$rounds"); do
        stretch "$spectra closed"
        key "$fn" alt+r
        resp=$(find_window "ZORIQ1: Filter Response") || fail "no response window"
        stretch "$spectra open"
        [ "$spectra.$round" = "none.$rounds" ] && shot_window "$resp" filter_response
        response_closed
    done
done
[ -z "$(xdotool search --all --pid "$prog_pid" --onlyvisible --name '^zoriq1$')" ] ||
    fail "the program showed a message during the run"
report "none closed" "no window open"
report "none open" "the response window"
report "both closed" "both spectrum windows"
report "both open" "both spectrum windows and the response window"
echo "response window open against closed: $(ratio "none closed" "none open") times alone," \
    "$(ratio "both closed" "both open") times beside both spectrum windows"
key "$fn" Escape
quit_program
