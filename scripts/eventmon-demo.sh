#!/usr/bin/env bash
# The tray event monitor quillon on a fresh machine root: it scans the System log every
# five seconds and shows a matching record's code on the seven-segment display, which
# vqled draws in the terminal. Shows a record written by hand, a record from another
# source, and the record the gatherer service "Mordane" leaves when it starts; then opens
# the icon's menu with vqtray and ends quillon through its only item.
#   scripts/eventmon-demo.sh        (also: scripts/demo.sh --eventmon)
# Uses a fresh temporary machine root unless VQ_ROOT is set.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
bin="$PWD/build/bin"
export VQ_ROOT="${VQ_ROOT:-$(mktemp -d /tmp/vqeventmon.XXXXXX)}"
export VQ_LIBRARY_PATH="$PWD/build/lib"   # dbgtrace.dll and ledpanel.dll for the copy below
echo "== machine root: $VQ_ROOT"

# quillon reads Quillon.ini beside its own file: run a copy with the sample ini next to it.
app="$VQ_ROOT/quillon"
mkdir -p "$app" "$VQ_ROOT/devices"
cp "$bin/quillon" "$app/quillon"
cp eventmon/install/Quillon.ini "$app/Quillon.ini"
echo "== Quillon.ini: 7036 (a service changed state) shows 5, a record of the source Mordane shows 9"
grep -E '^(EventID|KeyWord)[0-9]+=' "$app/Quillon.ini" | sed 's/^/   /'
printf 'digits = 4\n' > "$VQ_ROOT/devices/ledpanel.conf"   # a four-digit display

"$app/quillon" &
quillon=$!
service=""
cleanup() { kill "$quillon" ${service:+"$service"} 2>/dev/null || true; }
trap cleanup EXIT

# Waits (up to 15 s: three scans) until the display shows the code, then draws it.
show() {
  for _ in $(seq 150); do
    grep -qx "code = $1" "$VQ_ROOT/ledpanel/state" 2>/dev/null && break
    sleep 0.1
  done
  "$bin/vqled"
}

sleep 1
echo "== the icon in the notification area"
"$bin/vqtray" list
echo "== a System record: source \"Service Control Manager\", event 7036"
"$bin/vqevent" write --log System --source "Service Control Manager" --id 7036 > /dev/null
show 5
echo "== a System record of the source Mordane"
"$bin/vqevent" write --log System --source Mordane --id 3 > /dev/null
show 9
echo "== the gatherer service starts: the service layer writes its own 7036 record"
scripts/install-gatherer.sh build > /dev/null
VQ_MORDANE_GRACE_MS=1000 "$bin/mordane" > /dev/null 2>&1 &
service=$!
show 5
"$bin/vqevent" query System --backwards --count 1 | grep -E '^(Source|Event ID|Message):' | sed 's/^/   /'
"$bin/vqsc" stop Mordane > /dev/null
wait "$service" || true
service=""

echo "== a right click on the icon opens its menu; its item ends quillon"
"$bin/vqtray" click "$quillon"
sleep 1
"$bin/vqtray" list
"$bin/vqtray" choose "$quillon" 1
wait "$quillon" && echo "quillon ended (exit 0)"
trap - EXIT
echo "== trace: $VQ_ROOT/trace/SYSTEM_CurrentControlSet_Services_Quillon.log (last lines)"
tail -n 4 "$VQ_ROOT/trace/SYSTEM_CurrentControlSet_Services_Quillon.log"
