#!/usr/bin/env bash
# The installed program on a desktop, through a private X server and a private sound server:
#   desktop_e2e.sh openbox PREFIX   under a window manager that frames the windows
#   desktop_e2e.sh nowm    PREFIX   with no window manager (no frames)
# Checks where the frames land (_NET_FRAME_EXTENTS around the client area), which window actions the
# windows ask for (_MOTIF_WM_HINTS) and the manager allows (_NET_WM_ALLOWED_ACTIONS), that the function
# window stays above its spectrum windows, and that its close box stops the function.
# PREFIX is an installation (bin/zoriq1). Optional: ZQ_SOUND_SERVER and ZQ_SCREENSHOT_DIR as in app_e2e.sh.
set -uo pipefail
mode=${1:?mode}
prefix=${2:?prefix}
source "$(dirname "$0")/x_env.sh" || exit 1
zq_need xprop xwininfo || exit 1
[ "$mode" != openbox ] || zq_need openbox || exit 1

gone() {  # gone WINDOW [SECONDS]: true once the window is no longer shown
    local deadline=$(( $(now_ms) + ${2:-5} * 1000 ))
    while [ "$(now_ms)" -lt "$deadline" ]; do
        xwininfo -id "$1" 2>/dev/null | grep -q 'IsViewable' || return 0
        sleep 0.05
    done
    return 1
}

# frame WINDOW: "X Y WIDTH HEIGHT" of the window's frame: the client area (xwininfo; xdotool's
# getwindowgeometry counts the offset inside the frame twice) plus the manager's frame extents.
frame() {
    local info x y w h l=0 r=0 t=0 b=0 extents
    info=$(xwininfo -id "$1") || return 1
    x=$(awk -F: '/Absolute upper-left X/ { print $2 + 0 }' <<<"$info")
    y=$(awk -F: '/Absolute upper-left Y/ { print $2 + 0 }' <<<"$info")
    w=$(awk -F: '/^ *Width/ { print $2 + 0 }' <<<"$info")
    h=$(awk -F: '/^ *Height/ { print $2 + 0 }' <<<"$info")
    extents=$(xprop -id "$1" _NET_FRAME_EXTENTS 2>/dev/null | sed -n 's/.*= //p' | tr -d ' ')
    [ -n "$extents" ] && IFS=, read -r l r t b <<<"$extents"
    echo "$(( x - l )) $(( y - t )) $(( w + l + r )) $(( h + t + b ))"
}

framed() {  # framed WINDOW: under a manager, wait until it has framed the window
    [ -n "$wm_pid" ] || return 0
    local deadline=$(( $(now_ms) + 5000 ))
    until xprop -id "$1" _NET_FRAME_EXTENTS 2>/dev/null | grep -q '='; do
        [ "$(now_ms)" -lt "$deadline" ] || return 1
        sleep 0.05
    done
    sleep 0.2  # the client learns its frame after the manager has set it
}

