#!/usr/bin/env bash
# The suite's main job on its embedded default: the hardware gatherer service "Mordane"
# on simulated hardware. It installs the gatherer's configuration into a machine root,
# polls the CPU sensor every 2 seconds, and shows the event-log records as they arrive
# (vqevent follow): a CPU over-temperature first, then a stopped CPU fan, then healthy
# readings. At the end it stops the service as the service manager would.
#   scripts/demo.sh [--reduced]      (--reduced: the reduced terminal model's build)
#   scripts/demo.sh --eventmon       (the tray event monitor instead: scripts/eventmon-demo.sh)
# Uses a fresh temporary machine root unless VQ_ROOT is set.
set -euo pipefail
cd "$(dirname "$0")/.."
[ "${1:-}" = --eventmon ] && exec scripts/eventmon-demo.sh
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

# The link status monitor polls every second with a one-minute window (docs/iphlp.md).
awk 'BEGIN{s=""} /^\[/{s=$0} { if (s=="[NICStatus]" && $0 ~ /^INTERVAL=/) print "INTERVAL=1";
  else if (s=="[NICStatus]" && $0 ~ /^Times=/) print "Times=60"; else print }' "$ini" > "$ini.new" && mv "$ini.new" "$ini"
nic() {  # the simulated interface table: one Ethernet NIC, index 2, link up (1) or down (0)
  mkdir -p "$VQ_ROOT/devices"
  printf 'provider = simulated\nif.1.index = 2\nif.1.up = %s\n' "$1" > "$VQ_ROOT/devices/iftable.conf.new"
  mv "$VQ_ROOT/devices/iftable.conf.new" "$VQ_ROOT/devices/iftable.conf"
}
nic 1

# The firmware area (docs/device.md): a BIOS version and a serial number, read once at start.
mkdir -p "$VQ_ROOT/devices"
printf 'provider = simulated\nbios_version = A1\nsys_manufacturer = Maker\nsys_product = Model\nsys_version = 1.0\nsys_serial = ABC123\n' \
  > "$VQ_ROOT/devices/physmem.conf"

# The RTC memory (docs/device.md): the firmware logged an HDD boot error (count, month 12,
# day 31, hour 23) while the terminal was off; the monitor polls every second.
awk 'BEGIN{s=""} /^\[/{s=$0} { if (s=="[RtcSensor]" && $0 ~ /^INTERVAL=/) print "INTERVAL=1"; else print }' \
  "$ini" > "$ini.new" && mv "$ini.new" "$ini"
rtc() {  # the simulated RTC driver, machine type 2: HDD boot error log at 169-173
  printf 'provider = simulated\nmachine_type = 2\ncmos.169 = %s\ncmos.170 = 18\ncmos.171 = 49\ncmos.172 = 35\n' \
    "$1" > "$VQ_ROOT/devices/rtcdrv.conf.new"
  mv "$VQ_ROOT/devices/rtcdrv.conf.new" "$VQ_ROOT/devices/rtcdrv.conf"
}
rtc 1

# SMART (docs/wmi.md): two simulated drives; drive 2 has three pending sectors.
printf '%s\n' 'drives = 2' 'drive1.attr.1 = 11 100 100 0' 'drive1.thresh.1 = 16' 'drive1.attr.5 = 51 100 100 0' \
  'drive1.thresh.5 = 36' 'drive1.attr.9 = 50 97 97 23101' 'drive1.attr.194 = 34 36 45 36' \
  'drive2.attr.5 = 51 90 90 12' 'drive2.thresh.5 = 36' 'drive2.attr.197 = 18 100 100 3' > "$VQ_ROOT/devices/smart.conf"

# USB removals (docs/device.md): the simulated device-change source; the count so far is 7.
usb() { printf 'provider = simulated\nremovals = %s\n' "$1" > "$VQ_ROOT/devices/usb.conf.new"
  mv "$VQ_ROOT/devices/usb.conf.new" "$VQ_ROOT/devices/usb.conf"; }
usb 0
"$bin/vqreg" add 'HKLM\SYSTEM\CurrentControlSet\Services\Mordane\USBDisconnected' --value DisconCount --type REG_DWORD --data 7 >/dev/null

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
echo "== the firmware texts read at the start: serial number (0x4004000B) and BIOS version (0x40040008)"
"$bin/vqevent" query Mordane | awk '/^Event ID:/{id=$3} /^Data:/{if (id=="0x4004000B" || id=="0x40040008") print id, $2}' |
  while read -r id hex; do printf '   %s  %b\n' "$id" "$(sed 's/../\\x&/g' <<<"$hex")"; done
echo "== SMART (0x4004000F): per drive, each watched attribute's current, worst, raw value and threshold"
"$bin/vqevent" query Mordane | awk '/^Event ID:/{id=$3} /^Data:/{if (id=="0x4004000F" && !done) {print $2; done=1}}' |
  while read -r hex; do
    for ((d = 0; d < ${#hex} / 156; d++)); do
      line="   drive $((d + 1)):"
      for ((k = 0; k < 6; k++)); do
        slot=${hex:$((d * 156 + k * 26)):26}
        [ "${slot:0:2}" = 00 ] && continue
        raw=""; for ((b = 10; b >= 5; b--)); do raw+=${slot:$((b * 2)):2}; done
        line+="  id $((16#${slot:0:2})) $((16#${slot:6:2}))/$((16#${slot:8:2})) raw $((16#$raw)) thr $((16#${slot:24:2}))"
      done
      echo "$line"
    done
  done
echo "== the CPU fan stops"
sensor 70 0
sleep 5
echo "== readings are healthy again"
sensor 50 1000
sleep 3
echo "== the network cable is pulled and plugged back five times: one record (0x40040007) at the fifth loss"
for i in 1 2 3 4 5; do nic 0; sleep 1.3; nic 1; sleep 1.3; done
sleep 1
echo "== HDD boot error log: reported at the start (0xC004000A); a change while running is only absorbed"
rtc 2
sleep 2
"$bin/vqreg" query 'HKLM\SYSTEM\CurrentControlSet\Services\Mordane\RtcSensor\HDDBootErrorLog' HDDegreeRecode
echo "== two USB devices are pulled: records 0x4004000E with the counts 8 and 9 (7 at the start)"
usb 2
sleep 1.5
"$bin/vqreg" query 'HKLM\SYSTEM\CurrentControlSet\Services\Mordane\USBDisconnected' DisconCount
echo "== stopping the service"
"$bin/vqsc" stop Mordane
wait "$service" || true
sleep 0.5
kill "$follow" 2>/dev/null || true
wait "$follow" 2>/dev/null || true
echo "== trace lines: $(find "$VQ_ROOT/trace" -name '*Mordane.log')"
tail -n 3 "$VQ_ROOT"/trace/*Mordane.log
