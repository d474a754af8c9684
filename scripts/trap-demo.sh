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
port=$(( 20000 + RANDOM % 20000 ))

cat > "$VQ_ROOT/snmptrapd.conf" <<CONF
disableAuthorization yes
authCommunity log public
CONF
MIBS= SNMP_PERSISTENT_DIR="$VQ_ROOT/snmptrapd-state" /usr/sbin/snmptrapd -f -Lo -n -On -C -c "$VQ_ROOT/snmptrapd.conf" -M /nonexistent \
  "udp:127.0.0.1:$port" > "$VQ_ROOT/snmptrapd.out" 2>&1 &
trapd=$!

cat > "$VQ_ROOT/snmp.reg" <<REG
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\SNMP\\Parameters\\ExtensionAgents]
"1"="SOFTWARE\\\\QIR\\\\VQ FRAMEWORK\\\\NORVIK\\\\CurrentVersion"

[HKEY_LOCAL_MACHINE\\SOFTWARE\\QIR\\VQ FRAMEWORK\\NORVIK\\CurrentVersion]
"Pathname"="norvik.dll"

[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\SNMP\\Parameters\\TrapConfiguration\\public]
"1"="127.0.0.1:$port"

[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\SNMP\\Parameters\\TrapConfigurationV2c\\public]
"1"="127.0.0.1:$port"
REG
"$bin/vqreg" import "$VQ_ROOT/snmp.reg"

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
