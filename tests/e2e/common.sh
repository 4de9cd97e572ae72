# Sourced by the end-to-end scripts.
#   zq_need CMD...           returns 1, after naming the Debian package of each missing command, so that a
#                            test without its tools fails at once instead of timing out. A python3-MODULE
#                            entry checks that python3 can import MODULE. scripts/deps.sh installs them all,
#                            but for a package the machine's own conflict with (.deps-left-out): when only
#                            such packages are missing it returns 77, which ctest counts as skipped.
#   zq_begin NAME            makes the work folder $work and the traps that end the test: at exit the script's
#                            own stop_test runs, then zq_end_descendants; $work is removed unless fail kept it
#   fail MESSAGE             says why, keeps $work, shows the program's output ($work/prog.log, and the end of
#                            $work/prog.err where it writes its stderr apart), exits 1
#   zq_stop PID...           ends these processes (TERM, then KILL after 5 s; empty PIDs are skipped)
#   zq_end_descendants PID   ends every process below PID: the EXIT trap calls it last
#                            so that nothing a test started outlives it, whatever path it took.
# On either sound server (both speak the PulseAudio protocol), for pulse_env.sh and pipewire_env.sh:
#   zq_pulse_record OUT.raw   record both sides on one clock: 3 channels s16le at 11025 Hz, 1 = what is
#                             played into the capture side, 2 = the program's output, 3 = the recording's
#                             own clock, a ramp 1..32000 played throughout (a jump in it is a stretch the
#                             recorder dropped) (sets ZQ_REC_PID)
#   zq_pulse_play FILE.wav    play FILE into the capture side (blocks until played)
#   ZQ_SERVER_LOG             the server's log, which names the underruns of every stream (check_loopback.py)
# The bench's own streams and clients are named zq-*; whatever else the server serves is the program.

zq_need() {
    local cmd pkg missing=0 skipped=0 why
    local left_out=$(dirname "${BASH_SOURCE[0]}")/../../.deps-left-out
    for cmd in "$@"; do
        case $cmd in
            python3-*) /usr/bin/python3 -c "import ${cmd#python3-}" >/dev/null 2>&1 && continue ;;
            *) command -v "$cmd" >/dev/null 2>&1 && continue ;;
        esac
        case $cmd in
            python3-Xlib) pkg=python3-xlib ;;
            python3-*) pkg=$cmd ;;
            Xvfb) pkg=xvfb ;;
            xdpyinfo | xprop | xwininfo) pkg=x11-utils ;;
            xwd) pkg=x11-apps ;;
            soxi) pkg=sox ;;
            convert) pkg=imagemagick ;;
            jackd) pkg=jackd2 ;;
            jack_lsp) pkg=$(zq_jack_tools_package) ;;
            pactl | paplay | parecord | pacat) pkg=pulseaudio-utils ;;
            pipewire | pw-link | pw-metadata | pw-cli) pkg=pipewire-bin ;;
            kwin_wayland) pkg=kwin-wayland ;;
            dbus-run-session) pkg=dbus-daemon ;;
            *) pkg=$cmd ;;
        esac
        why=$(awk -F '\t' -v p="$pkg" '$1 == p { print $2 }' "$left_out" 2>/dev/null)
        if [ -n "$why" ]; then
            echo "SKIP: '$cmd' is missing: scripts/deps.sh left out $pkg, which would remove $why here" >&2
            skipped=1
            continue
        fi
        echo "FAIL: '$cmd' is missing: install the Debian package $pkg (./scripts/deps.sh installs them all)" >&2
        missing=1
    done
    [ "$missing" -eq 0 ] || return 1
    [ "$skipped" -eq 0 ] || return 77
}

# The JACK example clients (jack_lsp) came with jackd2 up to Debian 12; later releases have them apart.
zq_jack_tools_package() {
    local version
    version=$(. /etc/os-release 2>/dev/null && echo "${VERSION_ID:-}")
    if [ -n "$version" ] && [ "${version%%.*}" -le 12 ] 2>/dev/null; then echo jackd2; else echo jack-example-tools; fi
}

zq_begin() {
    work=$(mktemp -d "/tmp/zq-$1.XXXXXX")
    keep=
    trap 'stop_test; zq_end_descendants $$; if [ -n "$keep" ]; then echo "files kept in $work"; else rm -rf "$work"; fi' EXIT
    trap 'exit 130' INT TERM
}

fail() {
    echo "FAIL: $*"
    keep=1
    [ -f "$work/prog.log" ] && { echo "--- program output"; cat "$work/prog.log"; }
    [ -s "$work/prog.err" ] && { echo "--- its stderr"; tail -20 "$work/prog.err"; }
    exit 1
}

zq_stop() {
    local pids=$* pid alive  # split unquoted below, which drops empty PIDs
    for pid in $pids; do kill "$pid" 2>/dev/null || true; done
    for _ in $(seq 1 50); do
        alive=
        for pid in $pids; do
            if kill -0 "$pid" 2>/dev/null; then alive=1; fi
        done
        [ -n "$alive" ] || break
        sleep 0.1
    done
    for pid in $pids; do
        kill -9 "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
}

# The processes below PID, deepest first (read from /proc: procps is not on a minimal system).
zq_descendants() {
    local kid
    for kid in $(cat /proc/"$1"/task/*/children 2>/dev/null); do
        zq_descendants "$kid"
        echo "$kid"
    done
}

zq_end_descendants() {
    # shellcheck disable=SC2046
    zq_stop $(zq_descendants "$1")
}

zq_pulse_record() {
    /usr/bin/python3 -c 'import array, sys
ramp = array.array("h", range(1, 32001)).tobytes()
try:
    while True:
        sys.stdout.buffer.write(ramp)
except BrokenPipeError:
    pass' | pacat --playback --device=clk --client-name=zq-clock --stream-name=zq-clock --rate=11025 \
        --channels=1 --format=s16le --latency-msec=50 --raw >/dev/null 2>&1 &
    ZQ_PULSE_PIDS+=($!)
    parecord --device=both.monitor --client-name=zq-record --stream-name=zq-record --rate=11025 --channels=3 \
        --format=s16le --latency-msec=10 --raw "$1" >/dev/null 2>&1 &
    ZQ_REC_PID=$!
    ZQ_PULSE_PIDS+=($ZQ_REC_PID)
}

zq_pulse_play() {
    # In the background, so that a signal's trap runs at once instead of after the whole signal.
    timeout 120 paplay --device=src --client-name=zq-input --stream-name=zq-input "$1" &
    ZQ_PULSE_PIDS+=($!)
    wait $!
}

# Idle sinks are suspended or only wake now and then: keep both monitors busy so that the first blocks of a
# run do not stall.
zq_pulse_keep_awake() {
    local dev
    for dev in src.monitor dst.monitor; do
        parecord --device="$dev" --client-name=zq-awake --stream-name=zq-awake --latency-msec=10 --rate=11025 \
            --channels=1 --format=s16le --raw /dev/null >/dev/null 2>&1 &
        ZQ_PULSE_PIDS+=($!)
    done
}
