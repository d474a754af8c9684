#!/usr/bin/env bash
# The suite's main job on its embedded default. For now: the platform layer's
# cross-process demonstration (two processes hand a named mutex and events back and
# forth, then one is killed while holding the mutex).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
export VQ_ROOT="${VQ_ROOT:-$(mktemp -d /tmp/vqdemo.XXXXXX)}"
echo "machine root: $VQ_ROOT"
exec build/bin/vqdemo "$@"
