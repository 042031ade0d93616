#!/usr/bin/env bash
# Installs what building and testing Tethra needs on Debian 12, without prompts.
# Only missing packages are installed; a machine that has them all is left alone.
# The debug window is built on Qt Widgets (qt6-base-dev, which brings the offscreen
# platform its tests run on); a font makes the tests' screenshots readable.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config
  libgtest-dev libsqlite3-dev
  socat
  qt6-base-dev fonts-dejavu-core
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
