#!/usr/bin/env bash
# Installs the hardware gatherer's configuration into a machine root (VQ_ROOT, or the
# default of the README): the ini file (kept when one is there already, so local edits
# survive), the message module of the event source, and the registry keys of
# gatherer/install/Mordane.reg (the service key, its monitor subkeys and the event log
# "Mordane" with its source). Run it again at any time; it changes nothing else.
#   scripts/install-gatherer.sh [BUILD_DIR]     (default: build)
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$here/build}"
vqreg="$build/bin/vqreg"
[ -x "$vqreg" ] || { echo "install-gatherer: $vqreg is missing; run scripts/setup.sh first" >&2; exit 1; }

. "$here/scripts/lib/root.sh"
vq_default_root
sys32="$(vq_system32)"
ini="$(find "$sys32" -maxdepth 1 -iname mordane.ini | head -1)"
if [ -z "$ini" ]; then
  cp "$here/gatherer/install/Mordane.ini" "$sys32/Mordane.ini"
  echo "installed $sys32/Mordane.ini"
else
  echo "kept $ini"
fi
cp "$here/gatherer/messages/Mordane.mc" "$sys32/Mordane.mc"
# The RTC monitor's ...Recode values are state, not settings: keep what a machine already
# has, or the next start would report every non-zero firmware counter again.
rtc='HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\Mordane\RtcSensor'
saved="$(mktemp)"
kept=0
"$vqreg" export "$rtc" "$saved" > /dev/null 2>&1 && kept=1
"$vqreg" import "$here/gatherer/install/Mordane.reg"
[ "$kept" = 1 ] && "$vqreg" import "$saved"
rm -f "$saved"
echo "registered the service key and the event source Mordane in $VQ_ROOT"
