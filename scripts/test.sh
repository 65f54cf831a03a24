#!/usr/bin/env bash
# Install what is missing, build in Release with warnings as errors and run
# every test.
# The exit status is the tests' result.
set -eu
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
orvel_install_missing
orvel_configure -DORVEL_WERROR=ON
orvel_build
cd "$ORVEL_BUILD"
exec ctest --output-on-failure --no-label-summary --timeout 300 -j "$(nproc)"
