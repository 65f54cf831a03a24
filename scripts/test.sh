#!/usr/bin/env bash
# Install what is missing, build in Release with warnings as errors and run
# every test but the speed measurements (LABELS perf, run by scripts/soak.sh).
# The exit status is the tests' result.
set -eu
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
orvel_install_missing
orvel_configure -DORVEL_WERROR=ON
orvel_build
# The lock annotations (engine/mutex.h), checked by Clang on the code without
# widgets and on the tests' support library (which takes ring_mutex too): a
# member used without the lock that guards it, or one of the engine's
# results_mutex_ and jobs_mutex_ taken while the other is held, fails here.
ORVEL_CLANG_BUILD=${ORVEL_CLANG_BUILD:-$ORVEL_ROOT/build-clang}
CXX=clang++ cmake -S "$ORVEL_ROOT" -B "$ORVEL_CLANG_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DORVEL_WERROR=ON \
    -DORVEL_THREAD_SAFETY=ON -DORVEL_BUILD_TESTS=OFF -DORVEL_BUILD_BENCH=OFF >/dev/null
cmake --build "$ORVEL_CLANG_BUILD" --target orvel_core orvel_files orvel-analyze orvel_test_support
cd "$ORVEL_BUILD"
exec ctest --output-on-failure --no-label-summary --timeout 300 -j "$(nproc)" -LE perf
