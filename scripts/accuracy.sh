#!/usr/bin/env bash
# Rewrites docs/accuracy.md from a run of bench/accuracy_report.cpp: the
# read-out's pitch error and the delay read-out's error at every engine rate.
set -eu
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
orvel_install_missing
orvel_build --target accuracy_report >&2
"$ORVEL_BUILD/bench/accuracy_report" > "$ORVEL_ROOT/docs/accuracy.md.new"
mv "$ORVEL_ROOT/docs/accuracy.md.new" "$ORVEL_ROOT/docs/accuracy.md"
echo "wrote docs/accuracy.md" >&2
