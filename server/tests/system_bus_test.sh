#!/usr/bin/env bash
# The machine-wide registration against a bus configured as the system bus is: "-RegServer"
# run as root (without TETHRA_REGISTRY_FILE) writes the system bus's activation file and
# policy; a bus that denies by default, reads that policy folder and that service folder
# then starts the server for a caller of the group dialout, lets root call it as well,
# refuses a caller in neither, and lets nobody but root own the name. "-UnregServer"
# removes both files.
#
# It runs in a mount namespace of its own in which /usr/share/dbus-1 and /var/lib are
# empty folders of the test: nothing of the machine is read or written. Skipped (77)
# unless run as root where mount namespaces can be made.
#
#     system_bus_test.sh <tethra-server>
set -euo pipefail
server=$1
iid='{5AA04296-B290-4D75-80E1-DE6703FB8774}'

if [ -z "${TETHRA_IN_OWN_NAMESPACE:-}" ]; then
  if [ "$(id -u)" != 0 ] || ! unshare -m --propagation private true 2>/dev/null; then
    echo "SKIP: needs root and mount namespaces"
    exit 77
  fi
  exec env TETHRA_IN_OWN_NAMESPACE=1 unshare -m --propagation private bash "$0" "$@"
fi

tmp=$(mktemp -d /tmp/tethra-system-bus-XXXXXX)
chmod 755 "$tmp"
bus_pid=
address=
server_pid=
owner_pid() {
  busctl --address="$address" call org.freedesktop.DBus /org/freedesktop/DBus \
    org.freedesktop.DBus GetConnectionUnixProcessID s Ostra.Tethra 2>/dev/null | cut -d' ' -f2
}
# The server this test's bus started goes with the test, as does the bus.
cleanup() {
  [ -z "$server_pid" ] && [ -n "$address" ] && server_pid=$(owner_pid || true)
  [ -n "$server_pid" ] && kill -9 "$server_pid" 2>/dev/null || true
  [ -n "$bus_pid" ] && kill "$bus_pid" 2>/dev/null && wait "$bus_pid" 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }

mkdir -p "$tmp/share" "$tmp/varlib" "$tmp/home"
mount --bind "$tmp/share" /usr/share/dbus-1
mount --bind "$tmp/varlib" /var/lib
unset TETHRA_REGISTRY_FILE
export HOME="$tmp/home" XDG_DATA_HOME="$tmp/home/data"

# Registration: the two files of the system bus.
"$server" -RegServer || fail "-RegServer"
service=/usr/share/dbus-1/system-services/Ostra.Tethra.service
policy=/usr/share/dbus-1/system.d/Ostra.Tethra.conf
[ -f "$service" ] || fail "no $service"
[ -f "$policy" ] || fail "no $policy"
grep -qx "Exec=$server -Embedding" "$service" || fail "Exec line: $(cat "$service")"
grep -qx "User=root" "$service" || fail "the server runs as root: $(cat "$service")"

# A bus set up as the system bus: everything denied but the bus itself, replies and
# signals; the policy folder and the service folder of the system bus.
cat > "$tmp/system.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <listen>unix:path=$tmp/bus</listen>
  <auth>EXTERNAL</auth>
  <servicedir>/usr/share/dbus-1/system-services</servicedir>
  <policy context="default">
    <allow user="*"/>
    <deny own="*"/>
    <deny send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_requested_reply="true" send_type="method_return"/>
    <allow send_requested_reply="true" send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
    <allow receive_type="signal"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus"/>
    <allow send_destination="org.freedesktop.DBus"
           send_interface="org.freedesktop.DBus.Introspectable"/>
  </policy>
  <includedir>/usr/share/dbus-1/system.d</includedir>
</busconfig>
EOF
mkfifo "$tmp/address"
dbus-daemon --config-file="$tmp/system.conf" --nofork --nopidfile --print-address=3 \
  3>"$tmp/address" &
bus_pid=$!
read -r address < "$tmp/address" || fail "the bus did not start"

dialout=$(getent group dialout | cut -d: -f3)
nobody=$(id -u nobody)
nogroup=$(id -g nobody)
as_dialout=(setpriv --reuid="$nobody" --regid="$nogroup" --groups="$dialout")
as_other=(setpriv --reuid="$nobody" --regid="$nogroup" --clear-groups)
# create [command prefix...]: a creation request, as the prefix runs it.
create() {
  "$@" busctl --address="$address" call Ostra.Tethra /Ostra/Tethra \
    Ostra.Tethra.IClassFactory CreateInstance s "$iid" 2>&1
}

# A member of dialout: the first call starts the server, which runs as root.
out=$(create "${as_dialout[@]}") ||
  fail "dialout caller: $out"
case $out in "io 0 "*) ;; *) fail "dialout caller got: $out" ;; esac
server_pid=$(owner_pid)
[ -n "$server_pid" ] || fail "nobody owns Ostra.Tethra"
[ "$(ps -o user= -p "$server_pid")" = root ] || fail "the server does not run as root"

# Root may call it too.
out=$(create) || fail "root: $out"
case $out in "io 0 "*) ;; *) fail "root got: $out" ;; esac

# Anybody else is refused by the bus, and does not reach the server.
if out=$(create "${as_other[@]}"); then
  fail "a caller outside dialout was let through: $out"
fi
case $out in *"ccess denied"* | *AccessDenied*) ;; *) fail "refused otherwise: $out" ;; esac

# Only root may own the name.
if out=$("${as_dialout[@]}" /usr/bin/python3 -c "
import dbus
dbus.bus.BusConnection('$address').request_name('Ostra.Tethra')
" 2>&1); then
  fail "a dialout member owned the name"
fi
case $out in *AccessDenied*) ;; *) fail "owning refused otherwise: $out" ;; esac

# The callers have gone, with their objects: the server ends by itself.
timeout 15 tail --pid="$server_pid" -f /dev/null || fail "the server did not end"
server_pid=

"$server" -UnregServer || fail "-UnregServer"
[ ! -e "$service" ] || fail "$service left"
[ ! -e "$policy" ] || fail "$policy left"
echo "PASS"
