#!/usr/bin/env bash
# snmptrapd with VQ-TRAP-MIB loaded prints the names of the agent's event-log trap: an
# SNMPv1 trap as the agent's filter sends it (enterprise, generic 6, specific 1, the eleven
# bindings) and its SNMPv2c form. Loopback only. Usage: trap_decode.sh SOURCE_DIR WORK_DIR
# (VQ_MIB_CACHE set).
set -euo pipefail
src=$1
work=$2
. "$src/tests/mib/common.sh"
[ -x /usr/sbin/snmptrapd ] || fail "/usr/sbin/snmptrapd not found (package snmptrapd)"
command -v snmptrap > /dev/null || fail "snmptrap not found (package snmp)"

rm -rf "$work"
mkdir -p "$work"
vq_private_snmp "$work"
printf 'disableAuthorization yes\nauthCommunity log public\n' > "$work/snmptrapd.conf"
out="$work/snmptrapd.out"
trapd=""
cleanup() { [ -n "$trapd" ] && kill "$trapd" 2> /dev/null || true; }
trap cleanup EXIT

# A random port may be taken by someone else's test: snmptrapd then exits, try another.
for _ in $(seq 10); do
  port=$((20000 + RANDOM % 20000))
  /usr/sbin/snmptrapd -f -Lo -n -C -c "$work/snmptrapd.conf" \
    -M "$mibdirs" -m VQ-TRAP-MIB:SNMPv2-MIB "udp:127.0.0.1:$port" > "$out" 2>&1 &
  trapd=$!
  for _ in $(seq 100); do
    grep -q 'NET-SNMP version' "$out" 2> /dev/null && break
    kill -0 "$trapd" 2> /dev/null || break
    sleep 0.1
  done
  kill -0 "$trapd" 2> /dev/null && grep -q 'NET-SNMP version' "$out" && break
  wait "$trapd" 2> /dev/null || true
  trapd=""
done
[ -n "$trapd" ] || fail "snmptrapd did not start on a loopback port: $(cat "$out")"
grep -q 'Cannot find module\|Cannot adopt OID\|Unlinked OID' "$out" && fail "snmptrapd could not load the MIBs:
$(cat "$out")"

# The values of the agent's trap for a gatherer record (docs/agent.md): the numbers go by
# OID, as the agent sends them, so the names below come from the MIB alone.
arc=.1.3.6.1.4.1.6203.1.3.1.1.1.1.1
bindings=("$arc.1.0" i 1 "$arc.2.0" s 2026/12/09 "$arc.3.0" s 16:31:39 "$arc.4.0" s ""
          "$arc.5.0" s pos-07 "$arc.6.0" s 1 "$arc.7.0" s 0x80040001 "$arc.8.0" s Mordane
          "$arc.9.0" s Error "$arc.10.0" s "" "$arc.11.0" s "CPU temperature out of range")
send() { snmptrap -M /nonexistent -m '' -c public "$@" || fail "snmptrap $1 failed"; }
send -v 1 "udp:127.0.0.1:$port" .1.3.6.1.4.1.6203.1.3.2 127.0.0.1 6 1 0 "${bindings[@]}"
# The SNMP service host's SNMPv2c form (RFC 3584): enterprise.0.specific, and the
# enterprise again at the end.
send -v 2c "udp:127.0.0.1:$port" 0 .1.3.6.1.4.1.6203.1.3.2.0.1 "${bindings[@]}" \
  .1.3.6.1.6.3.1.1.4.3.0 o .1.3.6.1.4.1.6203.1.3.2

# Generous: the machine is shared.
for _ in $(seq 300); do
  [ "$(grep -c 'VQ-TRAP-MIB::vqElogDescript.0' "$out")" -ge 2 ] && break
  sleep 0.1
done
kill "$trapd" 2> /dev/null || true
wait "$trapd" 2> /dev/null || true
trapd=""

# SNMPv1: a header line, the enterprise and trap line, the bindings line.
v1=$(grep -A2 'SNMP v1' "$out" | tail -n 2 | tr '\n' ' ') || true
v2=$(grep -v 'SNMP v1' "$out" | grep 'snmpTrapOID' | head -n 1) || true
[ -n "$v1" ] || fail "no SNMPv1 trap decoded:
$(cat "$out")"
[ -n "$v2" ] || fail "no SNMPv2c trap decoded:
$(cat "$out")"

errors=0
expect() {
  local what=$1 line=$2 text=$3
  case "$line" in
    *"$text"*) ;;
    *) echo "FAIL: the $what trap lacks '$text'" >&2; errors=$((errors + 1)) ;;
  esac
}
expect SNMPv1 "$v1" \
  "VQ-TRAP-MIB::vqTrapNotifications Enterprise Specific Trap (VQ-TRAP-MIB::vqMordaneFinding)"
expect SNMPv2c "$v2" "SNMPv2-MIB::snmpTrapOID.0 = OID: VQ-TRAP-MIB::vqMordaneFinding"
expect SNMPv2c "$v2" "SNMPv2-MIB::snmpTrapEnterprise.0 = OID: VQ-TRAP-MIB::vqTrapNotifications"
for version in SNMPv1 SNMPv2c; do
  line=$v1
  [ "$version" = SNMPv2c ] && line=$v2
  for b in "vqElogTrapType.0 = INTEGER: 1" "vqElogDate.0 = STRING: 2026/12/09" "vqElogTime.0 = STRING: 16:31:39" \
           "vqElogUser.0 = STRING: " "vqElogComputer.0 = STRING: pos-07" "vqElogShortEventId.0 = STRING: 1" \
           "vqElogEventId.0 = STRING: 0x80040001" "vqElogSource.0 = STRING: Mordane" \
           "vqElogEventType.0 = STRING: Error" "vqElogEventCategory.0 = STRING: " \
           "vqElogDescript.0 = STRING: CPU temperature out of range"; do
    expect "$version" "$line" "VQ-TRAP-MIB::$b"
  done
  # No binding of the arc may be left as numbers.
  case "$line" in *"6203.1.3.1"*) echo "FAIL: the $version trap shows a binding by number" >&2; errors=$((errors + 1)) ;; esac
done
if [ "$errors" -ne 0 ]; then
  echo "snmptrapd printed:" >&2
  cat "$out" >&2
  exit 1
fi
echo "snmptrapd -m VQ-TRAP-MIB named the SNMPv1 and SNMPv2c event-log traps"
