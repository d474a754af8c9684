#!/usr/bin/env bash
# The suite's main job: the whole road on one machine, in a fresh machine root. It installs
# every part's configuration, starts the task controller, the SNMP service host with the
# extension agent norvik, snmptrapd on a loopback port, the hardware gatherer "Mordane" on
# simulated hardware, the agent "FW NORVIK" and the tray monitor quillon; then drives a
# finding of every monitor and shows, as they happen, each event-log record, each trap as
# snmptrapd decodes it, and the display's code. It stops every service cleanly and ends
# with a summary: findings written, traps received, nothing lost.
#   scripts/demo.sh              the main job
#   scripts/demo.sh --reduced    the same with the reduced terminal model's gatherer
#   scripts/demo.sh --short      a quicker run (the test of the main job uses it)
#   scripts/demo.sh --eventmon   the tray monitor alone (scripts/eventmon-demo.sh)
# Uses a fresh temporary machine root unless VQ_ROOT is set. VQ_DEMO_BIN names a built bin
# directory to use as it is (no set-up step).
set -euo pipefail
cd "$(dirname "$0")/.."
program=mordane
short=0
case "${1:-}" in
  "") ;;
  --reduced) program=mordane_reduced ;;
  --short) short=1 ;;
  --eventmon) exec scripts/eventmon-demo.sh ;;
  *) echo "usage: scripts/demo.sh [--reduced | --short | --eventmon]" >&2; exit 2 ;;
esac
if [ -n "${VQ_DEMO_BIN:-}" ]; then
  bin="$(cd "$VQ_DEMO_BIN" && pwd)"
else
  scripts/setup.sh
  bin="$PWD/build/bin"
fi
lib="$(cd "$bin/../lib" && pwd)"
export VQ_ROOT="${VQ_ROOT:-$(mktemp -d /tmp/vqdemo.XXXXXX)}"
mkdir -p "$VQ_ROOT/devices"
. scripts/lib/root.sh
heading() { printf '\n== %s\n' "$*"; }
pause() { sleep "$(awk -v s="$1" -v q="$short" 'BEGIN { print (q ? s / 2 : s) }')"; }

. scripts/lib/suite.sh
wait_for() { vq_wait_for "$@"; }
running() { vq_running "$@"; }

# ---- configuration ---------------------------------------------------------------------
heading "machine root $VQ_ROOT"
vq_suite_configure   # one-second polling, healthy simulated hardware (scripts/lib/suite.sh)
agent="$vq_agent_key"
sensor() { vq_sensor "$@"; }
nic() { vq_nic "$@"; }
usb() { vq_usb "$@"; }
vq_rtc 1   # an HDD boot error, logged by the firmware while the terminal was off
"$bin/vqreg" add 'HKLM\SYSTEM\CurrentControlSet\Services\Mordane\USBDisconnected' --value DisconCount \
  --type REG_DWORD --data 7 > /dev/null
vq_put ledpanel.conf 'digits = 4\n'   # a four-digit seven-segment display
mkdir -p "$VQ_ROOT/quillon"        # quillon reads Quillon.ini beside its own file
cp "$bin/quillon" "$VQ_ROOT/quillon/quillon"
cp eventmon/install/Quillon.ini "$VQ_ROOT/quillon/Quillon.ini"

# ---- the services --------------------------------------------------------------------------
heading "starting the services"
. scripts/lib/mibs.sh
mibs="$(vq_mibs 2>/dev/null || true)"   # the base MIBs' cache and dist/snmp, when at hand
export VQ_TRAPD_MIBDIRS="$mibs"
export VQ_TRAPD_FORMAT1="$VQ_TRAP_FORMAT"
vq_start_snmptrapd > /dev/null
pids=("$trapd_pid")
quillon=""
cleanup() { kill "${pids[@]}" 2>/dev/null || true; }
trap cleanup EXIT
logs="$VQ_ROOT/demo-logs"
mkdir -p "$logs"
start_service() {  # NAME PROGRAM...: starts it and waits until it reports running
  local name="$1"; shift
  "$@" > "$logs/$(basename "$1").out" 2>&1 &
  pids+=($!)
  wait_for "running '$name'" 30
  printf '   %-12s running (pid %s)\n' "$name" "$!"
}
start_service TaskCtrl "$bin/taskctrl"
start_service SNMP "$bin/vqsnmpd"
start_service "FW NORVIK" "$bin/corvane"
# The agent reports only records newer than its first look at a log: wait for that look.
wait_for vq_agent_watching 30
VQ_LIBRARY_PATH="$lib" "$VQ_ROOT/quillon/quillon" > "$logs/quillon.out" 2>&1 &
quillon=$!
pids+=("$quillon")
printf '   %-12s running (pid %s), tray icon: %s\n' quillon "$quillon" \
  "$(wait_for "'$bin/vqtray' list | grep -q Quillon" 20 && echo Quillon)"
printf '   %-12s on 127.0.0.1:%s, %s\n' snmptrapd "$trapd_port" \
  "$([ -n "$mibs" ] && echo "names from VQ-TRAP-MIB" || echo "numeric OIDs (VQ-TRAP-MIB not found)")"

