#!/usr/bin/env bash
# Builds the Debian package, checks it (lintian, manual pages), installs it with apt-get into a fresh
# Debian 12 root and runs it there: zoriq1-filter lists the nine default filters, and zoriq1 without a
# display says so and exits with status 1; zoriq1-filter applies a filter to a 44.1 kHz stereo file. Takes a few minutes (debootstrap, the Qt libraries).
# Usage, as root: tests/package/check_deb.sh [BUILD_DIR]   (default build-deb)
#   MIRROR=URL uses another Debian mirror; KEEP_ROOT=1 leaves the root in /tmp for a look.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${1:-build-deb}
[ "$(id -u)" -eq 0 ] || { echo "check_deb.sh: run as root (debootstrap, mount, chroot)"; exit 1; }
for cmd in debootstrap lintian cpack dpkg-shlibdeps file man gzip sox; do
    command -v "$cmd" >/dev/null || { echo "check_deb.sh: $cmd is missing: ./scripts/deps.sh installs it"; exit 1; }
done
mirror=${MIRROR:-$(awk '/^URIs:/ { print $2; exit }' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)}
mirror=${mirror:-http://deb.debian.org/debian}

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
report=$(lintian --fail-on error "$deb" 2>&1) || status=$?
echo "$report" | grep -v '^running with root privileges' || true
[ "$status" -eq 0 ] || { echo "FAIL: lintian reports errors"; exit 1; }
echo "no errors"

echo "== Manual pages"
for page in docs/man/*.1; do
    warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || { echo "FAIL: $page: $warnings"; exit 1; }
    echo "$page: no warnings"
done

echo "== A fresh Debian 12 root"
root=$(mktemp -d /tmp/zq-deb-root.XXXXXX)
chmod 755 "$root"   # apt's own user must reach its lists inside
cleanup() {
    # Whatever still runs inside the root is ended by its PID before the root is taken down.
    local link pid
    for link in /proc/[0-9]*/root; do
        pid=${link#/proc/}; pid=${pid%/root}
        [ "$(readlink "$link" 2>/dev/null)" = "$root" ] && kill "$pid" 2>/dev/null
    done
    umount -R "$root/proc" "$root/dev" 2>/dev/null || true
    if mount | grep -q " $root/"; then
        echo "still mounted under $root:"; mount | grep " $root/"
    elif [ -n "${KEEP_ROOT:-}" ]; then
        echo "root kept in $root"
    else
        rm -rf "$root"
    fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM
debootstrap --variant=minbase bookworm "$root" "$mirror" >"$root.log" 2>&1 \
    || { tail -20 "$root.log"; rm -f "$root.log"; exit 1; }
rm -f "$root.log"
# This machine's sources (updates and security included) in place of debootstrap's single line.
if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    cp /etc/apt/sources.list.d/debian.sources "$root/etc/apt/sources.list.d/"
    rm -f "$root/etc/apt/sources.list"
fi
mount -t proc proc "$root/proc"
mount --bind /dev "$root/dev"
cp "$deb" "$root/tmp/"
in_root() {
    chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root TERM=dumb \
        DEBIAN_FRONTEND=noninteractive "$@"
}
in_root apt-get update -q >/dev/null
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
