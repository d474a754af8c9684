#!/usr/bin/env bash
# VQ-TRAP-MIB is clean for smilint and names exactly the OIDs that the install writes, in
# the order the agent sends them. Usage: mib_check.sh SOURCE_DIR (VQ_MIB_CACHE set).
set -euo pipefail
src=$1
. "$src/tests/mib/common.sh"
command -v smilint > /dev/null || fail "smilint not found (package smitools, scripts/setup.sh installs it)"
command -v snmptranslate > /dev/null || fail "snmptranslate not found (package snmp)"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
vq_private_snmp "$tmp"

# Level 6 is the highest libsmi grades: errors (0-3), review warnings (4), warnings on
# what may trouble some managers (5) and auxiliary notices (6). -s shows each line's level.
# Any line at all fails the test.
lint=$(SMIPATH="$mibdirs" smilint -l 6 -s "$mib" 2>&1) || fail "smilint exited $?: $lint"
[ -z "$lint" ] || fail "smilint -l 6 reports:
$lint"

# One name at a time: snmptranslate prints a blank line between several.
translate() {
  local out err
  err=$(mktemp)
  out=$(snmptranslate -M "$mibdirs" -m VQ-TRAP-MIB "$@" 2> "$err") || { cat "$err" >&2; rm -f "$err"; return 1; }
  [ -s "$err" ] && { echo "snmptranslate $* complained:" >&2; cat "$err" >&2; rm -f "$err"; return 1; }
  rm -f "$err"
  printf '%s\n' "$out"
}

reg="$src/agent/install/Corvane.reg"
[ -s "$reg" ] || fail "$reg is missing"
# The value NAME in the key whose path ends in SECTION (\ as in the file): the text of a
# string value, the decimal number of a dword.
reg_get() {
  local v
  v=$(awk -v section="$1" -v name="$2" '
    { sub(/\r$/, "") }
    /^\[/ { key = substr($0, 2, length($0) - 2); here = substr(key, length(key) - length(section) + 1) == section; next }
    here && index($0, "\"" name "\"=") == 1 {
      v = substr($0, length(name) + 4)
      gsub(/^"|"$/, "", v)
      print v
      exit
    }' "$reg")
  case "$v" in
    dword:*) printf '%d\n' "0x${v#dword:}" ;;
    *) printf '%s\n' "$v" ;;
  esac
}

# The agent's bindings in the order it sends them: registry name, MIB object.
# TRAP_TYPE_OID is in the key NORVIK, the others in OID_LIST.
bindings=(TRAP_TYPE_OID:vqElogTrapType DATE:vqElogDate TIME:vqElogTime USER:vqElogUser
          COMPUTER:vqElogComputer SHORT_EVENT_ID:vqElogShortEventId EVENT_ID:vqElogEventId
          SOURCE:vqElogSource EVENT_TYPE:vqElogEventType EVENT_CATEGORY:vqElogEventCategory
          DESCRIPT:vqElogDescript)

errors=0
bad() {
  echo "FAIL: $*" >&2
  errors=$((errors + 1))
}

notification=$(translate -Td VQ-TRAP-MIB::vqMordaneFinding) || fail "vqMordaneFinding does not resolve"
objects=$(printf '%s\n' "$notification" | sed -n 's/^ *OBJECTS[[:space:]]*{ *\(.*\) *}$/\1/p' | tr -d ' ')
want_objects=""
for b in "${bindings[@]}"; do
  name=${b%%:*} object=${b#*:}
  want_objects+="${want_objects:+,}$object"
  section='\\OID_LIST'
  [ "$name" = TRAP_TYPE_OID ] && section='\\NORVIK'
  installed=$(reg_get "$section" "$name")
  if [ -z "$installed" ]; then
    bad "$reg has no value $name"
    continue
  fi
  got=$(translate -On "VQ-TRAP-MIB::$object.0") || { bad "$object.0 does not resolve"; continue; }
  [ "$got" = "$installed" ] || bad "$object.0 is $got, the install writes $name=$installed"
  back=$(translate "$installed") || { bad "$installed does not resolve"; continue; }
  [ "$back" = "VQ-TRAP-MIB::$object.0" ] || bad "$installed is named $back, not VQ-TRAP-MIB::$object.0"
  # Into a variable first: grep -q would end the pipe early and fail it under pipefail.
  definition=$(translate -Td "VQ-TRAP-MIB::$object") || { bad "$object has no definition"; continue; }
  [[ "$definition" =~ MAX-ACCESS[[:space:]]+accessible-for-notify ]] ||
    bad "$object is not accessible-for-notify (nothing answers GET for it)"
done
[ "$objects" = "$want_objects" ] || bad "vqMordaneFinding OBJECTS are {$objects}, the agent sends {$want_objects}"

# The starter filter's trap: enterprise and specific id, and its SNMPv2 form
# enterprise.0.specific (RFC 3584), which is what snmptrapd names.
enterprise=$(reg_get '\\MORDANE_ALL' ENTERPRISE_OID)
specific=$(reg_get '\\MORDANE_ALL' SPECIFIC_TRAP_ID)
[ -n "$enterprise" ] && [ -n "$specific" ] || bad "$reg lacks ENTERPRISE_OID or SPECIFIC_TRAP_ID"
got=$(translate -On VQ-TRAP-MIB::vqTrapNotifications) || bad "vqTrapNotifications does not resolve"
[ "$got" = "$enterprise" ] || bad "vqTrapNotifications is $got, the filter's ENTERPRISE_OID is $enterprise"
got=$(translate -On VQ-TRAP-MIB::vqMordaneFinding) || bad "vqMordaneFinding does not resolve"
[ "$got" = "$enterprise.0.$specific" ] || bad "vqMordaneFinding is $got, the filter's trap is $enterprise.0.$specific"

[ "$errors" -eq 0 ] || exit 1
echo "VQ-TRAP-MIB: smilint -l 6 clean; ${#bindings[@]} bindings and the notification match $reg"
