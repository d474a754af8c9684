#!/usr/bin/env bash
# One trap from end to end on this machine: snmptrapd listens on a loopback port, the SNMP
# service host vqsnmpd loads norvik and sends to it (SNMPv1 and SNMPv2c), and vqtrap
# requests a trap with one binding of several types. Prints what snmptrapd decoded.
#   scripts/trap-demo.sh [vqtrap arguments]
# Uses a fresh temporary machine root unless VQ_ROOT is set.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
bin="$PWD/build/bin"
export VQ_ROOT="${VQ_ROOT:-$(mktemp -d /tmp/vqtrap.XXXXXX)}"
echo "== machine root: $VQ_ROOT"
. scripts/lib/root.sh
vq_start_snmptrapd v2c
trapd=$trapd_pid

"$bin/vqsnmpd" 2> "$VQ_ROOT/vqsnmpd.log" &
host=$!
cleanup() { kill "$host" "$trapd" 2>/dev/null || true; }
trap cleanup EXIT
for _ in $(seq 50); do "$bin/vqsc" query SNMP 2>/dev/null | grep -q RUNNING && break; sleep 0.1; done

if [ $# -eq 0 ]; then
  set -- 1.3.6.1.4.1.6203.1.3 12 \
    1.3.6.1.4.1.6203.1.3.1.1 i 76 \
    1.3.6.1.4.1.6203.1.3.1.2 s "CPU temperature out of range" \
    1.3.6.1.4.1.6203.1.3.1.3 a 192.168.1.20 \
    1.3.6.1.4.1.6203.1.3.1.4 w 4000000000
fi
echo "== vqtrap $*"
"$bin/vqtrap" "$@"
sleep 1
echo "== what snmptrapd received (SNMPv1, then SNMPv2c)"
cat "$VQ_ROOT/snmptrapd.out"
"$bin/vqsc" stop SNMP --wait 10 > /dev/null
