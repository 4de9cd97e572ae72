#!/usr/bin/env bash
# Builds the Debian package for this machine's release (Debian 12 or 13), checks it (lintian: no error and
# no warning; the manual pages), installs it with apt-get into a fresh root of the same release and runs it
# there: zoriq1-filter lists the nine default filters, and zoriq1 without a display says so and exits with
# status 1; zoriq1-filter applies a filter to a 44.1 kHz stereo file. Takes a few minutes (debootstrap, the
# Qt libraries).
# Usage, as root: tests/package/check_deb.sh [BUILD_DIR]   (default build-deb)
#   MIRROR=URL uses another Debian mirror; KEEP_ROOT=1 leaves the root (unmounted) for a look; the root is
#   ${ZQ_ROOT_PREFIX:-/var/tmp/zq-deb}.XXXXXX/SUITE.
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-build-deb}
[ "$(id -u)" -eq 0 ] || { echo "check_deb.sh: run as root (debootstrap, mount, chroot)"; exit 1; }
for cmd in debootstrap lintian cpack dpkg-shlibdeps file man gzip sox; do
    command -v "$cmd" >/dev/null || { echo "check_deb.sh: $cmd is missing: ./scripts/deps.sh build test package installs it"; exit 1; }
done
. "$here/scripts/fresh_root.sh"
guard_roots "${ZQ_ROOT_PREFIX:-/var/tmp/zq-deb}" "$here/tests/package/check_deb.sh" "$@"
cd "$here"
suite=$(host_suite)
[ -n "$suite" ] || { echo "check_deb.sh: /etc/os-release names no release"; exit 1; }
mirrors_for "$suite"

echo "== Package"
export CCACHE_BASEDIR=$PWD
./scripts/build.sh "$build" -DCMAKE_BUILD_TYPE=Release >"/tmp/zq-check-deb-build.log" 2>&1 \
    || { tail -30 /tmp/zq-check-deb-build.log; exit 1; }
rm -f "$build"/zoriq1_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/zoriq1_*.deb)
echo "$deb: $(dpkg-deb -f "$deb" Depends)"

echo "== lintian"
status=0
report=$(lintian --fail-on error,warning "$deb" 2>&1) || status=$?
echo "$report" | grep -v '^running with root privileges' || true
[ "$status" -eq 0 ] || { echo "FAIL: lintian reports errors or warnings"; exit 1; }
echo "no errors, no warnings"

echo "== Manual pages"
for page in docs/man/*.1; do
    warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || { echo "FAIL: $page: $warnings"; exit 1; }
    echo "$page: no warnings"
done

echo "== A fresh $suite root"
root=$ZQ_ROOT_BASE/$suite
mkdir "$root"
make_root "$root" "$suite"
mount_root "$root"
cp "$deb" "$root/tmp/"
in_root() { chroot "$root" "${root_env[@]}" DEBIAN_FRONTEND=noninteractive "$@"; }
in_root apt-get update -qq
in_root /bin/sh -c "cd /tmp && apt-get install -y -q ./$(basename "$deb")" >"$root/tmp/install.log" 2>&1 \
    || { tail -30 "$root/tmp/install.log"; exit 1; }
grep -E '^(Setting up zoriq1|[0-9]+ upgraded)' "$root/tmp/install.log"

echo "== Installed"
in_root ls -l /usr/bin/zoriq1 /usr/bin/zoriq1-filter
echo "\$ zoriq1-filter list /usr/lib/zoriq1/FirFilter.fib"
listing=$(in_root zoriq1-filter list /usr/lib/zoriq1/FirFilter.fib)
echo "$listing"
[ "$(echo "$listing" | wc -l)" -eq 9 ] || { echo "FAIL: not the nine default filters"; exit 1; }
echo "\$ zoriq1"
status=0
said=$(in_root zoriq1 2>&1) || status=$?
echo "$said"
echo "exit status $status"
[ "$status" -eq 1 ] && [[ $said == *"no display"* ]] || { echo "FAIL: zoriq1 without a display"; exit 1; }
sox -n -r 44100 -c 2 -b 16 "$root/tmp/tone.wav" synth 2 sine 440 sine 3000
echo "\$ zoriq1-filter apply /usr/lib/zoriq1/FirFilter.fib --index 1 tone.wav tone-lowpass.wav"
in_root /bin/sh -c "cd /tmp && zoriq1-filter apply /usr/lib/zoriq1/FirFilter.fib --index 1 tone.wav tone-lowpass.wav"
size=$(stat -c %s "$root/tmp/tone-lowpass.wav")
echo "tone-lowpass.wav: $size bytes"
[ "$size" -eq $((46 + 2 * 2 * 11025)) ] || { echo "FAIL: not two seconds at 11025 Hz"; exit 1; }
echo "PASS"
