#!/usr/bin/env bash
# End-to-end runs of the engine on a private sound server.
#   run_audio_e2e.sh loopback    PROGRAM   a chirp through the engine: output == input after the delay,
#                                          the WAV file holds the played blocks; prints delay and CPU figures
#   run_audio_e2e.sh server-kill PROGRAM   the server dies mid-run: an error arrives, the program ends,
#                                          the WAV file written so far is valid
#   run_audio_e2e.sh server-freeze PROGRAM the server stops answering mid-run (SIGSTOP): an error arrives
#                                          from the stall watchdog, and taking the engine down does not hang
#   run_audio_e2e.sh no-server   PROGRAM   no server and no card: the probe answers 3 quickly
#   run_audio_e2e.sh quiet       PROGRAM   no server: nothing of the sound libraries on stderr; a forced sound
#                                          system that cannot serve says why in exactly one line of its own
#   run_audio_e2e.sh jack-beside PROGRAM   a JACK server at 48000 Hz beside the sound server: the engine still
#                                          goes through PulseAudio, bit-exact, nothing on stderr
#   run_audio_e2e.sh alsa-forced PROGRAM   ZORIQ1_AUDIO_API=alsa, ALSA routed to the sound server by its pulse
#                                          plugin: the engine goes through ALSA, bit-exact, nothing on stderr
#   run_audio_e2e.sh jack-kill   PROGRAM   a JACK server at 11025 Hz killed under the running engine, several
#                                          times (ZQ_JACK_KILL_RUNS, 3): each time an error, no crash, a valid
#                                          WAV file
#   run_audio_e2e.sh resampled   PROGRAM   a PipeWire graph at 48000 Hz: the program says once that it resamples
# PROGRAM is the engine_loopback test program. ZQ_SOUND_SERVER=pipewire runs the first three on a private PipeWire
# (pipewire_env.sh), through its native backend unless ZORIQ1_AUDIO_API says otherwise; there ZQ_KILL=pipewire
# kills or stops the PipeWire daemon instead of pipewire-pulse.
set -uo pipefail
case_name=${1:?case}
program=${2:?program}
here=$(cd "$(dirname "$0")" && pwd)
python=/usr/bin/python3
checker="$here/check_loopback.py"

server=${ZQ_SOUND_SERVER:-pulse}
case $server in
    pulse | pipewire) ;;
    *) echo "FAIL: unknown ZQ_SOUND_SERVER $server (pulse or pipewire)"; exit 1 ;;
esac
source "$here/${server}_env.sh" || exit
zq_need sox soxi python3-numpy || exit
prog_pid=
jack_pid=
zq_begin e2e
# The test program has no say in Qt's notice about a locale that is not UTF-8 (the program drops it); a root
# without a locale would print it.
export LC_ALL=C.UTF-8
stop_test() { zq_stop "$prog_pid" "$jack_pid"; zq_pulse_stop; }

value() {  # value KEY: the program's "KEY value" line
    awk -v k="$1" '$1 == k { print $2; exit }' "$work/prog.log"
}

now_ms() { date +%s%3N; }

# A dummy JACK server at 48000 Hz (or the rate given), as musicians run one, under a name of its own so that
# it meets no other test's server; the program finds it through JACK_DEFAULT_SERVER.
start_jack() {
    zq_need jackd jack_lsp || exit
    export JACK_DEFAULT_SERVER="zq-e2e-$$" JACK_NO_AUDIO_RESERVATION=1
    jackd --no-realtime -n "$JACK_DEFAULT_SERVER" -d dummy -r "${1:-48000}" >"$work/jackd.log" 2>&1 &
    jack_pid=$!
    local i
    for i in $(seq 1 50); do
        timeout 2 jack_lsp >/dev/null 2>&1 && return 0
        kill -0 "$jack_pid" 2>/dev/null || break
        sleep 0.1
    done
    cat "$work/jackd.log"
    fail "the JACK server did not start"
}

# probe_says EXPECTED_RESULT [LINE]: the probe's answer, and its stderr exactly LINE (or nothing).
probe_says() {
    timeout 60 "$program" probe "$1" >"$work/probe.log" 2>"$work/probe.err"
    local rc=$?
    cat "$work/probe.log" "$work/probe.err"
    [ "$rc" -ne 124 ] || fail "the probe hung"
    [ "$rc" -eq 0 ] || fail "the probe did not answer $1"
    [ "$(cat "$work/probe.err")" = "${2:-}" ] || fail "stderr is not exactly '${2:-}'"
}

