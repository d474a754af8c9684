# Shared by the install and demo scripts; sourced, not run.

# Sets VQ_ROOT to the README's default when it is not set (and exports it).
vq_default_root() {
  if [ -z "${VQ_ROOT:-}" ]; then
    if [ "$(id -u)" = 0 ]; then VQ_ROOT=/var/lib/vq; else VQ_ROOT="$HOME/.local/share/vq"; fi
  fi
  export VQ_ROOT
}

# Prints the machine root's Windows system directory, using the existing spelling of each
# component when there is one (paths match without regard to case), and makes it.
vq_system32() {
  local sys32="$VQ_ROOT/drive_c/WINDOWS/system32" d s
  for d in "$VQ_ROOT"/drive_c/*/; do
    case "$(basename "$d" | tr 'A-Z' 'a-z')" in windows) for s in "$d"*/; do
      [ "$(basename "$s" | tr 'A-Z' 'a-z')" = system32 ] && sys32="${s%/}"; done;; esac
  done
  mkdir -p "$sys32"
  printf '%s\n' "$sys32"
}

# Starts snmptrapd on a loopback port (output in $VQ_ROOT/snmptrapd.out) and points the SNMP
# service host at norvik and at it, over SNMPv1 (and SNMPv2c when $1 is "v2c"). Sets
# trapd_port and trapd_pid. $bin must name the build's bin directory. Optional:
# VQ_TRAPD_MIBDIRS (a -M list holding VQ-TRAP-MIB: names instead of numbers) and
# VQ_TRAPD_FORMAT1 (snmptrapd's format1 for SNMPv1 traps).
vq_start_snmptrapd() {
  trapd_port=$(( 20000 + RANDOM % 20000 ))
  printf 'disableAuthorization yes\nauthCommunity log public\n' > "$VQ_ROOT/snmptrapd.conf"
  [ -n "${VQ_TRAPD_FORMAT1:-}" ] && printf 'format1 %s\n' "$VQ_TRAPD_FORMAT1" >> "$VQ_ROOT/snmptrapd.conf"
  local mibs=(-On -M /nonexistent)
  [ -n "${VQ_TRAPD_MIBDIRS:-}" ] && mibs=(-M "$VQ_TRAPD_MIBDIRS" -m VQ-TRAP-MIB)
  MIBS= SNMP_PERSISTENT_DIR="$VQ_ROOT/snmptrapd-state" /usr/sbin/snmptrapd -f -Lo -n -C \
    -c "$VQ_ROOT/snmptrapd.conf" "${mibs[@]}" "udp:127.0.0.1:$trapd_port" > "$VQ_ROOT/snmptrapd.out" 2>&1 &
  trapd_pid=$!
  vq_point_snmp_host "$trapd_port" "${1:-}"
}

# Points the SNMP service host at norvik and at a loopback trap receiver on PORT, over
# SNMPv1 (and SNMPv2c when $2 is "v2c"). $bin must name the build's bin directory.
vq_point_snmp_host() {
  local v2c=""
  if [ "${2:-}" = v2c ]; then
    v2c="
[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\SNMP\\Parameters\\TrapConfigurationV2c\\public]
\"1\"=\"127.0.0.1:$1\""
  fi
  cat > "$VQ_ROOT/snmp.reg" <<REG
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\SNMP\\Parameters\\ExtensionAgents]
"1"="SOFTWARE\\\\QIR\\\\VQ FRAMEWORK\\\\NORVIK\\\\CurrentVersion"

[HKEY_LOCAL_MACHINE\\SOFTWARE\\QIR\\VQ FRAMEWORK\\NORVIK\\CurrentVersion]
"Pathname"="norvik.dll"

[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\SNMP\\Parameters\\TrapConfiguration\\public]
"1"="127.0.0.1:$1"
$v2c
REG
  "$bin/vqreg" import "$VQ_ROOT/snmp.reg"
}
