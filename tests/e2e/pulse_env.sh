# Private PulseAudio server for end-to-end tests. Source this file, then:
#   zq_pulse_start            start the server (sets PULSE_SERVER etc. for everything started after it)
#   zq_pulse_record OUT.raw, zq_pulse_play FILE.wav
#                             record both sides, play into the capture side (common.sh)
#   zq_pulse_kill_server      kill the server now (to test a server that dies mid-run; ZQ_PULSE_SERVER_PID
#                             is the server's PID until then)
#   zq_pulse_restart          start it again, on the same socket with the same devices
#   zq_pulse_stop             stop every process started here (call it from a trap)
# The program under test opens the default devices: it captures from src.monitor and plays into dst.
# pipewire_env.sh offers the same functions on a private PipeWire; ZQ_SOUND_SERVER picks one in the tests.

source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
zq_need pulseaudio pactl paplay parecord pacat || return

ZQ_PULSE_PIDS=()

zq_pulse_start() {
    ZQ_PULSE_DIR=$(mktemp -d /tmp/zq-pulse.XXXXXX)
    mkdir -p "$ZQ_PULSE_DIR/run/pulse" "$ZQ_PULSE_DIR/home" "$ZQ_PULSE_DIR/config"
    chmod 700 "$ZQ_PULSE_DIR/run"
    export XDG_RUNTIME_DIR="$ZQ_PULSE_DIR/run"
    export XDG_CONFIG_HOME="$ZQ_PULSE_DIR/config"
    export PULSE_SERVER="unix:$ZQ_PULSE_DIR/run/pulse/native"
    cat > "$ZQ_PULSE_DIR/own.pa" <<PA
load-module module-native-protocol-unix auth-anonymous=1 socket=$ZQ_PULSE_DIR/run/pulse/native
load-module module-null-sink sink_name=both format=s16le rate=11025 channels=3 channel_map=front-left,front-right,front-center sink_properties=device.description=zq-both
load-module module-remap-sink sink_name=src master=both channels=1 channel_map=mono master_channel_map=front-left remix=no sink_properties=device.description=zq-src
load-module module-remap-sink sink_name=dst master=both channels=1 channel_map=mono master_channel_map=front-right remix=no sink_properties=device.description=zq-dst
load-module module-remap-sink sink_name=clk master=both channels=1 channel_map=mono master_channel_map=front-center remix=no sink_properties=device.description=zq-clk
set-default-sink dst
set-default-source src.monitor
PA
    zq_pulse_restart
}

zq_pulse_restart() {
    rm -f "$ZQ_PULSE_DIR/run/pulse/native" "$ZQ_PULSE_DIR/run/pulse/pid"
    # Without memfd: PulseAudio 16 at times sends a client a block of a pool that client never registered,
    # then aborts on an assertion (its bug 824), when streams come and go quickly as functions stop and start.
    # Debug level: the log then names every underrun of a stream, with the time.
    HOME="$ZQ_PULSE_DIR/home" pulseaudio -n -F "$ZQ_PULSE_DIR/own.pa" --daemonize=no --enable-memfd=no \
        --exit-idle-time=-1 --disallow-exit=yes --log-level=debug --log-time=true \
        --log-target="file:$ZQ_PULSE_DIR/pulse.log" >/dev/null 2>&1 &
    ZQ_PULSE_SERVER_PID=$!
    ZQ_SERVER_LOG=$ZQ_PULSE_DIR/pulse.log
    local i
    for i in $(seq 1 100); do
        if timeout 2 pactl info >/dev/null 2>&1; then break; fi
        sleep 0.1
    done
    if ! timeout 2 pactl info >/dev/null 2>&1; then
        echo "pulse_env: the sound server did not start" >&2
        cat "$ZQ_PULSE_DIR/pulse.log" >&2 || true
        return 1
    fi
    zq_pulse_keep_awake
    sleep 2.3  # idle null sinks only wake every 2 s
}

zq_pulse_kill_server() {
    if [ -n "${ZQ_PULSE_SERVER_PID:-}" ]; then
        kill -9 "$ZQ_PULSE_SERVER_PID" 2>/dev/null || true
        wait "$ZQ_PULSE_SERVER_PID" 2>/dev/null || true
        ZQ_PULSE_SERVER_PID=
    fi
}

zq_pulse_stop() {
    zq_stop "${ZQ_PULSE_PIDS[@]}"
    ZQ_PULSE_PIDS=()
    if [ -n "${ZQ_PULSE_SERVER_PID:-}" ] && ! kill -0 "$ZQ_PULSE_SERVER_PID" 2>/dev/null; then
        echo "pulse_env: the sound server died by itself; the end of its log:" >&2
        tail -20 "$ZQ_PULSE_DIR/pulse.log" >&2
    fi
    zq_stop "${ZQ_PULSE_SERVER_PID:-}"
    ZQ_PULSE_SERVER_PID=
    if [ -n "${ZQ_PULSE_DIR:-}" ]; then
        # A failed test keeps the server's logs with its other files.
        if [ -n "${keep:-}" ] && [ -d "${work:-}" ]; then cp "$ZQ_PULSE_DIR"/*.log "$work"/ 2>/dev/null || true; fi
        rm -rf "$ZQ_PULSE_DIR"; ZQ_PULSE_DIR=
    fi
}
