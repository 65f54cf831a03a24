#!/usr/bin/env bash
# orvel-analyze's output on fixed sound files, compared byte for byte with
# the output recorded in tests/data/analyze_reference: whatever changes inside,
# what a user or a script reads from it must stay the same.
#
#     check_analyze_reference.sh ORVEL_ANALYZE REFERENCE_SOUNDS [--record]
#
# --record writes the reference afresh instead (only for a change meant to
# show, said so in its commit).
set -eu
analyze=$(realpath "$1")
sounds=$(realpath "$2")
record=${3:-}
reference=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/data/analyze_reference

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$sounds" "$work"
cd "$work"

tones="a440.wav off-grid.wav low.wav chord.wav glide.wav"
# name: options and files; name=other: the output must equal case name's
cases=(
    "r8000: -r 8000 $tones"
    "r16000: -r 16000 $tones"
    "r16000-decay: -r 16000 -d 3 $tones"
    "r48000: -r 48000 a440.wav off-grid.wav glide.wav"
    "r48000-decay: -r 48000 -d 6 chord.wav"
    "delay8000: -r 8000 --corr 2 noise-delayed.wav"
    "delay16000: -r 16000 --corr 2 noise-delayed.wav"
    "delay16000-decay: -r 16000 -d 2 --corr 2 noise-delayed.wav"
    "delay48000: -r 48000 --corr 2 noise-delayed.wav"
    "delay48000-decay: -r 48000 -d 5 -w 16384 --corr 2 noise-delayed.wav"
    "csv12000: --csv -r 12000 -w 8192 -n 1 --corr 2 chord.wav noise-delayed.wav"
    "tuned16000: -r 16000 --a4 442 --temperament werckmeister3 --tonic F a440.wav chord.wav"
    # Files at once print what they print one after another.
    "r16000-decay=j3: -r 16000 -d 3 -j 3 $tones"
    "csv12000=j2: --csv -r 12000 -w 8192 -n 1 -j 2 --corr 2 chord.wav noise-delayed.wav"
)

failed=0
for case in "${cases[@]}"; do
    name=${case%%:*}
    expected=${name%%=*}
    [ "$expected" = "$name" ] || name=$expected-${name#*=}
    read -r -a args <<<"${case#*:}"
    status=0
    "$analyze" "${args[@]}" >"$name.out" 2>"$name.err" || status=$?
    echo "exit $status" >>"$name.out"
    if [ "$record" = --record ]; then
        [ "$expected" != "$name" ] || cp "$name.out" "$reference/$name.out"
    elif ! cmp -s "$name.out" "$reference/$expected.out"; then
        echo "$name: orvel-analyze ${args[*]} differs from the reference:" >&2
        diff "$reference/$expected.out" "$name.out" | head -n 20 >&2 || true
        failed=1
    fi
done
[ "$record" != --record ] || echo "recorded ${#cases[@]} cases in $reference" >&2
exit $failed
