#!/usr/bin/env bash
# Which part of Orvel makes a real-time JACK server late: one server (jackd
# -R, dummy driver, 48000 Hz, 256 frames) with the soak's delaying loop, and
# in turn, ROUNDS times, the loop alone and Orvel (orvel_soak -r 48000) in
# each variant for SECONDS, counting the server's xrun lines and Orvel's
# processor time. Alternating in one sitting, so that the machine's own
# moods fall on every variant alike. Not part of the tests.
#
#   scripts/xrun_variants.sh [-t SECONDS] [-n ROUNDS] VARIANT...
#
# Variants:
#   base      the loop alone
#   plain     Orvel as it is
#   idle      its analysis threads (orvel-tone, orvel-correlate,
#             orvel-collector) moved to SCHED_IDLE
#   batch     the same under SCHED_BATCH
#   pin       the analysis threads kept to the second processor
#   one       one worker per stage (-n 1): fewer threads
#   DIR       Orvel from another build tree DIR (an older commit, say)
set -eu
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

seconds=60
rounds=3
while getopts t:n: option; do
    case $option in
    t) seconds=$OPTARG ;;
    n) rounds=$OPTARG ;;
    *) echo "usage: $0 [-t SECONDS] [-n ROUNDS] VARIANT..." >&2; exit 2 ;;
    esac
done
shift $((OPTIND - 1))
[ $# -gt 0 ] || set -- base plain idle one
variants=("$@")

orvel_install_missing
orvel_build --target orvel_soak orvel_delay_loop >/dev/null

name=orvel-xruns-$$
work=$(mktemp -d /tmp/orvel-xruns-XXXXXX)
export XDG_CONFIG_HOME=$work/config
export JACK_DEFAULT_SERVER=$name
pids=()
trap orvel_stop_pids EXIT
orvel_start_loop_server "$name" "$work" 1000 || { echo "xrun_variants: no server" >&2; exit 1; }

xruns() { grep -ci xrun "$work/jackd.log" || true; }
ticks() { sed "s/.*) //" /proc/"$1"/stat | awk '{ print $12 + $13 }'; }
analysis_threads() {
    for task in /proc/"$1"/task/*; do
        case $(cat "$task/comm" 2>/dev/null) in
        orvel-tone | orvel-correlat* | orvel-collecto*) echo "${task##*/}" ;;
        esac
    done
}

echo "| Round | Variant | xruns in $seconds s | Orvel's processor time (% of one core) |"
echo "|---|---|---|---|"
for round in $(seq "$rounds"); do
    for variant in "${variants[@]}"; do
        pid=""
        if [ "$variant" != base ]; then
            build=$ORVEL_BUILD options=(-r 48000)
            [ -d "$variant" ] && build=$variant
            [ "$variant" = one ] && options=(-r 48000 -n 1)
            "$build/tests/orvel_soak" 5 "${options[@]}" 2>"$work/orvel-$round-${variant//\//_}.err" &
            pid=$!
            for _ in $(seq 200); do jack_lsp 2>/dev/null | grep -q '^orvel:output_1$' && break; sleep 0.1; done
            jack_disconnect system:capture_1 orvel:input_1 2>/dev/null || true
            jack_connect orvel:output_1 loop:in
            jack_connect loop:out orvel:input_1
            sleep 3   # the engine's threads are up
            for thread in $(analysis_threads "$pid"); do
                case $variant in
                idle) chrt -i -p 0 "$thread" ;;
                batch) chrt -b -p 0 "$thread" ;;
                pin) taskset -p 2 "$thread" >/dev/null ;;
                esac
            done
        fi
        sleep 5   # past the start-up transient
        before=$(xruns)
        [ -z "$pid" ] || start=$(ticks "$pid")
        sleep "$seconds"
        after=$(xruns)
        cpu=0
        [ -z "$pid" ] || cpu=$(awk -v t=$(( $(ticks "$pid") - start )) -v hz="$(getconf CLK_TCK)" -v s="$seconds" \
            'BEGIN { printf "%.1f", 100 * t / hz / s }')
        echo "| $round | $variant | $((after - before)) | $cpu |"
        if [ -n "$pid" ]; then
            kill -TERM "$pid"
            wait "$pid" 2>/dev/null || true
        fi
    done
done
echo "logs: $work"
