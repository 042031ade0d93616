#!/usr/bin/env bash
# Installs what building and testing Tethra needs on Debian 12, without prompts.
# Only missing packages are installed; a machine that has them all is left alone.
# qt6-base-dev carries QtDBus; the bus tests start their own dbus-daemon and use
# python3-dbus with the GLib main loop (python3-gi), dbus-send (dbus-bin) and busctl
# (systemd) as clients in other processes.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config
  libgtest-dev libsqlite3-dev
  socat
  qt6-base-dev
  dbus-daemon dbus-bin python3-dbus python3-gi systemd
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]} == 0)); then
  exit 0
fi

sudo=()
if [[ $(id -u) -ne 0 ]]; then
  command -v sudo >/dev/null || { echo "setup: need root or sudo to install: ${missing[*]}" >&2; exit 1; }
  sudo=(sudo)
fi
echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
