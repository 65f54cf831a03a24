#!/usr/bin/env bash
# Soak: Orvel (built-in start-up and window, offscreen) for ten minutes on a
# real-time JACK server (jackd -R, dummy driver, 48000 Hz, 256 frames), with
# the default window at an engine rate of 48000 Hz, white noise on output 0
# through a delaying client back into input 0. Not part of the tests.
#
#   scripts/soak.sh [-t SECONDS] [-d FRAMES] [-- orvel options]
#
# Reports the server's xruns by cause (the client it blames and its state),
# Orvel's wake-ups per second (voluntary and involuntary context switches of
# all its threads) with the busiest threads, the process callback's worst
# case, RSS at the start and the end, jobs completed and skipped, and the
# delay read at the start and the end. Needs bash, coreutils, awk and jackd.
# Before Orvel joins, the same server runs the loop alone for as long: the
# xruns of that baseline are printed beside Orvel's.
# First it runs the tests that measure speed (ctest LABELS perf), which need
# the machine to themselves.
set -eu
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

duration=600
loop_frames=1000
settle=10   # seconds before the start figures: past the start-up transient
while getopts t:d: option; do
    case $option in
    t) duration=$OPTARG ;;
    d) loop_frames=$OPTARG ;;
    *) echo "usage: $0 [-t SECONDS] [-d FRAMES] [-- orvel options]" >&2; exit 2 ;;
    esac
done
shift $((OPTIND - 1))
orvel_options=("$@")
[ ${#orvel_options[@]} -gt 0 ] || orvel_options=(-r 48000)

orvel_install_missing
orvel_build --target orvel_soak orvel_delay_loop jack_realtime_test >/dev/null

# Before the soak's own server: they start theirs.
perf_status=0
ctest --test-dir "$ORVEL_BUILD" -L perf --output-on-failure --no-label-summary --timeout 300 || perf_status=$?

name=orvel-soak-$$
work=$(mktemp -d /tmp/orvel-soak-XXXXXX)
# The soak plays what it chooses, not what this user kept.
export XDG_CONFIG_HOME=$work/config
export JACK_DEFAULT_SERVER=$name
pids=()
trap orvel_stop_pids EXIT
orvel_start_loop_server "$name" "$work" "$loop_frames" || { echo "soak: no server" >&2; exit 1; }
# The baseline first: the same server and the loop alone for as long, so that
# Orvel's figure can be set beside what the machine does without it.
sleep "$settle"
baseline_before=$(grep -ci xrun "$work/jackd.log" || true)
sleep "$duration"
baseline_xruns=$(( $(grep -ci xrun "$work/jackd.log" || true) - baseline_before ))

"$ORVEL_BUILD/tests/orvel_soak" 5 "${orvel_options[@]}" 2>"$work/orvel.err" &
orvel_pid=$!
pids=("$orvel_pid" "${pids[@]}")   # Orvel goes first, while the server is up
for _ in $(seq 200); do jack_lsp 2>/dev/null | grep -q '^orvel:output_1$' && jack_lsp 2>/dev/null | grep -q '^loop:in$' && break; sleep 0.1; done
jack_disconnect system:capture_1 orvel:input_1
jack_connect orvel:output_1 loop:in
jack_connect loop:out orvel:input_1

# Context switches of every thread of the process, by thread name.
switches() {
    for task in /proc/"$orvel_pid"/task/*; do
        awk -v name="$(cat "$task/comm" 2>/dev/null)" \
            '/^(non)?voluntary_ctxt_switches/ { n += $2 } END { print name "\t" n }' "$task/status" 2>/dev/null
    done | awk -F'\t' '{ n[$1] += $2 } END { for (t in n) print t "\t" n[t] }'
}
rss_kb() { awk '/^VmRSS/ { print $2 }' /proc/"$orvel_pid"/status; }
# Clock ticks of processor time the whole process has used.
cpu_ticks() { sed "s/.*) //" /proc/"$orvel_pid"/stat | awk '{ print $12 + $13 }'; }

sleep "$settle"
xruns_before=$(grep -ci xrun "$work/jackd.log" || true)
switches >"$work/switches.start"
rss_start=$(rss_kb)
cpu_start=$(cpu_ticks)
t_start=$(date +%s.%N)
first=$(grep '^soak ' "$work/orvel.err" | tail -1)

sleep "$duration"
switches >"$work/switches.end"
rss_end=$(rss_kb)
cpu_end=$(cpu_ticks)
t_end=$(date +%s.%N)
kill -TERM "$orvel_pid"
wait "$orvel_pid" || echo "soak: orvel_soak exited with $?"
last=$(grep '^soak ' "$work/orvel.err" | tail -1)
sleep 0.5   # the server's last messages

field() { echo "$1" | tr ' ' '\n' | awk -F= -v key="$2" '$1 == key { print $2 }'; }
seconds=$(awk -v a="$t_start" -v b="$t_end" 'BEGIN { printf "%.1f", b - a }')

echo "soak: ${duration} s measured after ${settle} s, jackd -R -P 70 dummy 48000 Hz / 256 frames," \
    "orvel ${orvel_options[*]}, loop of $loop_frames frames"
orvel_xruns=$(( $(grep -ci xrun "$work/jackd.log" || true) - xruns_before ))
echo "xruns in ${duration} s: the loop alone $baseline_xruns, with Orvel $orvel_xruns lines"
echo "xruns (after the first ${settle} s: $orvel_xruns lines)," \
    "by cause over the whole run:"
grep -i xrun "$work/jackd.log" | awk '
    {
        c = index($0, "client = "); s = index($0, "state = ")
        if (c && s) { split(substr($0, c + 9), w, " "); cause = w[1] " " substr($0, s + 8) }
        else { cause = $0; gsub(/[0-9]+/, "N", cause) }
        n[cause]++
    }
    END { for (k in n) printf "  %5d  %s\n", n[k], k; if (length(n) == 0) print "  none" }' | sort -rn
awk -F'\t' -v s="$seconds" '
    FNR == NR { start[$1] = $2; next }
    { d = $2 - start[$1]; total += d; per[$1] += d }
    END {
        printf "wake-ups: %.0f per second (voluntary + involuntary context switches, all threads)\n", total / s
        for (t in per) printf "  %8.0f/s  %s\n", per[t] / s, t
    }' "$work/switches.start" "$work/switches.end" | { read -r head; echo "$head"; sort -rn | head -8; }
echo "callback: worst $(field "$last" worst_us) us, 99.9th percentile $(field "$last" p999_us) us" \
    "over $(field "$last" callbacks) calls (period 5333 us)"
echo "processor: $(awk -v t=$((cpu_end - cpu_start)) -v hz="$(getconf CLK_TCK)" -v s="$seconds" 'BEGIN { printf "%.1f", 100 * t / hz / s }') % of one core"
echo "RSS: start $((rss_start / 1024)) MB ($rss_start kB), end $((rss_end / 1024)) MB ($rss_end kB)"
echo "jobs: completed $(( $(field "$last" completed) - $(field "$first" completed) )) and skipped" \
    "$(( $(field "$last" skipped) - $(field "$first" skipped) )) in the measured time" \
    "($(field "$last" completed) and $(field "$last" skipped) in all)"
echo "delay: $(field "$first" delay) samples at the start, $(field "$last" delay) at the end"
echo "logs: $work"
if [ "$perf_status" = 0 ]; then
    echo "speed tests (ctest -L perf): passed"
else
    echo "speed tests (ctest -L perf): failed, status $perf_status"
fi
exit "$perf_status"
