#!/usr/bin/env bash
# Installs the agent service's configuration into a machine root (VQ_ROOT, or the default
# of the README): the registry values of agent/install/Corvane.reg (configuration, trap
# OIDs, the starter filter for the source Mordane) and the provider library at its fixed
# path C:\WINDOWS\system32\Telvane.dll. Bookmarks already stored are kept. Run it again
# at any time.
#   scripts/install-agent.sh [BUILD_DIR]     (default: build)
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$here/build}"
vqreg="$build/bin/vqreg"
[ -x "$vqreg" ] || { echo "install-agent: $vqreg is missing; run scripts/setup.sh first" >&2; exit 1; }

. "$here/scripts/lib/root.sh"
vq_default_root
sys32="$(vq_system32)"
if [ -f "$build/lib/libtelvane.so" ]; then
  cp "$build/lib/libtelvane.so" "$sys32/libtelvane.so"
  echo "installed $sys32/libtelvane.so"
fi
"$vqreg" import "$here/agent/install/Corvane.reg"
echo "registered the agent's configuration and the filter MORDANE_ALL in $VQ_ROOT"
