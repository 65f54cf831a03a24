#!/usr/bin/env bash
# Build and run the tests under sanitizers, each in a build tree of its own.
#   scripts/sanitize.sh address,undefined [ctest -R regex]
#   scripts/sanitize.sh thread [ctest -R regex]
set -eu
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
sanitizers=${1:?which sanitizers, e.g. address,undefined or thread}
filter=${2:-.}
build="$ORVEL_ROOT/build-${sanitizers//,/-}"
orvel_install_missing
# Configured every time (quick on an existing tree), so warnings are errors
# here whoever configured the tree first.
cmake -S "$ORVEL_ROOT" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DORVEL_SANITIZE="$sanitizers" -DORVEL_BUILD_BENCH=OFF -DORVEL_WERROR=ON
cmake --build "$build" -j "$(nproc)"
cd "$build"
export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$ORVEL_ROOT/tests/lsan.supp}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:suppressions=$ORVEL_ROOT/tests/tsan.supp}
# Widget tests are single-threaded; under ThreadSanitizer they would only
# show the uninstrumented toolkit's own threads. Arithmetic tests have no
# threads at all. orvel-analyze's reference output holds for the vector tone
# kernel, which a ThreadSanitizer build goes without.
exclude=()
if [ "$sanitizers" = thread ]; then
    exclude=(-LE "widgets|arithmetic|reference")
fi
exec ctest --no-tests=error --output-on-failure --timeout 600 -j "$(nproc)" -R "$filter" "${exclude[@]}"
