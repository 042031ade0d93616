#!/usr/bin/env bash
# Sets up, builds and runs the Tethra demonstration: tethra-server started by the message
# bus for two client processes (one in C++ on the client library, one in Python on
# python3-dbus) that share COM1, a virtual port made by socat, while the demonstration
# plays the far end of the line.
#
# Everything it makes lives in a temporary directory that goes when it ends: a registry
# store of its own (COM1's mapping and the server's registration), the activation file,
# and a session bus of its own. The bus is always private, even when a session bus runs:
# the server the bus starts inherits the bus's environment, and only a bus started here
# points it at the demonstration's registry store. The user's bus and settings are left
# alone.
#   BUILD_DIR   build folder (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

build=${BUILD_DIR:-build}
echo "demo: building"
cmake -S . -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target tethra-server tethra-demo -j "$(nproc)" >/dev/null
server=$(realpath "$build/server/tethra-server")
demo="$build/tools/demo/tethra-demo"

work=$(mktemp -d)
bus_pid=
socat_pid=
cleanup() {
  [[ -n $socat_pid ]] && kill "$socat_pid" 2>/dev/null || true
  [[ -n $bus_pid ]] && kill "$bus_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

export TETHRA_REGISTRY_FILE=$work/registry.db
export XDG_DATA_HOME=$work/data

echo
echo "1. Register the server: tethra-server -RegServer writes its class keys into the"
echo "   registry store and an activation file for the bus."
"$server" -RegServer
echo "   $XDG_DATA_HOME/dbus-1/services/Ostra.Tethra.service:"
sed 's/^/     /' "$XDG_DATA_HOME/dbus-1/services/Ostra.Tethra.service"

echo
echo "2. Start a session bus of the demonstration's own, which reads that activation file."
cat >"$work/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:dir=$work</listen>
  <servicedir>$XDG_DATA_HOME/dbus-1/services</servicedir>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
CONF
# The bus's own log (activations) and the server's output go to a file; the story stays
# on the screen.
exec 3< <(exec dbus-daemon --config-file="$work/bus.conf" --nofork --print-address=1 \
  --print-pid=1 2>"$work/bus.log")
read -r -t 10 address <&3
read -r -t 10 bus_pid <&3
export DBUS_SESSION_BUS_ADDRESS=$address
unset DBUS_STARTER_ADDRESS DBUS_STARTER_BUS_TYPE
echo "   $address"

echo
echo "3. Make a virtual port pair with socat; one end becomes COM1, the other is the far end."
coproc SOCAT { exec socat -d -d pty,raw,echo=0 pty,raw,echo=0 2>&1; }
socat_pid=$SOCAT_PID
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
echo "   ${ptys[0]} <-> ${ptys[1]}"

echo
echo "4. Two clients share COM1."
python=/usr/bin/python3
status=0
"$demo" "${ptys[0]}" "${ptys[1]}" "$python" "$PWD/tools/demo/client_b.py" 1 || status=$?

echo
"$server" -UnregServer
echo "5. tethra-server -UnregServer removed the registration again."
if ((status != 0)); then
  echo "demo: something went wrong; the bus's log:" >&2
  cat "$work/bus.log" >&2
fi
exit "$status"
