#!/usr/bin/env bash
# Sets up, builds and runs the Tethra demonstration: a virtual port pair made by socat,
# one end mapped to COM1 and shared by two clients, the other end played by the program.
#   BUILD_DIR   build folder (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

build=${BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target tethra-demo -j "$(nproc)"
demo="$build/tools/demo/tethra-demo"

if ! command -v socat >/dev/null; then
  echo "demo: socat not found; using a pseudo-terminal pair of the program's own"
  exec "$demo"
fi

# socat reports each end of the pair as "PTY is /dev/pts/N" once it has made it.
coproc SOCAT { exec socat -d -d pty,raw,echo=0 pty,raw,echo=0 2>&1; }
trap 'kill "$SOCAT_PID" 2>/dev/null || true' EXIT
ptys=()
while ((${#ptys[@]} < 2)) && IFS= read -r -t 10 line <&"${SOCAT[0]}"; do
  if [[ $line == *"PTY is "* ]]; then
    ptys+=("${line##*PTY is }")
  fi
done
if ((${#ptys[@]} < 2)); then
  echo "demo: socat made no port pair" >&2
  exit 1
fi
echo "demo: socat pair ${ptys[0]} <-> ${ptys[1]}"
"$demo" "${ptys[0]}" "${ptys[1]}"
