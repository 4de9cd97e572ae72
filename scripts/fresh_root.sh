# Making fresh Debian roots with debootstrap, and taking them down again whatever happens. Sourced by
# .ci/run and tests/package/check_deb.sh (as root), which call guard_roots first.

# mirror_for SUITE: the first URI of this machine's apt sources that serves SUITE.
mirror_for() {
    local f
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$f" ] || continue
        awk -v want="$1" '$1 == "deb" { i = 2; if ($2 ~ /^\[/) { while (i < NF && $i !~ /\]$/) i++; i++ }
                                        if ($(i + 1) == want) { print $i; exit } }' "$f"
    done
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] || continue
        awk -v want="$1" 'BEGIN { RS = "" }
            tolower($0) ~ /(^|\n)enabled: *no/ { next }
            { uri = ""; hit = 0; n = split($0, line, "\n")
              for (k = 1; k <= n; k++) {
                  split(line[k], w, /[ \t]+/)
                  if (w[1] == "URIs:") uri = w[2]
                  if (w[1] == "Suites:") for (j = 2; j in w; j++) if (w[j] == want) hit = 1
              }
              if (hit && uri != "") { print uri; exit } }' "$f"
    done
}

host_suite() { . /etc/os-release && echo "${VERSION_CODENAME:-}"; }

# mirrors_for SUITE: sets $mirror and $security for SUITE; another release on the same mirror as this
# machine's own is the usual case (this machine's sources name only its own release).
mirrors_for() {
    local own
    own=$(host_suite)
    mirror=$(mirror_for "$1" | head -1)
    [ -n "$mirror" ] || mirror=$(mirror_for "$own" | head -1)
    security=$(mirror_for "$1-security" | head -1)
    [ -n "$security" ] || security=$(mirror_for "$own-security" | head -1)
    mirror=${MIRROR:-${mirror:-http://deb.debian.org/debian}}
    security=${security:-http://deb.debian.org/debian-security}
}

# guard_roots PREFIX "$0" "$@": the script runs again as a worker, in a session of its own, with
# $ZQ_ROOT_BASE a new directory PREFIX.XXXXXX for the roots it makes; this first process only waits. When
# the worker ends, or this process gets SIGINT or SIGTERM, the worker's session is ended and every root in
# the directory taken down; the status is the worker's, 130 on SIGINT, 143 on SIGTERM. In the worker it
# returns at once. Why two processes: bash runs a trap only when the foreground command has ended, and a
# trap that comes while bash expands a command substitution can fail to run at all ("unexpected EOF while
# looking for matching `)'", bash 5.2); this process does nothing but wait, so its traps run at once.
guard_roots() {
    [ -z "${ZQ_ROOT_BASE:-}" ] || return 0
    guard_base=$(realpath "$(mktemp -d "$1.XXXXXX")")
    shift
    trap guard_end EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
    # A background command would ignore SIGINT and SIGQUIT, and hand that on to every test.
    ( trap - INT QUIT; ZQ_ROOT_BASE=$guard_base exec setsid "$@" ) &
    guard_worker=$!
    local rc=0
    wait "$guard_worker" || rc=$?
    exit "$rc"
}

guard_end() {
    local rc=$? i
    set +e
    trap '' INT TERM   # the clean-up is short and must finish
    trap - EXIT
    kill -TERM -- "-$guard_worker" "$guard_worker" 2>/dev/null
    for i in $(seq 1 20); do
        kill -0 -- "-$guard_worker" 2>/dev/null || kill -0 "$guard_worker" 2>/dev/null || break
        sleep 0.5
    done
    kill -KILL -- "-$guard_worker" "$guard_worker" 2>/dev/null
    wait "$guard_worker" 2>/dev/null
    take_down_root "$guard_base" || { [ "$rc" -ne 0 ] || rc=1; }
    exit "$rc"
}

# make_root ROOT SUITE [PACKAGE,...]: debootstrap (minbase) and apt sources with updates and security.
make_root() {
    local root=$1 suite=$2 include=${3:+--include=$3}
    chmod 755 "$root"   # apt's own user must reach its lists inside
    if ! debootstrap --variant=minbase $include "$suite" "$root" "$mirror" >"$root.debootstrap.log" 2>&1; then
        tail -30 "$root.debootstrap.log"
        return 1
    fi
    rm -f "$root.debootstrap.log" "$root"/etc/apt/sources.list.d/*
    printf 'deb %s %s main\ndeb %s %s-updates main\ndeb %s %s-security main\n' \
        "$mirror" "$suite" "$mirror" "$suite" "$security" "$suite" >"$root/etc/apt/sources.list"
    cp -L /etc/resolv.conf "$root/etc/resolv.conf"
    # No service starts inside the root when its package is installed (the usual policy for a chroot).
    printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
    chmod 755 "$root/usr/sbin/policy-rc.d"
    chmod 1777 "$root/tmp"
}

# mount_root ROOT: proc, sys, dev, dev/pts and a dev/shm of its own. The root is a mount point of its
# own, as in a container, and a private one: a test that makes a mount namespace of its own (unshare)
# can then change the propagation of "/", and nothing mounted inside reaches this machine.
mount_root() {
    local root=$1
    mount --bind "$root" "$root" && mount --make-private "$root"
    mount -t proc proc "$root/proc"
    mount -t sysfs sysfs "$root/sys" 2>/dev/null \
        || { mount --rbind /sys "$root/sys" && mount --make-rslave "$root/sys"; }
    mount --bind /dev "$root/dev" && mount --make-rslave "$root/dev"
    mount --bind /dev/pts "$root/dev/pts" && mount --make-rslave "$root/dev/pts"
    mount -t tmpfs -o mode=1777 tmpfs "$root/dev/shm"
}

# A clean environment for commands in the root: chroot "$root" "${root_env[@]}" CMD...
root_env=(/usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root TERM=dumb)

root_pids() {  # root_pids ROOT: the processes whose root directory is ROOT or lies in it
    find /proc/[0-9]*/root -maxdepth 0 \( -lname "$1" -o -lname "$1/*" \) -printf '%h\n' 2>/dev/null \
        | sed 's|^/proc/||'
    return 0
}

root_mounts() {  # root_mounts ROOT: the mounts at or under ROOT, deepest first
    awk -v r="$1" '$5 == r || index($5, r "/") == 1 { print $5 }' /proc/self/mountinfo | sort -r
}

# take_down_root ROOT: ends every process in ROOT (or in a root inside it), undoes the mounts and removes
# the files (KEEP_ROOT=1 keeps them for a look); fails, removing nothing, while a mount is left (rm must
# never go through a mount).
take_down_root() {
    local root=$1 pids i m
    local -
    set +e
    for i in $(seq 1 20); do
        pids=$(root_pids "$root")
        [ -n "$pids" ] || break
        if [ "$i" -eq 1 ]; then kill $pids 2>/dev/null; sleep 1; else kill -9 $pids 2>/dev/null; sleep 0.5; fi
    done
    pids=$(root_pids "$root")
    [ -z "$pids" ] || echo "processes in $root would not end: $pids" >&2
    for m in $(root_mounts "$root"); do umount "$m" 2>/dev/null || umount -l "$m"; done
    if [ -n "$(root_mounts "$root")" ]; then
        echo "mounts left under $root, not removing it:" >&2
        root_mounts "$root" >&2
        return 1
    fi
    if [ -n "${KEEP_ROOT:-}" ]; then echo "root kept in $root"; return 0; fi
    rm -rf --one-file-system "$root" "$root.debootstrap.log"
}
