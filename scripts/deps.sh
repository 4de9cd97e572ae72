#!/usr/bin/env bash
# Installs every Debian package that building, running and testing need, on Debian 12 (bookworm) or 13
# (trixie): every outside command a script or test calls comes from one of these (`dpkg -S "$(command -v
# TOOL)"` names the package). When all are installed already it changes nothing and asks no mirror.
set -euo pipefail
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; fi
PACKAGES=(
  # build
  cmake ninja-build g++ pkg-config ccache
  qt6-base-dev librtaudio-dev
  libasound2-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  # fuzzing (libFuzzer)
  clang libclang-rt-dev
  # tests: private PulseAudio server, its clients, signal tools
  pulseaudio pulseaudio-utils sox
  # tests: a JACK server beside it, and ALSA routed to it (JACK 2's development files keep RtAudio's)
  jackd2 libjack-jackd2-dev libasound2-plugins
  # tests: private PipeWire (reached through pipewire-pulse) and the session bus WirePlumber needs
  pipewire pipewire-bin pipewire-pulse wireplumber dbus-daemon
  # tests: X server, driving and reading it, screenshots
  xvfb xauth x11-utils xdotool x11-apps imagemagick
  # tests: a window manager for the desktop checks
  openbox
  # tests: the desktops users have: metacity, GNOME's mutter and KDE's KWin (Wayland compositors with Xwayland;
  # KWin draws frames only with its Breeze style), Qt's Wayland platform beside X11 (the program must choose
  # X11 there), and python3-xlib for a panel, the manager's close and screenshots of Xwayland
  metacity mutter kwin-wayland kwin-style-breeze xwayland qt6-wayland python3-xlib
  python3 python3-numpy python3-scipy
  locales
  # the filter tool's sound files
  libsndfile1-dev libsoxr-dev
  # the Debian package and its check (tests/package/check_deb.sh), its desktop and AppStream files
  dpkg-dev file lintian debootstrap man-db desktop-file-utils appstream
)
# What only one release has (a later release is taken for Debian 13).
release=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
if [ "$release" != bookworm ]; then
  [ "$release" = trixie ] || echo "deps.sh: ${release:-this release} is neither Debian 12 nor 13; using Debian 13's names" >&2
  PACKAGES+=(jack-example-tools)  # jack_lsp, part of jackd2 before
fi

missing() {  # the packages of the list that are not installed
  local status
  status=$(dpkg-query -W -f='${Package} ${db:Status-Abbrev}\n' "${PACKAGES[@]}" 2>/dev/null || true)
  local p
  for p in "${PACKAGES[@]}"; do
    grep -q "^$p ii " <<<"$status" || echo "$p"
  done
}

need=$(missing)
if [ -n "$need" ]; then
  echo "deps.sh: installing what is missing:" $need
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update
  # Waits while another apt or dpkg holds the lock instead of failing.
  $SUDO apt-get install -y --no-install-recommends -o DPkg::Lock::Timeout=900 "${PACKAGES[@]}"
fi

# A locale whose decimal separator is "," (the coefficient reader must not depend on the locale).
if ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
  $SUDO sed -i 's/^# *de_DE.UTF-8 UTF-8/de_DE.UTF-8 UTF-8/' /etc/locale.gen
  $SUDO locale-gen
fi
