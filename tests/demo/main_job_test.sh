#!/usr/bin/env bash
# The README's main job in its short form, on the programs of this build tree: every
# service starts, every monitor's finding reaches snmptrapd (none lost), and every service
# stops cleanly. The job's own exit status says so; its output is kept on failure.
#   main_job_test.sh SOURCE_DIR BIN_DIR
set -uo pipefail
root="$(mktemp -d /tmp/vqmainjob.XXXXXX)"
out="$root.out"
VQ_ROOT="$root" VQ_DEMO_BIN="$2" "$1/scripts/demo.sh" --short > "$out" 2>&1
rc=$?
if [ $rc -ne 0 ] || ! grep -q 'lost / repeated *0 / 0' "$out"; then
  cat "$out"
  echo "main job failed (rc $rc); machine root kept: $root" >&2
  exit 1
fi
for id in 0x80040001 0xC0040005 0x40040007 0xC004000A 0x4004000F 0x4004000E; do
  grep -q "record .* $id" "$out" || { cat "$out"; echo "no $id record" >&2; exit 1; }
done
rm -rf "$root" "$out"
