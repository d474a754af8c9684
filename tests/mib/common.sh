# Shared by the MIB tests; sourced, not run. Needs $src (the source tree) and $VQ_MIB_CACHE
# (the base-MIB cache that CMake names). Sets mibdirs to the cache and dist/snmp.

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

. "$src/scripts/lib/mibs.sh"
[ -n "${VQ_MIB_CACHE:-}" ] || fail "VQ_MIB_CACHE is not set (CMake passes it)"
for m in "${vq_mib_modules[@]}"; do
  [ -s "$VQ_MIB_CACHE/$m" ] ||
    fail "base MIB $m is missing in $VQ_MIB_CACHE: run scripts/setup.sh, which fetches them (npm pack net-snmp)"
done
mibdirs="$VQ_MIB_CACHE:$src/dist/snmp"
mib="$src/dist/snmp/VQ-TRAP-MIB.txt"
[ -s "$mib" ] || fail "$mib is missing"

# Gives the net-snmp tools of this test their own configuration and persistent folder: the
# shared /var/lib/snmp files are rewritten by every tool that exits, other tests' included,
# and a half-written one breaks the next reader ("buffer too small to read octet string").
vq_private_snmp() {
  mkdir -p "$1/conf" "$1/state/cert_indexes"
  export SNMPCONFPATH="$1/conf" SNMP_PERSISTENT_DIR="$1/state" MIBS=
}
