#!/usr/bin/env bash
# The speed figures in docs/performance.md: pipeline_bench at every engine
# rate with the default and the longest window, the fast and the literal
# paths in one run each, on noise plus a 440 Hz tone.
#   scripts/performance.sh [seconds of audio per run, default 20]
# Run it on a quiet machine: a build or a browser beside it is noise.
set -eu
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
seconds=${1:-20}
orvel_install_missing
orvel_build --target pipeline_bench >&2
bench="$ORVEL_BUILD/bench/pipeline_bench"

echo "| Rate (Hz) | Window | Path | Real-time factor | Skipped | Tone ms/job | Correlation ms/job | Collector ms/job | Assembler ms/job | Peak RSS (MiB) |"
echo "|---|---|---|---|---|---|---|---|---|---|"
for rate in 8000 9600 12000 16000 24000 48000; do
    # -w 0 is the default half second; a request beyond 16 s is cut to 16 s.
    for window in 0 100000000; do
        # The longest window at the top rates is slow on the literal path:
        # a shorter run keeps the table's run time in minutes.
        run_seconds=$seconds
        [ "$window" != 0 ] && run_seconds=$(( seconds / 4 > 2 ? seconds / 4 : 2 ))
        # At the default window the fast path takes a fraction of a second for
        # that: ten times as much sound makes its figure steadier.
        fast_seconds=$run_seconds
        [ "$window" = 0 ] && fast_seconds=$(( run_seconds * 10 ))
        { "$bench" -r "$rate" -w "$window" -n 2 -s "$fast_seconds" --fast
          "$bench" -r "$rate" -w "$window" -n 2 -s "$run_seconds" --literal; } | awk '
            /^one core/ { peak = $3 " " $4; next }
            /^(fast|literal)/ {
                path = $1; rate = $3; window = $6; sub(",", "", window); tone = ""
                for (i = 1; i <= NF; i++) {
                    if ($i == "factor") rtf = $(i + 1)
                    if ($i == "RSS") rss = $(i + 1)
                    if ($i == "skipped)") skipped = $(i - 1)
                    if ($i == "correlate") corr = $(i + 1)
                    if ($i == "tone" && tone == "") tone = $(i + 1)
                    if ($i == "collector") coll = $(i + 1)
                    if ($i == "assembler") { asm = $(i + 1); sub(";", "", asm) }
                }
                sub(/\(/, "", skipped); sub(/,/, "", rtf)
                printf "| %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |\n", rate, window, path, rtf, skipped, tone, corr, coll, asm, rss
            }
            /tone kernel/ && /fast/ { line = $0; sub(/.*tone kernel/, "tone kernel", line); kernel[rate " " window] = line }
            END { for (k in kernel) printf "%s %s: %s\n", k, peak, kernel[k] > "/dev/stderr" }'
    done
done
