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

if [ -z "${VQ_ROOT:-}" ]; then
  if [ "$(id -u)" = 0 ]; then VQ_ROOT=/var/lib/vq; else VQ_ROOT="$HOME/.local/share/vq"; fi
  export VQ_ROOT
fi
sys32="$VQ_ROOT/drive_c/WINDOWS/system32"
for d in "$VQ_ROOT"/drive_c/*/; do
  case "$(basename "$d" | tr 'A-Z' 'a-z')" in windows) for s in "$d"*/; do
    [ "$(basename "$s" | tr 'A-Z' 'a-z')" = system32 ] && sys32="${s%/}"; done;; esac
done
mkdir -p "$sys32"
if [ -f "$build/lib/libtelvane.so" ]; then
  cp "$build/lib/libtelvane.so" "$sys32/libtelvane.so"
  echo "installed $sys32/libtelvane.so"
fi
"$vqreg" import "$here/agent/install/Corvane.reg"
echo "registered the agent's configuration and the filter MORDANE_ALL in $VQ_ROOT"
