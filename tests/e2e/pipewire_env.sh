# Private PipeWire for end-to-end tests, reached through pipewire-pulse: the functions of pulse_env.sh, with
# the same sinks (src, dst, clk, and both for recording), the graph running at 11025 Hz. Source this file, then:
#   zq_pulse_start            start a session bus, pipewire, wireplumber and pipewire-pulse, load the sinks
#   zq_pulse_record OUT.raw, zq_pulse_play FILE.wav
#                             record both sides, play into the capture side (common.sh)
#   zq_pulse_kill_server [pipewire]
#                             kill pipewire-pulse now, or with "pipewire" the PipeWire daemon itself
#                             (ZQ_PULSE_SERVER_PID is pipewire-pulse's PID until then)
#   zq_pulse_restart          after pipewire-pulse was killed: start it again, with the same sinks
#   zq_pw_restart_core        after the PipeWire daemon was killed: start it, WirePlumber and pipewire-pulse
#                             again on the same socket, with the same sinks
#   zq_pulse_stop             stop every process started here (call it from a trap)

source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
zq_need dbus-daemon pipewire wireplumber pipewire-pulse pw-link pactl paplay parecord pacat || return

ZQ_PULSE_PIDS=()
ZQ_PW_DAEMONS=()   # session bus, pipewire, wireplumber, pipewire-pulse: stopped in reverse order

# zq_pw_wait SECONDS COMMAND...: until COMMAND succeeds
zq_pw_wait() {
    local tries=$(( $1 * 10 )) i
    shift
    for i in $(seq 1 "$tries"); do
        "$@" >/dev/null 2>&1 && return 0
        sleep 0.1
    done
    return 1
}

zq_pw_daemon() {  # zq_pw_daemon NAME COMMAND...: start in the background, logging to NAME.log
    local name=$1
    shift
    HOME="$ZQ_PULSE_DIR/home" "$@" >"$ZQ_PULSE_DIR/$name.log" 2>&1 &
    ZQ_PW_DAEMONS+=($!)
}

