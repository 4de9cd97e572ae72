# Sourced by the end-to-end scripts.
#   zq_need CMD...           returns 1, after naming the Debian package of each missing command, so that a
#                            test without its tools fails at once instead of timing out. A python3-MODULE
#                            entry checks that python3 can import MODULE. scripts/deps.sh installs them all.
#   zq_end_descendants PID   ends every process below PID (TERM, then KILL): a test's EXIT trap calls it last
#                            so that nothing it started outlives it, whatever path it took.

zq_need() {
    local cmd pkg missing=0
    for cmd in "$@"; do
        case $cmd in
            python3-*) /usr/bin/python3 -c "import ${cmd#python3-}" >/dev/null 2>&1 && continue ;;
            *) command -v "$cmd" >/dev/null 2>&1 && continue ;;
        esac
        case $cmd in
            python3-*) pkg=$cmd ;;
            Xvfb) pkg=xvfb ;;
            xdpyinfo | xprop) pkg=x11-utils ;;
            xwd) pkg=x11-apps ;;
            soxi) pkg=sox ;;
            convert) pkg=imagemagick ;;
            pactl | paplay | parecord) pkg=pulseaudio-utils ;;
            pipewire | pw-link | pw-metadata | pw-cli) pkg=pipewire-bin ;;
            *) pkg=$cmd ;;
        esac
        echo "FAIL: '$cmd' is missing: install the Debian package $pkg (./scripts/deps.sh installs them all)" >&2
        missing=1
    done
    return $missing
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
    local pids pid i
    pids=$(zq_descendants "$1")
    [ -n "$pids" ] || return 0
    for pid in $pids; do kill "$pid" 2>/dev/null || true; done
    for i in $(seq 1 30); do
        for pid in $pids; do
            kill -0 "$pid" 2>/dev/null && break
            pid=
        done
        [ -n "$pid" ] || break
        sleep 0.1
    done
    for pid in $pids; do kill -9 "$pid" 2>/dev/null || true; done
    for pid in $pids; do wait "$pid" 2>/dev/null || true; done
    return 0
}
