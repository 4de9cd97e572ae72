# Sourced by the tests that drive the installed program ($prefix/bin/zoriq1: set prefix first) through a
# private X server, on the private sound server ZQ_SOUND_SERVER picks (pulse, the default, or pipewire).
# Makes the work folder $work; at exit everything started here ends, and a failure keeps $work with a
# screenshot of the screen in it. Then:
#   start_x [WxH]             Xvfb on a display it picks itself (screen 1280x1024); sets DISPLAY
#   start_wm [NAME]           a window manager on it, openbox (the default) or metacity; key then
#                             activates windows through the manager
#   start_program             the installed program; main is its main window
#   find_window TITLE [S]     the program's visible window with exactly this title, waiting S seconds (10)
#   key WINDOW KEYS...        give WINDOW the focus, then press KEYS
#   shot NAME                 the screen (of a rootless Xwayland too), shot_window WINDOW NAME one
#                             window, as NAME.png in ZQ_SCREENSHOT_DIR (only if that is set)
#   wait_exit SECONDS         the program's exit status (fails if it has not ended by then)
#   quit_program              Escape in the main window, Return to the question: the program ends with 0
#   now_ms                    the time in milliseconds
# and fail (common.sh).

server=${ZQ_SOUND_SERVER:-pulse}
case $server in
    pulse | pipewire) ;;
    *) echo "FAIL: unknown ZQ_SOUND_SERVER $server (pulse or pipewire)"; return 1 ;;
esac
source "$(dirname "${BASH_SOURCE[0]}")/${server}_env.sh" || return
zq_need Xvfb xdpyinfo xdotool xwd convert || return
xvfb_pid=
wm_pid=
prog_pid=
zq_begin "$(basename "$0" .sh)"

stop_test() {
    [ -n "$keep" ] && shot failure
    zq_stop "$prog_pid"
    zq_pulse_stop
    # What the manager started first (a compositor's own X server and session bus): orphans outlive the test.
    [ -n "$wm_pid" ] && zq_end_descendants "$wm_pid"
    zq_stop "$wm_pid" "$xvfb_pid"
}

now_ms() { date +%s%3N; }

start_x() {
    # Xvfb picks a free display itself and writes its number once it accepts connections. Without
    # -noreset it resets when the readiness check leaves, and a program started that moment cannot connect.
    Xvfb -displayfd 3 -screen 0 "${1:-1280x1024}x24" -nolisten tcp -noreset -r 3>"$work/display" >"$work/xvfb.log" 2>&1 &
    xvfb_pid=$!
    local n
    for _ in $(seq 1 200); do
        if read -r n <"$work/display" 2>/dev/null && [ -n "$n" ]; then
            export DISPLAY=":$n" QT_QPA_PLATFORM=xcb
            xdpyinfo >/dev/null 2>&1 && return 0
            break
        fi
        kill -0 "$xvfb_pid" 2>/dev/null || break
        sleep 0.05
    done
    cat "$work/xvfb.log"
    return 1
}

start_wm() {
    local name=${1:-openbox}
    zq_need "$name" || return
    case $name in
        # Without compositing: Xvfb has no GL for the compositor, and the frame has borders on every side.
        metacity) metacity --no-composite >"$work/wm.log" 2>&1 & ;;
        *) "$name" >"$work/wm.log" 2>&1 & ;;
    esac
    wm_pid=$!
    local deadline=$(( $(now_ms) + 10000 ))
    until xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'; do
        kill -0 "$wm_pid" 2>/dev/null && [ "$(now_ms)" -lt "$deadline" ] || return 1
        sleep 0.05
    done
}

find_window() {
    local deadline=$(( $(now_ms) + ${2:-10} * 1000 )) id
    while [ "$(now_ms)" -lt "$deadline" ]; do
        id=$(xdotool search --all --pid "$prog_pid" --onlyvisible --name "^$1\$" 2>/dev/null | head -1)
        [ -n "$id" ] && { echo "$id"; return 0; }
        kill -0 "$prog_pid" 2>/dev/null || return 1
        sleep 0.05
    done
    return 1
}

# Focus first, every time: with no window manager nothing moves the focus; under one, only activating a
# window keeps the manager from taking the focus back.
key() {
    local w=$1; shift
    if [ -n "$wm_pid" ]; then
        xdotool windowactivate --sync "$w" || fail "could not activate window $w"
    else
        xdotool windowfocus --sync "$w" || fail "could not focus window $w"
    fi
    xdotool key "$@"
    sleep 0.3
}

shot() {
    [ -n "${ZQ_SCREENSHOT_DIR:-}" ] || [ "$1" = failure ] || return 0
    [ -n "${DISPLAY:-}" ] || return 0
    local dir=${ZQ_SCREENSHOT_DIR:-$work}
    xwd -root -display "$DISPLAY" 2>/dev/null | /usr/bin/convert xwd:- "$dir/$1.png" 2>/dev/null && return 0
    /usr/bin/python3 "$(dirname "${BASH_SOURCE[0]}")/x_windows_shot.py" 2>/dev/null \
        | /usr/bin/convert ppm:- "$dir/$1.png" 2>/dev/null || true
}

shot_window() {
    [ -n "${ZQ_SCREENSHOT_DIR:-}" ] || return 0
    xwd -id "$1" -display "${DISPLAY:-}" 2>/dev/null | /usr/bin/convert xwd:- "$ZQ_SCREENSHOT_DIR/$2.png" 2>/dev/null || true
}

wait_exit() {
    local deadline=$(( $(now_ms) + $1 * 1000 )) status
    while kill -0 "$prog_pid" 2>/dev/null; do
        [ "$(now_ms)" -lt "$deadline" ] || fail "the program did not end"
        sleep 0.05
    done
    wait "$prog_pid"; status=$?
    prog_pid=
    return $status
}

start_program() {
    local t0
    t0=$(now_ms)
    "$prefix/bin/zoriq1" >"$work/prog.log" 2>&1 &
    prog_pid=$!
    main=$(find_window "ZORIQ1  Quorvel 1") || fail "no main window"
    echo "main window shown after $(( $(now_ms) - t0 )) ms"
}

quit_program() {
    main=$(find_window "ZORIQ1  Quorvel 1") || fail "the main window did not come back"
    key "$main" Escape
    local box
    box=$(find_window "zoriq1") || fail "no quit question"
    key "$box" Return
    wait_exit 10 || fail "the program ended with an error status"
}
