#!/usr/bin/env bash
# Tries the README's set-up the way a new user meets it: on a minimal Debian 12
# (debootstrap --variant=minbase bookworm: no make, no git, no sudo), as root,
# from a plain copy of this source tree. Then, with sudo added, an ordinary
# user's `make deps` must install a package that went missing through sudo.
# Slow (about 1 GB of packages and a full build) and needs root: run by hand,
# never in CI.
#
#   sudo scripts/bare-debian-check.sh [MIRROR] [FOLDER]
#
# MIRROR defaults to the first Debian archive in this machine's apt sources
# (security archives skipped); FOLDER (default /var/tmp/dovetrail-bare) holds
# the chroot and is kept for a second run, which skips the bootstrap.
# TESTS picks the tests run in the chroot (a ctest -R pattern; empty: every
# test not labelled slow).
set -euo pipefail

src=$(cd "$(dirname "$0")/.." && pwd)
mirror=${1:-}
root=${2:-/var/tmp/dovetrail-bare}
tests=${TESTS-^layering$|^docs$|Gbk|Parse|Keeper|Export|Form}

[ "$(id -u)" -eq 0 ] || { echo "needs root (debootstrap, chroot, mounts)" >&2; exit 1; }

if [ -z "$mirror" ]; then
  # One-line sources ("deb URL suite ...") and deb822 ones ("URIs: URL ...").
  mirror=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources 2>/dev/null |
    awk '/^[[:space:]]*deb[[:space:]]/ { for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) { print $i; break } }
         /^[[:space:]]*URIs:/ { for (i = 2; i <= NF; i++) print $i }' |
    grep -v -- '-security' | head -n 1 || true)
fi
[ -n "$mirror" ] || { echo "no Debian mirror in the apt sources: give one as the first argument" >&2; exit 1; }
echo "== mirror $mirror, chroot $root"

if ! command -v debootstrap >/dev/null; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap
fi

step() { echo "== $(date -u +%H:%M:%S) $*"; }

if [ ! -f "$root/etc/debian_version" ]; then
  step "debootstrap --variant=minbase bookworm"
  nice -n 19 debootstrap --variant=minbase bookworm "$root" "$mirror" >"$root.debootstrap.log" 2>&1 ||
    { tail -n 20 "$root.debootstrap.log" >&2; exit 1; }
fi

mounted=()
cleanup() {
  local i
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount -l "${mounted[i]}" 2>/dev/null || true; done
}
trap cleanup EXIT
for m in proc sys dev dev/pts; do
  if ! mountpoint -q "$root/$m"; then
    case $m in
      proc) mount -t proc proc "$root/proc" ;;
      sys) mount -t sysfs sys "$root/sys" ;;
      *) mount --bind "/$m" "$root/$m" ;;
    esac
    mounted+=("$root/$m")
  fi
done
# Name resolution as the host has it (sudo looks the host's own name up).
cp /etc/resolv.conf "$root/etc/resolv.conf"
cp /etc/hosts "$root/etc/hosts"
# Package scripts must not start services inside the chroot.
printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
chmod +x "$root/usr/sbin/policy-rc.d"

step "copying the source tree (no .git, no build folders)"
rm -rf "$root/root/dovetrail"
mkdir -p "$root/root/dovetrail"
tar -C "$src" --exclude=./.git --exclude='./build*' --exclude=./fuzz-findings -cf - . |
  tar -C "$root/root/dovetrail" -xf -

in_root() { nice -n 19 chroot "$root" /usr/bin/env -i HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 "$@"; }

step "what a bare system lacks"
in_root sh -c 'for c in make git sudo cmake; do command -v $c >/dev/null && echo "  $c: present" || echo "  $c: missing"; done'

step "the README's first step, as root: apt-get install make"
in_root sh -c 'apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq make >/dev/null'

step "make build (as root: installs what is missing, configures, builds)"
in_root sh -c 'cd /root/dovetrail && make build JOBS=2' >"$root.build.log" 2>&1 ||
  { tail -n 40 "$root.build.log" >&2; exit 1; }
grep -E '^Installing:' "$root.build.log" | cut -c1-200 || true

step "tests: ${tests:-all but slow}"
in_root sh -c "cd /root/dovetrail && ctest --test-dir build -j2 --timeout 300 -LE slow ${tests:+-R '$tests'}" \
  >"$root.tests.log" 2>&1 || { tail -n 40 "$root.tests.log" >&2; exit 1; }
tail -n 3 "$root.tests.log"

step "an ordinary user with sudo: make deps brings back a missing package"
in_root sh -c 'DEBIAN_FRONTEND=noninteractive apt-get install -y -qq sudo >/dev/null &&
  (id tryer >/dev/null 2>&1 || useradd -m tryer) &&
  echo "tryer ALL=(ALL) NOPASSWD: ALL" >/etc/sudoers.d/tryer &&
  DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq xdotool >/dev/null &&
  rm -rf /home/tryer/dovetrail && mkdir /home/tryer/dovetrail &&
  tar -C /root/dovetrail --exclude=./build -cf - . | tar -C /home/tryer/dovetrail -xf - &&
  chown -R tryer /home/tryer/dovetrail'
in_root su tryer -c 'cd ~/dovetrail && make deps'
in_root dpkg-query -W -f='  ${Package} ${Status}\n' xdotool

step "done"
