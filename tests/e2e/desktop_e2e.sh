#!/usr/bin/env bash
# The installed program on the desktops its users have, each started privately and headless, on a private
# sound server:
#   desktop_e2e.sh nowm      PREFIX  an X server with no window manager (no frames)
#   desktop_e2e.sh openbox   PREFIX  openbox
#   desktop_e2e.sh openbox2x PREFIX  openbox, the program at twice the scale (QT_SCALE_FACTOR=2) on a
#                                    2560x1600 screen: positions may be one pixel off by rounding
#   desktop_e2e.sh metacity  PREFIX  metacity with a 30-pixel panel along the top of the screen
#   desktop_e2e.sh mutter    PREFIX  GNOME's mutter, or KDE's KWin, as a Wayland compositor with Xwayland; the
#   desktop_e2e.sh kwin      PREFIX  program is started as on those desktops (WAYLAND_DISPLAY, DISPLAY and
#                                    XDG_SESSION_TYPE=wayland set, no QT_QPA_PLATFORM) and must take X11
# Checks where the frames land (_NET_FRAME_EXTENTS around the client area) inside the work area
# (_NET_WORKAREA), which window actions the windows ask for (_MOTIF_WM_HINTS) and the manager allows
# (_NET_WM_ALLOWED_ACTIONS), that the main window is a normal top-level window that comes back exactly where
# it was after each of three functions, that a new spectrum window leaves the keyboard focus with the
# function window, which stays above its spectrum windows, and that its close box stops the function; that the
# filter response window opens from the function window's context menu and by Alt+R beside the spectrum
# windows, leaves the keys with the function window and closes with the function.
# PREFIX is an installation (bin/zoriq1). Optional: ZQ_SOUND_SERVER and ZQ_SCREENSHOT_DIR as in app_e2e.sh.
set -uo pipefail
mode=${1:?mode}
prefix=${2:?prefix}
here=$(cd "$(dirname "$0")" && pwd)
source "$here/x_env.sh" || exit
zq_need xprop xwininfo python3-Xlib || exit
tol=0  # pixels a position may be off

# The sound server first: it makes the private XDG_RUNTIME_DIR a compositor puts its socket in.
zq_pulse_start || fail "no sound server"

# start_compositor NAME: mutter or KWin, headless, with Xwayland; DISPLAY, XAUTHORITY (mutter), WAYLAND_DISPLAY
# and the session bus as that desktop gives them to its programs.
start_compositor() {
    local env_file=$work/session.env deadline
    case $1 in
        mutter)
            zq_need mutter dbus-run-session || return
            dbus-run-session -- mutter --wayland --headless --virtual-monitor 1280x1024 \
                -- sh -c 'env > "$0.part" && mv "$0.part" "$0"; exec sleep 100000' "$env_file" \
                >"$work/wm.log" 2>&1 &
            ;;
        kwin)
            zq_need kwin_wayland dbus-run-session || return
            # A plain copy: the installed binary carries a file capability that containers refuse.
            cp "$(command -v kwin_wayland)" "$work/kwin_wayland" || return 1
            dbus-run-session -- "$work/kwin_wayland" --virtual --xwayland --socket "zq-kwin-$$" --width 1280 \
                --height 1024 --no-lockscreen --no-global-shortcuts \
                "sh -c 'env > $env_file.part && mv $env_file.part $env_file'" >"$work/wm.log" 2>&1 &
            ;;
    esac
    wm_pid=$!
    deadline=$(( $(now_ms) + 30000 ))
    until [ -s "$env_file" ]; do
        kill -0 "$wm_pid" 2>/dev/null && [ "$(now_ms)" -lt "$deadline" ] || { tail -20 "$work/wm.log"; return 1; }
        sleep 0.1
    done
    local var
    for var in DISPLAY XAUTHORITY WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS; do
        unset "$var"
        grep -q "^$var=." "$env_file" && export "$(grep "^$var=" "$env_file")"
    done
    export XDG_SESSION_TYPE=wayland
    unset QT_QPA_PLATFORM
    [ -n "${DISPLAY:-}" ] && [ -n "${WAYLAND_DISPLAY:-}" ] || return 1
    until xdpyinfo >/dev/null 2>&1; do
        [ "$(now_ms)" -lt "$deadline" ] || return 1
        sleep 0.1
    done
}

