#!/usr/bin/env bash
# orvel-analyze on 8 files of 60 s at -j 1 and at -j 2 (an engine per file),
# the best of three runs each; prints the table of docs/performance.md and
# fails when the two outputs differ in a single byte.
#   scripts/analyze_jobs.sh [seconds per file, default 60]
# Run it on a quiet machine: a build beside it is noise.
set -eu
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
seconds=${1:-60}
orvel_install_missing
orvel_build --target orvel-analyze orvel_reference_sounds >&2
analyze="$ORVEL_BUILD/orvel-analyze"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$ORVEL_BUILD/tests/orvel_reference_sounds" "$work" "$seconds"
# Six sounds, and two of them again under other names: eight files.
cp "$work/a440.wav" "$work/a440-again.wav"
cp "$work/noise-delayed.wav" "$work/noise-again.wav"
cd "$work"
files=(*.wav)

# Seconds of wall time of the fastest of three runs at -j $1.
best_of_three() {
    local jobs=$1 best="" start end
    for _ in 1 2 3; do
        start=$(date +%s%N)
        "$analyze" -j "$jobs" "${files[@]}" >"out-$jobs"
        end=$(date +%s%N)
        best=$(awk -v t="$(( end - start ))" -v b="$best" 'BEGIN { t /= 1e9; print (b == "" || t < b) ? t : b }')
    done
    echo "$best"
}

one=$(best_of_three 1)
two=$(best_of_three 2)
cmp -s out-1 out-2 || { echo "orvel-analyze -j 2 printed other output than -j 1" >&2; exit 1; }
echo "| Files | Sound | -j 1 (s) | -j 2 (s) | Speed-up |"
echo "|---|---|---|---|---|"
awk -v n="${#files[@]}" -v s="$seconds" -v one="$one" -v two="$two" \
    'BEGIN { printf "| %d | %d s each, 16000 Hz engine | %.2f | %.2f | %.2f |\n", n, s, one, two, one / two }'
