#!/usr/bin/env bash
# Install what is missing, build in Release and start Orvel; arguments go to
# the program (see: scripts/run.sh -h).
set -eu
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
orvel_install_missing
orvel_build
exec "$ORVEL_BUILD/orvel" "$@"