# A panel along the top of the screen: a dock window with a strut, as desktop panels are.
start_panel() {
    /usr/bin/python3 - "$1" <<'PY' 2>/dev/null &
import sys
from Xlib import X, Xatom, display
d = display.Display()
s = d.screen()
W, H = s.width_in_pixels, int(sys.argv[1])
w = s.root.create_window(0, 0, W, H, 0, s.root_depth, X.InputOutput, X.CopyFromParent,
                         background_pixel=s.white_pixel)
atom = d.intern_atom
w.change_property(atom('_NET_WM_WINDOW_TYPE'), Xatom.ATOM, 32, [atom('_NET_WM_WINDOW_TYPE_DOCK')])
w.change_property(atom('_NET_WM_STRUT'), Xatom.CARDINAL, 32, [0, 0, H, 0])
w.change_property(atom('_NET_WM_STRUT_PARTIAL'), Xatom.CARDINAL, 32, [0, 0, H, 0, 0, 0, 0, 0, 0, W - 1, 0, 0])
w.map()
d.flush()
while True:
    d.next_event()
PY
    local deadline=$(( $(now_ms) + 5000 ))
    until [ "$(work_area | cut -d' ' -f2)" = "$1" ]; do
        [ "$(now_ms)" -lt "$deadline" ] || return 1
        sleep 0.05
    done
}

# work_area: "X Y WIDTH HEIGHT" the windows may take: the manager's _NET_WORKAREA, else the whole screen.
work_area() {
    local area
    area=$(xprop -root _NET_WORKAREA 2>/dev/null | sed -n 's/.*= //p' | cut -d, -f1-4 | tr -d ,)
    [ -n "$area" ] || area="0 0 $(xwininfo -root | awk -F: '/^ *Width/ { w = $2 + 0 } /^ *Height/ { h = $2 + 0 } END { print w, h }')"
    echo "$area"
}

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

near() {  # near "X Y" "X' Y'": the two points differ by at most tol pixels in each direction
    local a b dx dy
    read -r -a a <<<"$1"
    read -r -a b <<<"$2"
    dx=$(( a[0] - b[0] )); dy=$(( a[1] - b[1] ))
    [ "${dx#-}" -le "$tol" ] && [ "${dy#-}" -le "$tol" ]
}

inside_work_area() {  # inside_work_area NAME X Y WIDTH HEIGHT
    local ax ay aw ah
    read -r ax ay aw ah < <(work_area)
    [ "$2" -ge "$ax" ] && [ "$3" -ge "$ay" ] && [ $(( $2 + $4 )) -le $(( ax + aw )) ] &&
        [ $(( $3 + $5 )) -le $(( ay + ah )) ] || fail "the $1's frame $2,$3 ${4}x$5 leaves the work area $ax,$ay ${aw}x$ah"
}

