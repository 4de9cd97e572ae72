#!/usr/bin/env bash
# Runs a command with the private sound server of pulse_env.sh up, and stops the server afterwards.
set -uo pipefail
source "$(dirname "$0")/pulse_env.sh" || exit
child=
cleanup() {
    if [ -n "$child" ]; then kill "$child" 2>/dev/null; wait "$child" 2>/dev/null; fi
    zq_pulse_stop
    zq_end_descendants $$
}
trap cleanup EXIT
trap 'exit 130' INT TERM
zq_pulse_start || { echo "FAIL: no sound server"; exit 1; }
timeout 100 "$@" &
child=$!
wait "$child"
rc=$?
child=
exit $rc
