#!/usr/bin/env bash
# Installs the Debian packages Dovetrail needs to build, run and test, when any is missing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev libcurl4-openssl-dev libcpp-httplib-dev libxlsxwriter-dev libsqlite3-dev
  libgtest-dev python3
  ca-certificates fonts-noto-cjk
  xvfb xauth imagemagick xdotool x11-utils dbus-daemon
  dpkg-dev file desktop-file-utils appstream lintian
  clang libclang-rt-dev clang-format
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null; then
    echo "Not root and no sudo here: as root, run  apt-get install --no-install-recommends ${missing[*]}" >&2
    exit 1
  fi
  sudo_cmd=(sudo)
fi
# Given on apt's own command line: sudo drops it from the environment.
"${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
"${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