# actions WINDOW NAME WANTED: the window asks for (motif functions) exactly the wanted ones of minimise,
# maximise and close, and under a manager is allowed the wanted ones and never a maximise or a resize.
actions() {
    local w=$1 name=$2 want=$3 functions allowed= a action bit
    functions=$(xprop -id "$w" _MOTIF_WM_HINTS | sed -n 's/.*= //p' | cut -d, -f2 | tr -d ' ')
    [ -n "$functions" ] || fail "$name: no _MOTIF_WM_HINTS"
    [ -n "$wm_pid" ] && allowed=$(xprop -id "$w" _NET_WM_ALLOWED_ACTIONS | sed -n 's/.*= //p')
    for a in minimize:8 maximize:16 close:32; do
        action=${a%%:*}
        bit=$(( functions & ${a#*:} ))
        if [[ " $want " == *" $action "* ]]; then
            [ "$bit" -ne 0 ] || fail "$name does not ask for $action (motif functions $functions)"
            [ -z "$wm_pid" ] || [[ "$allowed" == *"_NET_WM_ACTION_${action^^}"* ]] ||
                fail "$name: the manager does not allow $action (allowed: $allowed)"
        else
            [ "$bit" -eq 0 ] || fail "$name asks for $action (motif functions $functions)"
        fi
    done
    [ -n "$wm_pid" ] || return 0
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

wm_close() {  # wm_close WINDOW: ask the manager to close the window, as its close button does
    /usr/bin/python3 - "$1" <<'PY'
import sys
from Xlib import X, display
from Xlib.protocol import event
d = display.Display()
root = d.screen().root
request = event.ClientMessage(window=d.create_resource_object('window', int(sys.argv[1])), client_type=d.intern_atom(
    '_NET_CLOSE_WINDOW'), data=(32, [X.CurrentTime, 2, 0, 0, 0]))
root.send_event(request, event_mask=X.SubstructureRedirectMask | X.SubstructureNotifyMask)
d.sync()
PY
}

# context_menu WINDOW X Y: the window's context menu, opened by a right click at X,Y inside it
context_menu() {
    if [ -n "$wm_pid" ]; then xdotool windowactivate --sync "$1"; else xdotool windowfocus --sync "$1"; fi ||
        fail "could not activate window $1"
    xdotool mousemove --window "$1" "$2" "$3" click 3
    find_window "" 5 >/dev/null || fail "no context menu"  # a menu is a window without a title
}

# response_shown HOW: the response window HOW opened stands right of the spectrum windows' column at the top
# of the work area, below the function window, and left the keyboard focus with the function window
response_shown() {
    resp=$(find_window "ZORIQ1: Filter Response") || fail "the $1 opened no response window"
    framed "$resp" || fail "the response window got no frame"
    [ "$(xdotool getwindowfocus)" = "$fn" ] || fail "the response window opened by the $1 took the keyboard focus"
    local rx ry rw rh
    read -r rx ry rw rh < <(frame "$resp")
    echo "response window by the $1: frame $rx,$ry ${rw}x$rh"
    # Scaled, its left edge comes from the spectrum frame's width and its own left margin, each rounded to
    # whole pixels of the program's: twice the rounding of one position.
    local tol=$(( 2 * tol ))
    near "$rx $ry" "$(( ox + ow )) $ay" ||
        fail "the response window's frame is at $rx,$ry, not right of the spectrum windows at $(( ox + ow )),$ay"
    inside_work_area "response window" "$rx" "$ry" "$rw" "$rh"
    above "$fn" "$resp"
}

# main_in_place WHEN: the main window's frame is where it was at the start
main_in_place() {
    main=$(find_window "ZORIQ1  Quorvel 1") || fail "the main window did not come back $1"
    framed "$main" || fail "the main window got no frame $1"
    sleep 0.3  # a manager that moves a window does it right after framing it
    local now
    now=$(frame "$main")
    near "$now" "$main_frame" || fail "the main window's frame moved from ${main_frame% * *} to ${now% * *} $1"
}

case $mode in
    nowm) start_x || fail "no X server" ;;
    openbox | metacity) { start_x && start_wm "$mode"; } || fail "$mode did not start" ;;
    openbox2x)
        { start_x 2560x1600 && start_wm openbox; } || fail "openbox did not start"
        export QT_SCALE_FACTOR=2
        tol=1
        ;;
    mutter | kwin) start_compositor "$mode" || fail "$mode did not start" ;;
    *) fail "unknown mode $mode" ;;
esac
if [ "$mode" = metacity ]; then start_panel 30 || fail "the panel took no room from the work area"; fi
echo "work area: $(work_area)"

# On a Wayland desktop the program must take X11: only then does xdotool find its window.
start_program
framed "$main" || fail "the main window got no frame"
type=$(xprop -id "$main" _NET_WM_WINDOW_TYPE | sed -n 's/.*= //p')
[ "$type" = _NET_WM_WINDOW_TYPE_NORMAL ] && ! xprop -id "$main" WM_TRANSIENT_FOR | grep -q 'window id' ||
    fail "the main window is not a normal top-level window: type $type, $(xprop -id "$main" WM_TRANSIENT_FOR)"
actions "$main" "main window" "minimize close"
main_frame=$(frame "$main")
inside_work_area "main window" $main_frame
read -r mx my mw mh <<<"$main_frame"

# Three functions. The first is the first filter of the installed bank, with both spectrum windows.
key "$main" Down
key "$main" alt+f
fn=$(find_window "ZORIQ1: FIR filter") || fail "no function window"
framed "$fn" || fail "the function window got no frame"
actions "$fn" "function window" "close"
read -r fx fy fw fh < <(frame "$fn")
echo "main window frame $mx,$my ${mw}x$mh; function window frame $fx,$fy ${fw}x$fh"
inside_work_area "function window" "$fx" "$fy" "$fw" "$fh"
dx=$(( (2 * fx + fw) - (2 * mx + mw) )); dy=$(( (2 * fy + fh) - (2 * my + mh) ))
[ "${dx#-}" -le $(( 2 + 2 * tol )) ] && [ "${dy#-}" -le $(( 2 + 2 * tol )) ] \
    || fail "the function window is not centred over the main window (centres differ by $dx/2, $dy/2)"

