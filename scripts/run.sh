#!/usr/bin/env bash
# Install what is missing, build in Release and start Orvel; arguments go to
# the program (see: scripts/run.sh -h).
#
# With a JACK server running, Orvel joins it. Without one, a private demo
# server starts (dummy driver, 48000 Hz, no sound card needed) with Orvel's
# outputs looped back into its inputs; it stops when Orvel exits.
set -eu
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
orvel_install_missing
orvel_build --target orvel  # the tests are built by scripts/test.sh

orvel="$ORVEL_BUILD/orvel"
if jack_lsp >/dev/null 2>&1; then
    exec "$orvel" "$@"
fi
case " $* " in
    *" -h "*) exec "$orvel" "$@" ;;
esac

# A fixed name: a server that dies uncleanly keeps one of JACK's few registry
# slots until a server of the same name starts again.
export JACK_DEFAULT_SERVER=orvel-demo
if jack_lsp >/dev/null 2>&1; then
    exec "$orvel" "$@"  # another demo is running; join it
fi
echo "orvel: no JACK server running; starting a demo server ($JACK_DEFAULT_SERVER) with the outputs looped back" >&2
jackd --no-realtime -n "$JACK_DEFAULT_SERVER" -d dummy -r 48000 -p 256 -C 2 -P 2 >/dev/null 2>&1 &
server=$!
trap 'kill "$server" 2>/dev/null; wait "$server" 2>/dev/null' EXIT
for _ in $(seq 100); do
    jack_lsp >/dev/null 2>&1 && break
    sleep 0.1
done

"$orvel" "$@" &
program=$!
# Loop back once Orvel's ports are there (it may be showing a message box).
for _ in $(seq 100); do
    if jack_lsp 2>/dev/null | grep -q '^orvel:output_2$'; then
        jack_connect orvel:output_1 orvel:input_1 >/dev/null 2>&1 || true
        jack_connect orvel:output_2 orvel:input_2 >/dev/null 2>&1 || true
        break
    fi
    kill -0 "$program" 2>/dev/null || break
    sleep 0.1
done
# Ctrl+C reaches Orvel, which closes cleanly; keep the server until it has.
trap 'kill -TERM "$program" 2>/dev/null' INT TERM
status=0
wait "$program" || status=$?
while kill -0 "$program" 2>/dev/null; do
    status=0
    wait "$program" || status=$?
done
exit "$status"
