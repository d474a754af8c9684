#!/usr/bin/env bash
# The suite's main job on its embedded default: the hardware gatherer service "Mordane"
# on simulated hardware. It installs the gatherer's configuration into a machine root,
# polls the CPU sensor every 2 seconds, and shows the event-log records as they arrive
# (vqevent follow): a CPU over-temperature first, then a stopped CPU fan, then healthy
# readings. At the end it stops the service as the service manager would.
#   scripts/demo.sh [--reduced]      (--reduced: the reduced terminal model's build)
# Uses a fresh temporary machine root unless VQ_ROOT is set.
set -euo pipefail
cd "$(dirname "$0")/.."
program=mordane
[ "${1:-}" = --reduced ] && program=mordane_reduced
scripts/setup.sh
bin="$PWD/build/bin"
export VQ_ROOT="${VQ_ROOT:-$(mktemp -d /tmp/vqdemo.XXXXXX)}"
echo "== machine root: $VQ_ROOT"
scripts/install-gatherer.sh build

# Short polling for the demonstration (the installed default is 300 s).
ini="$(find "$VQ_ROOT/drive_c" -iname mordane.ini | head -1)"
awk 'BEGIN{s=""} /^\[/{s=$0} { if (s=="[CpuSensor]" && $0 ~ /^INTERVAL=/) print "INTERVAL=2"; else print }' \
  "$ini" > "$ini.new" && mv "$ini.new" "$ini"

sensor() {  # the simulated sensor driver's readings (docs/device.md)
  mkdir -p "$VQ_ROOT/devices"
  printf 'provider = simulated\ncase_temperature = 34\ncpu_temperature = %s\ncpu_fan = %s\ncooling_fan = 1\npower_5v = 5020\npower_12v = 12050\n' \
    "$1" "$2" > "$VQ_ROOT/devices/drvsensor.conf.new"
  mv "$VQ_ROOT/devices/drvsensor.conf.new" "$VQ_ROOT/devices/drvsensor.conf"
}
sensor 86 1000

"$bin/vqevent" follow Mordane --from 1 &
follow=$!
# The 10-second grace period after a stop is shortened for the demonstration.
VQ_MORDANE_GRACE_MS=1000 "$bin/$program" &
service=$!
cleanup() { kill "$follow" "$service" 2>/dev/null || true; }
trap cleanup EXIT

sleep 5
echo "== the service as the service manager sees it"
"$bin/vqsc" query Mordane
echo "== the CPU fan stops"
sensor 70 0
sleep 5
echo "== readings are healthy again"
sensor 50 1000
sleep 3
echo "== stopping the service"
"$bin/vqsc" stop Mordane
wait "$service" || true
sleep 0.5
kill "$follow" 2>/dev/null || true
wait "$follow" 2>/dev/null || true
echo "== trace lines: $(find "$VQ_ROOT/trace" -name '*Mordane.log')"
tail -n 3 "$VQ_ROOT"/trace/*Mordane.log