# A new spectrum window leaves the keys with the function window: Alt+O right after Alt+I reaches it.
key "$fn" alt+i
input=$(find_window "ZORIQ1: Spectrum Display Input") || fail "no input spectrum window"
framed "$input" || fail "the input spectrum window got no frame"
[ "$(xdotool getwindowfocus)" = "$fn" ] || fail "the input spectrum window took the keyboard focus"
xdotool key alt+o
output=$(find_window "ZORIQ1: Spectrum Display Output") || fail "Alt+O after Alt+I opened no output spectrum window"
framed "$output" || fail "the output spectrum window got no frame"
actions "$input" "spectrum window" ""
read -r ax ay aw ah < <(work_area)
read -r ix iy iw ih < <(frame "$input")
read -r ox oy ow oh < <(frame "$output")
echo "input spectrum frame $ix,$iy ${iw}x$ih; output spectrum frame $ox,$oy ${ow}x$oh"
near "$ix $iy" "$ax $ay" || fail "the first spectrum window's frame is at $ix,$iy, not in the work area's top left corner $ax,$ay"
near "$ox $oy" "$ax $(( iy + ih ))" || fail "the second spectrum window's frame is at $ox,$oy, not at $ax,$(( iy + ih ))"
above "$fn" "$input" "$output"
shot "desktop_${mode}_spectrum_windows"

# Closing the first window: the second moves up with its next frame; the first comes back below it.
key "$fn" alt+i
gone "$input" || fail "the input spectrum window did not close"
deadline=$(( $(now_ms) + 5000 ))
while read -r ox oy ow oh < <(frame "$output"); ! near "$ox $oy" "$ax $ay"; do
    [ "$(now_ms)" -lt "$deadline" ] || fail "the output spectrum window's frame stayed at $ox,$oy"
    sleep 0.1
done
key "$fn" alt+i
input=$(find_window "ZORIQ1: Spectrum Display Input") || fail "no input spectrum window the second time"
framed "$input" || fail "the input spectrum window got no frame"
read -r ix iy iw ih < <(frame "$input")
near "$ix $iy" "$ax $(( oy + oh ))" || fail "the reopened input window's frame is at $ix,$iy, not at $ax,$(( oy + oh ))"
echo "after closing and reopening the input window: output frame at $ox,$oy, input frame at $ix,$iy"

# The response window: from the function window's context menu (a right click where no control is: below the
# Input box, left of Stop Function, 10,64 of the window's 247x74 dialog units; then the entry's mnemonic),
# closed and opened again by Alt+R.
read -r cw ch < <(xwininfo -id "$fn" | awk -F: '/^ *Width/ { w = $2 + 0 } /^ *Height/ { h = $2 + 0 } END { print w, h }')
context_menu "$fn" $(( cw * 10 / 247 )) $(( ch * 64 / 74 ))
xdotool key r
response_shown "context menu"
actions "$resp" "response window" "close"
key "$fn" alt+r
gone "$resp" || fail "Alt+R did not close the response window"
key "$fn" alt+r
response_shown "key Alt+R"
shot "desktop_${mode}_filter_response"

if [ -n "$wm_pid" ]; then
    # The manager's close: a spectrum window ignores it; the function window stops the function.
    wm_close "$output"
    sleep 0.5
    xwininfo -id "$output" 2>/dev/null | grep -q IsViewable || fail "the spectrum window closed"
    wm_close "$fn"
    gone "$fn" || fail "the function window's close did not stop the function"
else
    key "$fn" Escape
fi
gone "$output" || fail "the spectrum windows stayed after the function stopped"
gone "$resp" || fail "the response window stayed after the function stopped"
main_in_place "after the first function"
for n in second third; do
    key "$main" Home
    key "$main" alt+f
    fn=$(find_window "ZORIQ1: Direct mapping") || fail "no function window for the $n function"
    key "$fn" Escape
    gone "$fn" || fail "Escape did not stop the $n function"
    main_in_place "after the $n function"
done
echo "main window frame after three functions: $(frame "$main")"
quit_program
echo "PASS: desktop $mode"
