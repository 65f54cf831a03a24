#!/usr/bin/env bash
# What makes a real-time JACK server late when Orvel runs beside it: one
# server (jackd -R, dummy driver, 48000 Hz, 256 frames) with the soak's
# delaying loop, and in turn, ROUNDS times, the loop alone, Orvel
# (orvel_soak -r 48000) in each variant and stand-ins without Orvel, each
# for SECONDS, counting the server's xrun lines and the processor time of
# what the variant added. Alternating in one sitting, so that the machine's
# own moods fall on every variant alike. Not part of the tests.
#
#   scripts/xrun_variants.sh [-t SECONDS] [-n ROUNDS] [-l] [-b BUSY] VARIANT...
#
# -b: BUSY processes spinning at the ordinary priority beside each round (a
# desktop under load: a build, a browser).
# -l: meanwhile a real-time probe (orvel_wake_latency) measures how late a
# real-time thread wakes, a finer measure than the xruns.
#
# Variants:
#   base      the loop alone
#   plain     Orvel as it is
#   idle      its analysis threads (orvel-tone, orvel-correlate,
#             orvel-collector) moved to SCHED_IDLE
#   batch     the same under SCHED_BATCH
#   pin       the analysis threads kept to the second processor
#   fifo      the assembler and generator threads at SCHED_FIFO 10, below
#             the server's, instead of the ordinary policy
#   one       one worker per stage (-n 1): fewer threads
#   DIR       Orvel from another build tree DIR (an older commit, say)
#   thru      no Orvel: JACK's own pass-through client (jack_thru) in its
#             place in the loop, a client that does no work
#   load      no Orvel: a load like its analysis threads' beside the loop
#             (orvel_wake_load: about 1000 hand-overs a second, 8 % of a
#             core), no client of its own
#   thruload  both of them, Orvel's two parts without Orvel
#   load-W-B  the load at W hand-overs a second of B microseconds each
set -eu
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

seconds=60
rounds=3
probe=no
busy=0
while getopts t:n:lb: option; do
    case $option in
    t) seconds=$OPTARG ;;
    n) rounds=$OPTARG ;;
    l) probe=yes ;;
    b) busy=$OPTARG ;;
    *) echo "usage: $0 [-t SECONDS] [-n ROUNDS] [-l] [-b BUSY] VARIANT..." >&2; exit 2 ;;
    esac
done
shift $((OPTIND - 1))
[ $# -gt 0 ] || set -- base plain idle one
variants=("$@")

orvel_install_missing
orvel_build --target orvel_soak orvel_delay_loop orvel_wake_load orvel_wake_latency >/dev/null

name=orvel-xruns-$$
work=$(mktemp -d /tmp/orvel-xruns-XXXXXX)
export XDG_CONFIG_HOME=$work/config
export JACK_DEFAULT_SERVER=$name
pids=()
trap orvel_stop_pids EXIT
orvel_start_loop_server "$name" "$work" 1000 || { echo "xrun_variants: no server" >&2; exit 1; }

xruns() { grep -ci xrun "$work/jackd.log" || true; }
# A field of an orvel_soak line: "dry=3" gives 3.
field() { echo "$1" | tr ' ' '\n' | awk -F= -v key="$2" '$1 == key { print $2 }'; }
ticks() {
    local pid sum=0
    for pid in "$@"; do sum=$((sum + $(sed "s/.*) //" /proc/"$pid"/stat | awk '{ print $12 + $13 }'))); done
    echo "$sum"
}
analysis_threads() {
    for task in /proc/"$1"/task/*; do
        case $(cat "$task/comm" 2>/dev/null) in
        orvel-tone | orvel-correlat* | orvel-collecto*) echo "${task##*/}" ;;
        esac
    done
}

# A client (Orvel or a stand-in) joins the loop: its output_1 feeds the
# loop, the loop feeds its input_1 instead of the capture.
join_loop() {
    local client=$1
    for _ in $(seq 200); do jack_lsp 2>/dev/null | grep -q "^$client:output_1\$" && break; sleep 0.1; done
    jack_disconnect system:capture_1 "$client:input_1" 2>/dev/null || true
    jack_connect "$client:output_1" loop:in
    jack_connect loop:out "$client:input_1"
}
start_thru() {
    jack_thru thru >/dev/null 2>&1 &
    started+=($!)
    join_loop thru
}
start_load() {
    "$ORVEL_BUILD/tests/orvel_wake_load" "$1" "$2" 4 262144 &
    started+=($!)
}

head="| Round | Variant | xruns in $seconds s | processor time beside the loop (% of one core) | groups played dry / input dropped |"
rule="|---|---|---|---|---|"
if [ "$probe" = yes ]; then
    head+=" the probe's lateness |"
    rule+="---|"
fi
echo "$head"
echo "$rule"
for round in $(seq "$rounds"); do
    for variant in "${variants[@]}"; do
        started=()   # the processes this variant adds to the loop
        case $variant in
        base) ;;
        thru) start_thru ;;
        load) start_load 1000 80 ;;
        load-*) IFS=- read -r _ wakes busy <<<"$variant"; start_load "$wakes" "$busy" ;;
        thruload) start_thru; start_load 1000 80 ;;
        *)
            build=$ORVEL_BUILD options=(-r 48000) fifo=
            [ "$variant" = fifo ] && fifo=10
            [ -d "$variant" ] && build=$variant
            [ "$variant" = one ] && options=(-r 48000 -n 1)
            err=$work/orvel-$round-${variant//\//_}.err
            ORVEL_SOAK_FIFO=$fifo "$build/tests/orvel_soak" 1 "${options[@]}" 2>"$err" &
            pid=$!
            started+=("$pid")
            join_loop orvel
            sleep 3   # the engine's threads are up
            for thread in $(analysis_threads "$pid"); do
                case $variant in
                idle) chrt -i -p 0 "$thread" ;;
                batch) chrt -b -p 0 "$thread" ;;
                pin) taskset -p 2 "$thread" >/dev/null ;;
                esac
            done
            ;;
        esac
        spinners=()
        for _ in $(seq "$busy"); do
            (while :; do :; done) &
            spinners+=($!)
        done
        pids=("${started[@]}" "${spinners[@]}" "${pids[@]}")
        sleep 5   # past the start-up transient
        first=$( [ -n "${err:-}" ] && grep '^soak ' "$err" | tail -1 || true)
        before=$(xruns)
        start=$(ticks "${started[@]}")
        late=""
        if [ "$probe" = yes ]; then
            late=" $("$ORVEL_BUILD/tests/orvel_wake_latency" "$seconds") |"
        else
            sleep "$seconds"
        fi
        after=$(xruns)
        cpu=$(awk -v t=$(( $(ticks "${started[@]}") - start )) -v hz="$(getconf CLK_TCK)" -v s="$seconds" \
            'BEGIN { printf "%.1f", 100 * t / hz / s }')
        groups=""
        if [ -n "${err:-}" ]; then
            last=$(grep '^soak ' "$err" | tail -1)
            groups="$(( $(field "$last" dry) - $(field "$first" dry) )) / $(( $(field "$last" dropped) - $(field "$first" dropped) ))"
        fi
        echo "| $round | $variant | $((after - before)) | $cpu | $groups |$late"
        err=
        for stop in "${spinners[@]}"; do kill "$stop"; wait "$stop" 2>/dev/null || true; done
        for stop in "${started[@]}"; do
            kill -TERM "$stop"
            wait "$stop" 2>/dev/null || true
        done
    done
done
echo "logs: $work"