# ---- the live view: records, traps and the display as they arrive ----------------------
# One line per event-log record of the log "Mordane", per trap snmptrapd printed, and per
# change of the display's code.
live() {
  local rec=0 traps=0 code="" n line
  while [ ! -f "$VQ_ROOT/.live-stop" ]; do
    n="$("$bin/vqevent" info Mordane 2>/dev/null | awk '/^Newest:/ { print $2 }')"
    if [ -n "$n" ] && [ "$n" -gt "$rec" ]; then
      "$bin/vqevent" query Mordane --from $((rec + 1)) --count $((n - rec)) | awk '
        /^Record:/ { r = $2 } /^Type:/ { t = $2 } /^Event ID:/ { id = $3 }
        /^Message:/ { sub(/^Message: +/, ""); m = $0; sub(/\. .*/, ".", m)
                      printf "   record %-3s %s %-11s %s\n", r, id, t, substr(m, 1, 60) }'
      rec=$n
    fi
    n="$(grep -c '^TRAP ' "$VQ_ROOT/snmptrapd.out" 2>/dev/null || true)"
    if [ "${n:-0}" -gt "$traps" ]; then
      grep '^TRAP ' "$VQ_ROOT/snmptrapd.out" | sed -n "$((traps + 1)),${n}p" | while IFS= read -r line; do
        # TRAP enterprise specific|binding|binding...: the 7th binding is the event id,
        # the 9th its type; the notification's and first binding's names show what
        # snmptrapd made of them.
        awk -F'|' '{ split($1, h, " "); b1 = $2; sub(/ = .*/, "", b1)
          v7 = $8; sub(/^[^=]*= (STRING: )?/, "", v7); v9 = $10; sub(/^[^=]*= (STRING: )?/, "", v9)
          gsub(/"/, "", v7); gsub(/"/, "", v9); v7 = "0x" toupper(substr(v7, 3))
          name = h[3] ~ /::/ ? h[3] : h[2] " specific " h[3]
          printf "   trap       %s %-11s %s (%s, ...)\n", v7, v9, name, b1 }' \
          <<<"$line"
      done
      traps=$n
    fi
    n="$(sed -n 's/^code = //p' "$VQ_ROOT/ledpanel/state" 2>/dev/null || true)"
    if [ -n "$n" ] && [ "$n" != "$code" ]; then
      code=$n
      printf '   display    code %s\n' "$code"
      "$bin/vqled" | sed 's/^/              /'
    fi
    sleep 0.3
  done
}
live &
live_pid=$!
pids+=("$live_pid")

heading "the gatherer starts: serial number, BIOS version, SMART data, the HDD boot error, USB count (7)"
VQ_MORDANE_GRACE_MS=1000 "$bin/$program" > "$logs/mordane.out" 2>&1 &
pids+=($!)
wait_for "running Mordane" 30
pause 6
heading "the CPU overheats (86 degrees, limit 75)"
sensor 86 1000
pause 3
sensor 50 1000
pause 3
heading "the CPU fan stops"
sensor 60 0
pause 3
sensor 50 1000
pause 3
heading "the network cable is pulled five times: one record at the fifth loss"
for _ in 1 2 3 4 5; do nic 0; sleep 1.2; nic 1; sleep 1.2; done
pause 3
heading "a USB device is pulled (the count goes to 8)"
usb 1
pause 4

# ---- stopping ------------------------------------------------------------------------------
heading "stopping every service"
wait_for "[ \"\$(grep -c '^TRAP ' '$VQ_ROOT/snmptrapd.out')\" -ge \"\$('$bin/vqevent' info Mordane | awk '/^Count:/ { print \$2 }')\" ]" 20 || true
sleep 1
touch "$VQ_ROOT/.live-stop"
wait "$live_pid" 2>/dev/null || true
stopped=()
for name in Mordane "FW NORVIK" SNMP TaskCtrl; do
  if "$bin/vqsc" stop "$name" --wait 60 > /dev/null; then stopped+=("$name"); fi
done
kill -TERM "$quillon" && wait "$quillon" && stopped+=(quillon)
kill "$trapd_pid" 2>/dev/null || true
wait "$trapd_pid" 2>/dev/null || true
printf '   stopped: %s\n' "$(IFS=,; echo "${stopped[*]}" | sed 's/,/, /g')"

# ---- summary ---------------------------------------------------------------------------------
heading "summary"
vq_record_keys > "$VQ_ROOT/records.keys"
vq_trap_keys "$VQ_ROOT/snmptrapd.out" > "$VQ_ROOT/traps.keys"
records=$(wc -l < "$VQ_ROOT/records.keys")
traps=$(wc -l < "$VQ_ROOT/traps.keys")
lost=$(comm -23 "$VQ_ROOT/records.keys" "$VQ_ROOT/traps.keys" | wc -l)
repeated=$(comm -13 "$VQ_ROOT/records.keys" "$VQ_ROOT/traps.keys" | wc -l)
kinds=$(cut -d'|' -f1 "$VQ_ROOT/records.keys" | sort -u | tr '\n' ' ')
printf '   findings written (log Mordane)   %s records, event ids %s\n' "$records" "$kinds"
printf '   traps received by snmptrapd      %s\n' "$traps"
printf '   lost / repeated                  %s / %s\n' "$lost" "$repeated"
printf '   display code at the end          %s\n' "$(sed -n 's/^code = //p' "$VQ_ROOT/ledpanel/state" 2>/dev/null)"
printf '   services stopped cleanly         %s of 5\n' "${#stopped[@]}"
printf '   logs and traces                  %s\n' "$VQ_ROOT"
trap - EXIT
[ "$lost" -eq 0 ] && [ "${#stopped[@]}" -eq 5 ]