# loopback_exact CLIENT [SECONDS]: a chirp of SECONDS (8) through the engine, bit for bit, with the program's
# sound going through the server client named CLIENT; on stderr at most the line of samples lost, for a loss
# the checker finds in the sound.
loopback_exact() {
    local seconds=${2:-8}
    # Padded: the first ms of a new playback stream are lost.
    sox -D -n -r 11025 -c 1 -b 16 "$work/chirp.wav" synth "$seconds" sine 100-4000 gain -6 pad 0.2 0.2 \
        || fail "sox could not make the test signal"
    zq_pulse_record "$work/rec.raw"
    timeout 60 "$program" run $(( seconds + 4 )) "$work/out.wav" >"$work/prog.log" 2>"$work/prog.err" &
    prog_pid=$!
    wait_streaming || fail "the program did not start streaming"
    pactl list clients | grep -qF "application.name = \"$1\"" || fail "no sound server client \"$1\""
    sleep 0.5
    zq_pulse_play "$work/chirp.wav" || fail "paplay failed"
    wait "$prog_pid"
    rc=$?
    prog_pid=
    sleep 0.3
    kill "$ZQ_REC_PID" 2>/dev/null
    wait "$ZQ_REC_PID" 2>/dev/null
    cat "$work/prog.log" "$work/prog.err"
    [ "$rc" -eq 0 ] || fail "the program ended with status $rc"
    ! grep -v "samples were lost at the sound device" "$work/prog.err" || fail "the program printed on stderr"
    "$python" "$checker" "$work/rec.raw" --wav "$work/out.wav" --min-seconds $(( seconds - 1 )) \
        --max-latency-ms 60 --server-log "$ZQ_SERVER_LOG" --program-log "$work/prog.err" \
        || fail "the loopback recording does not match"
}

wait_streaming() {  # until the program has both directions running (or 10 s)
    local i
    for i in $(seq 1 100); do
        grep -q '^streaming' "$work/prog.log" 2>/dev/null && return 0
        kill -0 "$prog_pid" 2>/dev/null || return 1
        sleep 0.1
    done
    return 1
}

case "$case_name" in
loopback)
    zq_pulse_start || fail "no sound server"
    # The native PipeWire client names the application; RtAudio names its capture stream's client.
    client="ZORIQ1 capture"
    [ "$server" = pipewire ] && [ "${ZORIQ1_AUDIO_API:-pipewire}" = pipewire ] && client=ZORIQ1
    probe_says 0
    loopback_exact "$client" 12
    echo "CPU time per block: $(value cpu-ms-per-block) ms (whole process, audio threads included)"
    ;;
server-kill | server-freeze)
    zq_pulse_start || fail "no sound server"
    timeout 60 "$program" until-error 20 "$work/out.wav" >"$work/prog.log" 2>"$work/prog.err" &
    prog_pid=$!
    wait_streaming || fail "the program did not start streaming"
    sleep 2
    killed_at=$(now_ms)
    victim=$ZQ_PULSE_SERVER_PID
    [ "${ZQ_KILL:-}" = pipewire ] && victim=$ZQ_PW_CORE_PID
    if [ "$case_name" = server-kill ]; then
        zq_pulse_kill_server ${ZQ_KILL:-}
    else
        kill -STOP "$victim"
    fi
    wait "$prog_pid"
    rc=$?
    prog_pid=
    ended_at=$(now_ms)
    zq_pulse_kill_server ${ZQ_KILL:-}
    cat "$work/prog.log" "$work/prog.err"
    [ "$rc" -ne 124 ] || fail "the program hung (killed by timeout)"
    [ "$rc" -lt 128 ] || fail "the program crashed (status $rc)"
    [ "$rc" -eq 0 ] || fail "no error was reported after the server died (status $rc)"
    # The engine reported the error; the sound libraries say nothing of their own (the program's line of
    # samples lost may tell a cycle the graph skipped before).
    ! grep -v "samples were lost at the sound device" "$work/prog.err" || fail "the program printed on stderr"
    first=$(value first-error-ms)
    took=$((first - killed_at))
    echo "error $(value first-error) reported $took ms after the server went away;" \
         "program ended after $((ended_at - killed_at)) ms, its teardown took $(value stop-ms) ms"
    [ "$took" -ge 0 ] && [ "$took" -le 3000 ] || fail "the error took $took ms"
    [ "$(value stop-ms)" -le 5000 ] || fail "the teardown took $(value stop-ms) ms"
    [ "$(value blocks)" -gt 5 ] || fail "too few blocks before the kill"
    "$python" "$checker" --wav-only "$work/out.wav" || fail "the WAV file is not valid"
    ;;
