#!/usr/bin/env bash
# Makes the README's pictures in docs/screenshots/ anew from a build (default build/, made by
# ./scripts/build.sh): installs it into a temporary folder and drives the installed program through a private
# X server and sound server, as tests/e2e/app_e2e.sh does (it must pass there):
#   main_window.png       the main window, from the direct mapping case
#   function_window.png   the function window of a 1000-tap bank filter
#   spectrum_windows.png  that filter running, both spectrum windows in the top left corner
#   filter_response.png   the response window of a 1000-tap band-pass bank filter on white noise, from the
#                         response window's CPU benchmark (bench/ui/response_window_cpu.sh), which drives
#                         the program the same way
# Usage: scripts/screenshots.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
shots=$(mktemp -d /tmp/zq-screenshots.XXXXXX)
trap 'rm -rf "$shots"' EXIT
cmake --install "$build" --prefix "$shots/prefix" >/dev/null
for case in direct bank; do
    ZQ_SCREENSHOT_DIR=$shots bash tests/e2e/app_e2e.sh "$case" "$shots/prefix"
done
# One round of six seconds each way: the measured curve has settled well by then.
ZQ_SCREENSHOT_DIR=$shots bash bench/ui/response_window_cpu.sh "$shots/prefix" 6 1
# The rest of the screen is black: trimmed away.
/usr/bin/convert "$shots/bank_filter.png" -trim +repage "$shots/spectrum_windows.png"
# A picture whose pixels are unchanged stays as it is (the new file would differ only by its dates).
for name in main_window function_window spectrum_windows filter_response; do
    same=$(/usr/bin/compare -metric AE "$shots/$name.png" "docs/screenshots/$name.png" null: 2>&1) || true
    [ "$same" = 0 ] || cp "$shots/$name.png" docs/screenshots/
done
git status --short docs/screenshots