# actions WINDOW NAME WANTED UNWANTED: the window asks for (motif functions) and, under a manager, is
# allowed exactly the wanted ones of minimise, maximise and close, and never a resize.
actions() {
    local w=$1 name=$2 want=$3 functions allowed a bit
    functions=$(xprop -id "$w" _MOTIF_WM_HINTS | sed -n 's/.*= //p' | cut -d, -f2 | tr -d ' ')
    [ -n "$functions" ] || fail "$name: no _MOTIF_WM_HINTS"
    for a in minimize:8 maximize:16 close:32; do
        bit=$(( functions & ${a#*:} ))
        if [[ " $want " == *" ${a%%:*} "* ]]; then
            [ "$bit" -ne 0 ] || fail "$name does not ask for ${a%%:*} (motif functions $functions)"
        else
            [ "$bit" -eq 0 ] || fail "$name asks for ${a%%:*} (motif functions $functions)"
        fi
    done
    [ -n "$wm_pid" ] || return 0
    allowed=$(xprop -id "$w" _NET_WM_ALLOWED_ACTIONS | sed -n 's/.*= //p')
    echo "$name: motif functions $functions; allowed: ${allowed//_NET_WM_ACTION_/}"
    [[ "$allowed" != *MAXIMIZE* && "$allowed" != *RESIZE* ]] || fail "$name can be maximised or resized: $allowed"
}

# above WINDOW OTHER...: WINDOW is stacked above every OTHER window
above() {
    local order top=$1 w index top_index=-1 i=0
    shift
    # Bottom to top: the manager's list of its clients, or the root's children (xwininfo lists them top first).
    if [ -n "$wm_pid" ]; then
        order=$(xprop -root _NET_CLIENT_LIST_STACKING | sed -n 's/.*# //p' | tr -d ',')
    else
        order=$(xwininfo -root -children | awk '/^ +0x/ { print $1 }' | tac)
    fi
    for w in $order; do
        [ $(( w )) -eq "$top" ] && top_index=$i
        i=$(( i + 1 ))
    done
    for w in "$@"; do
        i=0
        for index in $order; do
            [ $(( index )) -eq "$w" ] && break
            i=$(( i + 1 ))
        done
        [ "$top_index" -gt "$i" ] || fail "window $top is not above window $w (stacking $order)"
    done
}

start_x || fail "no X server"
[ "$mode" = openbox ] && { start_wm || fail "openbox did not start"; }
zq_pulse_start || fail "no sound server"
start_program
framed "$main" || fail "the main window got no frame"
actions "$main" "main window" "minimize close"
read -r mx my mw mh < <(frame "$main")

# The first filter of the installed bank, with both spectrum windows.
key "$main" Down
key "$main" alt+f
fn=$(find_window "ZORIQ1: FIR filter") || fail "no function window"
framed "$fn" || fail "the function window got no frame"
actions "$fn" "function window" "close"
read -r fx fy fw fh < <(frame "$fn")
echo "main window frame $mx,$my ${mw}x$mh; function window frame $fx,$fy ${fw}x$fh"
dx=$(( (2 * fx + fw) - (2 * mx + mw) )); dy=$(( (2 * fy + fh) - (2 * my + mh) ))
[ "${dx#-}" -le 2 ] && [ "${dy#-}" -le 2 ] \
    || fail "the function window is not centred over the main window (centres differ by $dx/2, $dy/2)"

key "$fn" alt+i
input=$(find_window "ZORIQ1: Spectrum Display Input") || fail "no input spectrum window"
framed "$input" || fail "the input spectrum window got no frame"
key "$fn" alt+o
output=$(find_window "ZORIQ1: Spectrum Display Output") || fail "no output spectrum window"
framed "$output" || fail "the output spectrum window got no frame"
actions "$input" "spectrum window" ""
read -r ix iy iw ih < <(frame "$input")
read -r ox oy ow oh < <(frame "$output")
echo "input spectrum frame $ix,$iy ${iw}x$ih; output spectrum frame $ox,$oy ${ow}x$oh"
[ "$ix,$iy" = "0,0" ] || fail "the first spectrum window's frame is at $ix,$iy, not in the top left corner"
[ "$ox,$oy" = "0,$(( iy + ih ))" ] || fail "the second spectrum window's frame is at $ox,$oy, not at 0,$(( iy + ih ))"
above "$fn" "$input" "$output"
shot "desktop_${mode}_spectrum_windows"

# Closing the first window: the second moves up with its next frame; the first comes back below it.
key "$fn" alt+i
gone "$input" || fail "the input spectrum window did not close"
deadline=$(( $(now_ms) + 5000 ))
while read -r ox oy ow oh < <(frame "$output"); [ "$ox,$oy" != "0,0" ]; do
    [ "$(now_ms)" -lt "$deadline" ] || fail "the output spectrum window's frame stayed at $ox,$oy"
    sleep 0.1
done
key "$fn" alt+i
input=$(find_window "ZORIQ1: Spectrum Display Input") || fail "no input spectrum window the second time"
framed "$input" || fail "the input spectrum window got no frame"
read -r ix iy iw ih < <(frame "$input")
[ "$ix,$iy" = "0,$(( oy + oh ))" ] || fail "the reopened input window's frame is at $ix,$iy, not at 0,$(( oy + oh ))"
echo "after closing and reopening the input window: output frame at $ox,$oy, input frame at $ix,$iy"

if [ -n "$wm_pid" ]; then
    # The manager's close (Alt+F4): a spectrum window ignores it; the function window stops the function.
    key "$output" alt+F4
    sleep 0.5
    xwininfo -id "$output" 2>/dev/null | grep -q IsViewable || fail "the spectrum window closed"
    key "$fn" alt+F4
    gone "$fn" || fail "the function window's close did not stop the function"
else
    key "$fn" Escape
fi
gone "$output" || fail "the spectrum windows stayed after the function stopped"
quit_program
echo "PASS: desktop $mode"