resampled)
    [ "$server" = pipewire ] || fail "resampled runs on PipeWire only"
    ZQ_PW_RATE=48000 zq_pulse_start || fail "no sound server"
    timeout 60 "$program" run 3 "$work/out.wav" >"$work/prog.log" 2>"$work/prog.err"
    rc=$?
    cat "$work/prog.log" "$work/prog.err"
    [ "$rc" -eq 0 ] || fail "the program ended with status $rc"
    said=$(grep -v "samples were lost at the sound device" "$work/prog.err")
    [ "$said" = "zoriq1: PipeWire runs its graph at 48000 Hz, not at 11025 Hz: the sound is resampled and no longer exact" ] ||
        fail "not told once that the graph resamples"
    ;;
no-server)
    mkdir -p "$work/run" "$work/config/pulse"
    chmod 700 "$work/run"
    echo "autospawn = no" >"$work/config/pulse/client.conf"
    start=$(now_ms)
    XDG_RUNTIME_DIR="$work/run" XDG_CONFIG_HOME="$work/config" PULSE_SERVER="unix:$work/run/no-such-socket" \
        timeout 60 "$program" probe 3 >"$work/prog.log" 2>&1
    rc=$?
    took=$(( $(now_ms) - start ))
    cat "$work/prog.log"
    echo "probe with no server took $took ms"
    [ "$rc" -ne 124 ] || fail "the probe hung"
    [ "$rc" -eq 0 ] || fail "the probe did not answer 3 (status $rc)"
    [ "$took" -lt 10000 ] || fail "the probe took $took ms"
    ;;
quiet)
    mkdir -p "$work/run" "$work/config/pulse"
    chmod 700 "$work/run"
    echo "autospawn = no" >"$work/config/pulse/client.conf"
    export XDG_RUNTIME_DIR="$work/run" XDG_CONFIG_HOME="$work/config" PULSE_SERVER="unix:$work/run/no-such-socket"
    probe_says 3
    ZORIQ1_AUDIO_API=oss probe_says 3 "zoriq1: ZORIQ1_AUDIO_API=oss is not one of pipewire, pulse, alsa, jack; choosing as usual"
    start_jack
    probe_says 3 "zoriq1: the JACK server runs at 48000 Hz, not at the 11025 Hz the program needs"
    ZORIQ1_AUDIO_API=jack probe_says 3 \
        "zoriq1: ZORIQ1_AUDIO_API=jack, but the JACK server runs at 48000 Hz, not at the 11025 Hz the program needs"
    ;;
jack-beside)
    zq_pulse_start || fail "no sound server"
    start_jack
    probe_says 0
    loopback_exact "ZORIQ1 capture"
    ;;
alsa-forced)
    zq_pulse_start || fail "no sound server"
    mkdir -p "$work/home"
    printf 'pcm.!default { type pulse }\nctl.!default { type pulse }\n' >"$work/home/.asoundrc"
    export HOME="$work/home" ZORIQ1_AUDIO_API=alsa
    probe_says 0
    loopback_exact "ALSA plug-in [$(basename "$program")]"
    ;;
jack-kill)
    export ZORIQ1_AUDIO_API=jack
    for run in $(seq 1 "${ZQ_JACK_KILL_RUNS:-3}"); do
        echo "== run $run"
        start_jack 11025
        probe_says 0
        timeout 60 "$program" until-error 20 "$work/out.wav" >"$work/prog.log" 2>"$work/prog.err" &
        prog_pid=$!
        wait_streaming || fail "the program did not start streaming"
        sleep 1
        kill -KILL "$jack_pid"
        wait "$jack_pid" 2>/dev/null
        jack_pid=
        wait "$prog_pid"
        rc=$?
        prog_pid=
        cat "$work/prog.log" "$work/prog.err"
        [ "$rc" -ne 124 ] || fail "the program hung (killed by timeout)"
        [ "$rc" -lt 128 ] || fail "the program crashed (status $rc)"
        [ "$rc" -eq 0 ] || fail "no error was reported after the JACK server died (status $rc)"
        # RtAudio 5 prints its own line about the server's end (RtAudio 6 tells the program instead).
        ! grep -v -e '^$' -e '^RtApiJack: the Jack server is shutting down this client' "$work/prog.err" \
            || fail "the program printed on stderr"
        [ "$(value blocks)" -gt 2 ] || fail "too few blocks before the kill"
        "$python" "$checker" --wav-only "$work/out.wav" || fail "the WAV file is not valid"
    done
    ;;
*)
    echo "unknown case $case_name" >&2
    exit 2
    ;;
esac
echo "PASS"
