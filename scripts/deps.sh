#!/usr/bin/env bash
# Installs the Debian packages of the sets named (default: build) on Debian 12 (bookworm) or 13 (trixie):
#   build     building and running the program and its filter tool (scripts/run.sh)
#   test      everything the tests call besides (scripts/test.sh: build test)
#   package   building and checking the Debian package (tests/package/check_deb.sh)
# scripts/deps.sh --list SET... prints the sets' packages and installs nothing.
# Every outside command a script or test calls comes from one of these (`dpkg -S "$(command -v TOOL)"` names
# the package). Only what is missing is installed, and nothing already installed is ever removed, downgraded
# or replaced: a package of the test set that the machine's own packages conflict with (pulseaudio where a
# desktop has pipewire-audio) is left out, said in one line, and recorded in .deps-left-out at the top of the
# repository, where the tests that need it look before they skip. When all are installed it asks no mirror.
set -euo pipefail
cd "$(dirname "$0")/.."
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; fi
left_out_file=$PWD/.deps-left-out

build_set=(
  cmake ninja-build g++ pkg-config
  # JACK 2's development files satisfy RtAudio's, where apt would pick JACK 1's, which the test set's jackd2
  # could not be installed beside
  qt6-base-dev qt6-wayland librtaudio-dev libjack-jackd2-dev libasound2-dev libpipewire-0.3-dev
  libsndfile1-dev libsoxr-dev
)
test_set=(
  ccache clang-format
  libgtest-dev libgmock-dev libbenchmark-dev
  # fuzzing (libFuzzer)
  clang libclang-rt-dev
  # a private PulseAudio server, its clients, signal tools
  pulseaudio pulseaudio-utils sox
  # a JACK server beside it, and ALSA routed to it
  jackd2 libasound2-plugins
  # a private PipeWire (reached through pipewire-pulse) and the session bus WirePlumber needs
  pipewire pipewire-bin pipewire-pulse wireplumber dbus-daemon
  # an X server, driving and reading it, screenshots
  xvfb xauth x11-utils xdotool x11-apps imagemagick
  # the desktops users have: openbox, metacity, GNOME's mutter and KDE's KWin (Wayland compositors with
  # Xwayland; KWin draws frames only with its Breeze style), and python3-xlib for a panel, the manager's
  # close and screenshots of Xwayland
  openbox metacity mutter kwin-wayland kwin-style-breeze xwayland python3-xlib
  python3 python3-numpy python3-scipy
  # a locale whose decimal separator is "," (the coefficient reader must not depend on the locale)
  locales
  # the desktop entry's and the AppStream file's validators
  desktop-file-utils appstream
)
package_set=(dpkg-dev file lintian debootstrap man-db)

release=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
if [ "$release" != bookworm ]; then
  [ "$release" = trixie ] || echo "deps.sh: ${release:-this release} is neither Debian 12 nor 13; using Debian 13's names" >&2
  test_set+=(jack-example-tools)  # jack_lsp, part of jackd2 before
fi

list=
if [ "${1:-}" = --list ]; then list=1; shift; fi
sets=("$@")
[ "${#sets[@]}" -gt 0 ] || sets=(build)
wanted=()
for set in "${sets[@]}"; do
  case $set in
    build) wanted+=("${build_set[@]}") ;;
    test) wanted+=("${test_set[@]}") ;;
    package) wanted+=("${package_set[@]}") ;;
    *) echo "usage: scripts/deps.sh [--list] [build|test|package]..." >&2; exit 2 ;;
  esac
done
if [ -n "$list" ]; then printf '%s\n' "${wanted[@]}"; exit 0; fi

missing() {  # the wanted packages that are not installed
  local status p
  status=$(dpkg-query -W -f='${Package} ${db:Status-Abbrev}\n' "${wanted[@]}" 2>/dev/null || true)
  for p in "${wanted[@]}"; do
    grep -q "^$p ii " <<<"$status" || echo "$p"
  done
}

removals() {  # removals PACKAGE...: what installing them would remove, as apt simulates it (-s: changes nothing)
  LC_ALL=C apt-get -s install --no-install-recommends "$@" 2>/dev/null | awk '$1 == "Remv" { print $2 }' || true
}

mapfile -t need < <(missing)
left_out=()
if [ "${#need[@]}" -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update
  # A package whose installation would take an installed one away is left out, and only that package.
  if [ -n "$(removals "${need[@]}")" ]; then
    keep=()
    for p in "${need[@]}"; do
      gone=$(removals "$p" | tr '\n' ' ')
      if [ -n "$gone" ]; then
        left_out+=("$p")
        printf '%s\t%s\n' "$p" "${gone% }"
      else
        keep+=("$p")
      fi
    done >"$left_out_file.new"
    need=("${keep[@]}")
  fi
  if [ "${#need[@]}" -gt 0 ]; then
    echo "deps.sh: installing what is missing: ${need[*]}"
    # --no-remove: should apt still want to take something away, it stops instead. Waits while another apt
    # or dpkg holds the lock instead of failing.
    $SUDO apt-get install -y --no-install-recommends --no-remove -o DPkg::Lock::Timeout=900 "${need[@]}"
  fi
fi
if [ "${#left_out[@]}" -gt 0 ]; then
  mv "$left_out_file.new" "$left_out_file"
  while IFS=$'\t' read -r p gone; do
    echo "deps.sh: $p is left out: installing it would remove $gone, which stay as they are; the tests that need $p are skipped"
  done <"$left_out_file"
elif [[ " ${sets[*]} " == *" test "* ]]; then
  rm -f "$left_out_file"
fi
rm -f "$left_out_file.new"

if [[ " ${sets[*]} " == *" test "* ]] && ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
  $SUDO sed -i 's/^# *de_DE.UTF-8 UTF-8/de_DE.UTF-8 UTF-8/' /etc/locale.gen
  $SUDO locale-gen
fi