zq_pw_fail() {
    echo "pipewire_env: $*" >&2
    local log
    for log in "$ZQ_PULSE_DIR"/*.log; do echo "--- $log" >&2; tail -20 "$log" >&2; done
    return 1
}

# The three remap streams feed the recorded sink, and the defaults are set.
zq_pw_ready() {
    local links
    links=$(pw-link -l 2>/dev/null) || return 1
    grep -q 'both:playback_FL' <<<"$links" && grep -q 'both:playback_FR' <<<"$links" &&
        grep -q 'both:playback_FC' <<<"$links" &&
        [ "$(timeout 2 pactl get-default-sink)" = dst ] && [ "$(timeout 2 pactl get-default-source)" = src.monitor ]
}

zq_pulse_start() {
    ZQ_PULSE_DIR=$(mktemp -d /tmp/zq-pipewire.XXXXXX)
    local run=$ZQ_PULSE_DIR/run conf=$ZQ_PULSE_DIR/config
    mkdir -p "$run" "$ZQ_PULSE_DIR/home" "$ZQ_PULSE_DIR/state" "$conf/pipewire/pipewire.conf.d" \
        "$conf/wireplumber/main.lua.d" "$conf/wireplumber/bluetooth.lua.d" "$conf/wireplumber/wireplumber.conf.d"
    chmod 700 "$run"
    export XDG_RUNTIME_DIR=$run XDG_CONFIG_HOME=$conf XDG_STATE_HOME="$ZQ_PULSE_DIR/state"
    export DBUS_SESSION_BUS_ADDRESS="unix:path=$run/bus"
    export PULSE_SERVER="unix:$run/pulse/native"
    # The graph runs at the program's rate (ZQ_PW_RATE: another, as a desktop's 48000); 64-sample cycles lose
    # whole cycles on a small machine.
    cat >"$conf/pipewire/pipewire.conf.d/zq.conf" <<CONF
context.properties = {
    default.clock.rate          = ${ZQ_PW_RATE:-11025}
    default.clock.allowed-rates = [ ${ZQ_PW_RATE:-11025} ]
    default.clock.min-quantum   = 256
}
CONF
    # Never touch real hardware: no ALSA, camera or Bluetooth monitors. WirePlumber 0.4 (Debian 12) reads
    # Lua (after the stock 50-*, before 90-enable-all); 0.5 (Debian 13) reads only wireplumber.conf.d.
    printf '%s\n' 'alsa_monitor.enabled = false' 'v4l2_monitor.enabled = false' \
        'libcamera_monitor.enabled = false' >"$conf/wireplumber/main.lua.d/60-zq-no-devices.lua"
    echo 'bluez_monitor.enabled = false' >"$conf/wireplumber/bluetooth.lua.d/60-zq-no-devices.lua"
    cat >"$conf/wireplumber/wireplumber.conf.d/60-zq-no-devices.conf" <<'CONF'
wireplumber.profiles = {
    main = {
        hardware.audio = disabled
        hardware.bluetooth = disabled
        hardware.video-capture = disabled
        monitor.alsa = disabled
        monitor.alsa-midi = disabled
        monitor.bluez = disabled
        monitor.bluez-midi = disabled
        monitor.v4l2 = disabled
        monitor.libcamera = disabled
    }
}
CONF

    # WirePlumber exits without a session bus.
    zq_pw_daemon bus dbus-daemon --session --nofork --nopidfile --address="$DBUS_SESSION_BUS_ADDRESS"
    zq_pw_wait 10 test -S "$run/bus" || { zq_pw_fail "no session bus"; return 1; }
    zq_pw_daemon pipewire pipewire
    ZQ_PW_CORE_PID=$!
    zq_pw_wait 10 test -S "$run/pipewire-0" || { zq_pw_fail "pipewire did not start"; return 1; }
    zq_pw_daemon wireplumber wireplumber
    zq_pulse_restart
}

zq_pulse_restart() {
    # Its protocol's debug messages name every underrun of a stream, with the time.
    zq_pw_daemon pipewire-pulse env PIPEWIRE_DEBUG=2,mod.protocol-pulse:4 pipewire-pulse
    ZQ_PULSE_SERVER_PID=$!
    ZQ_SERVER_LOG=$ZQ_PULSE_DIR/pipewire-pulse.log
    zq_pw_wait 10 timeout 2 pactl info || { zq_pw_fail "pipewire-pulse does not answer"; return 1; }

    local m
    for m in "module-null-sink sink_name=both format=s16le rate=11025 channels=3 channel_map=front-left,front-right,front-center sink_properties=device.description=zq-both" \
             "module-remap-sink sink_name=src master=both channels=1 channel_map=mono master_channel_map=front-left remix=no sink_properties=device.description=zq-src" \
             "module-remap-sink sink_name=dst master=both channels=1 channel_map=mono master_channel_map=front-right remix=no sink_properties=device.description=zq-dst" \
             "module-remap-sink sink_name=clk master=both channels=1 channel_map=mono master_channel_map=front-center remix=no sink_properties=device.description=zq-clk"; do
        # shellcheck disable=SC2086
        timeout 5 pactl load-module $m >/dev/null || { zq_pw_fail "could not load $m"; return 1; }
    done
    timeout 2 pactl set-default-sink dst && timeout 2 pactl set-default-source src.monitor ||
        { zq_pw_fail "could not set the default devices"; return 1; }
    zq_pw_wait 10 zq_pw_ready || { zq_pw_fail "the sinks are not linked"; return 1; }
    zq_pulse_keep_awake  # as on PulseAudio, so that no node is suspended between cases
    sleep 1
}

zq_pw_restart_core() {
    local i
    # The session manager and pipewire-pulse lost their server with it; the bench's recorders too.
    for (( i = ${#ZQ_PW_DAEMONS[@]} - 1; i >= 1; i-- )); do zq_stop "${ZQ_PW_DAEMONS[i]}"; done
    ZQ_PW_DAEMONS=("${ZQ_PW_DAEMONS[0]}")
    zq_stop "${ZQ_PULSE_PIDS[@]}"
    ZQ_PULSE_PIDS=()
    zq_pw_daemon pipewire pipewire
    ZQ_PW_CORE_PID=$!
    zq_pw_wait 10 timeout 2 pw-link -l || { zq_pw_fail "pipewire did not come back"; return 1; }
    zq_pw_daemon wireplumber wireplumber
    zq_pulse_restart
}

zq_pulse_kill_server() {
    local pid=${ZQ_PULSE_SERVER_PID:-}
    [ "${1:-}" = pipewire ] && pid=${ZQ_PW_CORE_PID:-}
    [ -n "$pid" ] || return 0
    kill -9 "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    ZQ_PULSE_SERVER_PID=
    return 0
}

zq_pulse_stop() {
    local i
    zq_stop "${ZQ_PULSE_PIDS[@]}"
    ZQ_PULSE_PIDS=()
    for (( i = ${#ZQ_PW_DAEMONS[@]} - 1; i >= 0; i-- )); do zq_stop "${ZQ_PW_DAEMONS[i]}"; done
    ZQ_PW_DAEMONS=()
    ZQ_PULSE_SERVER_PID=
    if [ -n "${ZQ_PULSE_DIR:-}" ]; then
        # A failed test keeps the server's logs with its other files.
        if [ -n "${keep:-}" ] && [ -d "${work:-}" ]; then cp "$ZQ_PULSE_DIR"/*.log "$work"/ 2>/dev/null || true; fi
        rm -rf "$ZQ_PULSE_DIR"; ZQ_PULSE_DIR=
    fi
    return 0
}
