#!/usr/bin/env bash
# The reliability trials' short form (scripts/trials.sh --short) on this build tree's
# programs: kill trials with nothing lost, bad input with no crash, hang or silent
# refusal, abandoned locks the next user gets past, and load with nothing lost. The
# trials print their figures; on failure they keep their machine roots.
#   trials_test.sh SOURCE_DIR BIN_DIR TRIAL [SANITIZED]
# SANITIZED 1: the programs are built with sanitizers (memory growth is not judged).
set -uo pipefail
env -u VQ_ROOT VQ_TRIALS_BIN="$2" VQ_TRIALS_SANITIZED="${4:-0}" "$1/scripts/trials.sh" --short "$3"
