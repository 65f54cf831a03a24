#!/usr/bin/env bash
# Rewrites docs/accuracy.md from a run of bench/accuracy_report.cpp: the
# read-outs' pitch error and the delay read-out's error at every engine rate,
# and both read-outs on instrument notes rendered with fluidsynth beside
# aubio's yinfft, and the low notes under noise and reverberation.
set -eu
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
orvel_install_missing
# The renderer, its sound fonts, the reference pitch tracker and sox (the
# low notes' reverberation) serve this report alone; Orvel never needs them.
# ORVEL_ACCURACY_RENDERS=FOLDER keeps the low notes' renders there between runs.
ORVEL_PACKAGES=(fluidsynth timgm6mb-soundfont musescore-general-soundfont-small aubio-tools sox)
orvel_install_missing
orvel_build --target accuracy_report >&2
"$ORVEL_BUILD/bench/accuracy_report" > "$ORVEL_ROOT/docs/accuracy.md.new"
mv "$ORVEL_ROOT/docs/accuracy.md.new" "$ORVEL_ROOT/docs/accuracy.md"
echo "wrote docs/accuracy.md" >&2
