#!/usr/bin/env bash
# How often the installed program's sound comes out exact, and where sound went when it did not: a case of
# tests/e2e/app_e2e.sh run RUNS times on the private PulseAudio or PipeWire, quiet or beside LOAD spinning
# processes, each run judged by check_loopback.py.
#   bench/engine/sound_losses.sh PREFIX direct|bank pulse|pipewire RUNS [LOAD]
# PREFIX is an installation (cmake --install build --prefix PREFIX).
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
prefix=${1:?prefix} case_name=${2:?case} server=${3:?server} runs=${4:?runs} load=${5:-0}
spinners=()
trap 'kill "${spinners[@]}" 2>/dev/null' EXIT
for _ in $(seq 1 "$load"); do
    while :; do :; done &
    spinners+=($!)
done
declare -A total
for i in $(seq 1 "$runs"); do
    out=$(ZQ_SOUND_SERVER=$server bash "$root/tests/e2e/app_e2e.sh" "$case_name" "$prefix" 2>&1)
    where=()
    grep -q 'recorder dropped [1-9]' <<<"$out" && where+=(recorder)
    grep -q 'the server logged an underrun' <<<"$out" && where+=(server)
    grep -q 'the program said it lost' <<<"$out" && where+=(told-by-program)
    grep -q 'FAULT' <<<"$out" && where+=(fault)
    if ! grep -q '^PASS' <<<"$out"; then
        [ ${#where[@]} -gt 0 ] || where+=(failed)
    elif [ ${#where[@]} -eq 0 ]; then
        where+=(exact)
    fi
    for w in "${where[@]}"; do total[$w]=$(( ${total[$w]:-0} + 1 )); done
    echo "run $i: ${where[*]}; $(grep -m1 'blocks of sound' <<<"$out"); load $(cut -d' ' -f1 /proc/loadavg)"
    grep -E '^(played|file) block|^FAIL' <<<"$out" | sed 's/^/    /'
done
echo "$case_name on $server, $runs runs beside $load spinning processes:" \
    "$(for w in "${!total[@]}"; do printf '%s %s, ' "$w" "${total[$w]}"; done)"
