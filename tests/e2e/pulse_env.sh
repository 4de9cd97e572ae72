# Private PulseAudio server for end-to-end tests. Source this file, then:
#   zq_pulse_start            start the server (sets PULSE_SERVER etc. for everything started after it)
#   zq_pulse_record OUT.raw   record both sides on one clock: stereo s16le at 11025 Hz, left = what is
#                             played into the capture side, right = the program's output (sets ZQ_REC_PID)
#   zq_pulse_play FILE.wav    play FILE into the capture side (blocks until played)
#   zq_pulse_kill_server      kill the server now (to test a server that dies mid-run; ZQ_PULSE_SERVER_PID
#                             is the server's PID until then)
#   zq_pulse_stop             stop every process started here (call it from a trap)
# The program under test opens the default devices: it captures from src.monitor and plays into dst.
# pipewire_env.sh offers the same functions on a private PipeWire; ZQ_SOUND_SERVER picks one in the tests.

source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
zq_need pulseaudio pactl paplay parecord || return 1

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
load-module module-null-sink sink_name=both format=s16le rate=11025 channels=2 channel_map=front-left,front-right sink_properties=device.description=zq-both
load-module module-remap-sink sink_name=src master=both channels=1 channel_map=mono master_channel_map=front-left remix=no sink_properties=device.description=zq-src
load-module module-remap-sink sink_name=dst master=both channels=1 channel_map=mono master_channel_map=front-right remix=no sink_properties=device.description=zq-dst
set-default-sink dst
set-default-source src.monitor
PA
    HOME="$ZQ_PULSE_DIR/home" pulseaudio -n -F "$ZQ_PULSE_DIR/own.pa" --daemonize=no \
        --exit-idle-time=-1 --disallow-exit=yes --log-target="file:$ZQ_PULSE_DIR/pulse.log" \
        >/dev/null 2>&1 &
    ZQ_PULSE_SERVER_PID=$!
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
    # Idle null sinks only wake every 2 s: keep both monitors busy so the first blocks do not stall.
    local dev
    for dev in src.monitor dst.monitor; do
        parecord --device="$dev" --latency-msec=10 --rate=11025 --channels=1 --format=s16le --raw /dev/null \
            >/dev/null 2>&1 &
        ZQ_PULSE_PIDS+=($!)
    done
    sleep 2.3
}

zq_pulse_record() {
    parecord --device=both.monitor --rate=11025 --channels=2 --format=s16le --latency-msec=10 --raw "$1" \
        >/dev/null 2>&1 &
    ZQ_REC_PID=$!
    ZQ_PULSE_PIDS+=($ZQ_REC_PID)
}

zq_pulse_play() {
    # In the background, so that a signal's trap runs at once instead of after the whole signal.
    timeout 120 paplay --device=src "$1" &
    ZQ_PULSE_PIDS+=($!)
    wait $!
}

zq_pulse_kill_server() {
    if [ -n "${ZQ_PULSE_SERVER_PID:-}" ]; then
        kill -9 "$ZQ_PULSE_SERVER_PID" 2>/dev/null || true
        wait "$ZQ_PULSE_SERVER_PID" 2>/dev/null || true
        ZQ_PULSE_SERVER_PID=
    fi
}

zq_pulse_stop() {
    local pid
    for pid in "${ZQ_PULSE_PIDS[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    for pid in "${ZQ_PULSE_PIDS[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    ZQ_PULSE_PIDS=()
    if [ -n "${ZQ_PULSE_SERVER_PID:-}" ] && ! kill -0 "$ZQ_PULSE_SERVER_PID" 2>/dev/null; then
        echo "pulse_env: the sound server died by itself; the end of its log:" >&2
        tail -20 "$ZQ_PULSE_DIR/pulse.log" >&2
    fi
    if [ -n "${ZQ_PULSE_SERVER_PID:-}" ]; then
        kill "$ZQ_PULSE_SERVER_PID" 2>/dev/null || true
        for _ in $(seq 1 50); do
            kill -0 "$ZQ_PULSE_SERVER_PID" 2>/dev/null || break
            sleep 0.1
        done
        kill -9 "$ZQ_PULSE_SERVER_PID" 2>/dev/null || true
        wait "$ZQ_PULSE_SERVER_PID" 2>/dev/null || true
        ZQ_PULSE_SERVER_PID=
    fi
    if [ -n "${ZQ_PULSE_DIR:-}" ]; then rm -rf "$ZQ_PULSE_DIR"; ZQ_PULSE_DIR=; fi
}
