#!/usr/bin/env bash
# Figures of the engine on the private sound server: end-to-end delay, device latency over the two
# blocks of design delay, and process CPU time per block, over several loopback runs.
#   bench/engine/audio_loopback.sh [BUILD_DIR] [RUNS]
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build}
runs=${2:-5}
program="$build/tests/bin/e2e_audio/engine_loopback"
[ -x "$program" ] || { echo "build engine_loopback first ($program)" >&2; exit 2; }
source "$root/tests/e2e/common.sh"
zq_need pulseaudio pactl paplay parecord sox soxi python3-numpy || exit 2
for i in $(seq 1 "$runs"); do
    out=$(bash "$root/tests/e2e/run_audio_e2e.sh" loopback "$program" 2>&1)
    delay=$(sed -n 's/^delay \([0-9.]*\) ms.*/\1/p' <<<"$out")
    latency=$(sed -n 's/.*device latency \(-\{0,1\}[0-9.]*\) ms.*/\1/p' <<<"$out")
    cpu=$(sed -n 's/^cpu-ms-per-block \([0-9.]*\)/\1/p' <<<"$out")
    verdict=$(grep -q '^PASS' <<<"$out" && echo bit-exact || echo FAILED)
    echo "run $i: delay ${delay:-?} ms, device latency ${latency:-?} ms, CPU ${cpu:-?} ms per block ($verdict)"
done
