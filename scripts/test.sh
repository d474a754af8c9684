#!/usr/bin/env bash
# Runs every test. Usage: scripts/test.sh [--sanitize]
# With --sanitize the suite is built and run under AddressSanitizer and UBSan (build-asan/).
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=build
[ "${1:-}" = "--sanitize" ] && build_dir=build-asan
scripts/setup.sh "$@"
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
ctest --test-dir "$build_dir" -j "$(nproc)" --output-on-failure --timeout 300
