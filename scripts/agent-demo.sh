#!/usr/bin/env bash
# The agent on the suite's central road, on one machine: snmptrapd listens on a loopback
# port, the SNMP service host vqsnmpd loads norvik, the gatherer mordane reports a CPU
# over-temperature from its simulated sensor, and the agent corvane ("FW NORVIK") finds
# the record in the log "Mordane", matches the installed filter and sends the trap. Prints
# what snmptrapd decoded, the agent's application-log lines and the provider journal.
#   scripts/agent-demo.sh
# Uses a fresh temporary machine root unless VQ_ROOT is set.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
bin="$PWD/build/bin"
export VQ_ROOT="${VQ_ROOT:-$(mktemp -d /tmp/vqagent.XXXXXX)}"
echo "== machine root: $VQ_ROOT"
scripts/install-gatherer.sh build > /dev/null
scripts/install-agent.sh build > /dev/null

# Short polling for the demonstration: the gatherer's CPU sensor and the agent's watch, 1 s.
ini="$(find "$VQ_ROOT/drive_c" -iname mordane.ini | head -1)"
awk 'BEGIN{s=""} /^\[/{s=$0} { if (s=="[CpuSensor]" && $0 ~ /^INTERVAL=/) print "INTERVAL=1"; else print }' \
  "$ini" > "$ini.new" && mv "$ini.new" "$ini"
"$bin/vqreg" add 'HKLM\SOFTWARE\QIR\VQ FRAMEWORK\CORVANE\EVENTLOG_FILTER_INF' --value WATCH_INTERVAL --type REG_DWORD --data 1
# No task controller in this demonstration.
"$bin/vqreg" add 'HKLM\SOFTWARE\QIR\VQ FRAMEWORK\CORVANE' --value STAND_ALONE --type REG_DWORD --data 1
"$bin/vqreg" add 'HKLM\SOFTWARE\QIR\VQ FRAMEWORK\CORVANE' --value WAITTIME_AFTER_SNMP_STARTED --type REG_DWORD --data 0
# A second filter, before the installed one: the case temperature (event 12) goes to the
# provider library instead of a trap.
list='HKLM\SOFTWARE\QIR\VQ FRAMEWORK\CORVANE\EVENTLOG_FILTER_INF\MATCH\FILTER_LIST'
"$bin/vqreg" add "$list\\CASE_TEMP" --value EVENT_ID --type REG_DWORD --data 12
"$bin/vqreg" add "$list\\CASE_TEMP" --value EVENT_TYPE --type REG_DWORD --data 0xffffffff
"$bin/vqreg" add "$list\\CASE_TEMP" --value LOG_TYPE --data Mordane
"$bin/vqreg" add "$list\\CASE_TEMP" --value SOURCE_NAME --data Mordane
"$bin/vqreg" add "$list\\CASE_TEMP" --value SENDTYPE --data SMS
"$bin/vqreg" delete "$list\\EVENT_LOG_FILTER_LIST"
"$bin/vqreg" add "$list\\EVENT_LOG_FILTER_LIST" --value A --data CASE_TEMP
"$bin/vqreg" add "$list\\EVENT_LOG_FILTER_LIST" --value B --data MORDANE_ALL

mkdir -p "$VQ_ROOT/devices"
printf 'provider = simulated\ncase_temperature = 34\ncpu_temperature = 86\ncpu_fan = 1000\ncooling_fan = 1\npower_5v = 5020\npower_12v = 12050\n' \
  > "$VQ_ROOT/devices/drvsensor.conf"
printf 'provider = simulated\nconnected = 1\n' > "$VQ_ROOT/devices/wininet.conf"

. scripts/lib/root.sh
vq_start_snmptrapd
trapd=$trapd_pid

"$bin/vqsnmpd" 2> "$VQ_ROOT/vqsnmpd.log" &
host=$!
agent=
gatherer=
cleanup() { kill $gatherer $agent $host $trapd 2>/dev/null || true; }
trap cleanup EXIT
for _ in $(seq 50); do "$bin/vqsc" query SNMP 2>/dev/null | grep -q RUNNING && break; sleep 0.1; done
"$bin/corvane" &
agent=$!
for _ in $(seq 50); do "$bin/vqsc" query "FW NORVIK" 2>/dev/null | grep -q RUNNING && break; sleep 0.1; done
echo "== the agent as the service manager sees it"
"$bin/vqsc" query "FW NORVIK"
sleep 2
VQ_MORDANE_GRACE_MS=500 "$bin/mordane" &
gatherer=$!
sleep 5
echo "== stopping the gatherer and the agent"
kill -TERM "$gatherer"; wait "$gatherer" || true; gatherer=
"$bin/vqsc" stop "FW NORVIK" --wait 30 > /dev/null; agent=
echo "== the first trap snmptrapd decoded (enterprise, then the eleven bindings)"
awk '/TRAP, SNMP v1/{n++} n==1' "$VQ_ROOT/snmptrapd.out" | tr '\t' '\n' | sed '/^$/d'
echo "== traps received: $(grep -c 'TRAP, SNMP v1' "$VQ_ROOT/snmptrapd.out")"
echo "== the agent's application-log lines (vqlog)"
"$bin/vqlog" --dir 'c:\' --file err | tail -n 4
echo "== the provider journal ($VQ_ROOT/telvane/journal.log)"
tail -n 3 "$VQ_ROOT/telvane/journal.log"
echo "== bookmarks"
"$bin/vqreg" query 'HKLM\SOFTWARE\QIR\VQ FRAMEWORK\CORVANE\EVENTLOG_FILTER_INF' | grep REC_NO
