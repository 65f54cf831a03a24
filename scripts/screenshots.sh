#!/usr/bin/env bash
# Retake the pictures in docs/: Orvel against a private demo server, driven
# through its own controls, drawn on the offscreen platform.
set -eu
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
orvel_install_missing
orvel_build
# The pictures show the defaults, not what this user kept.
config=$(mktemp -d)
trap 'rm -rf "$config"' EXIT
XDG_CONFIG_HOME=$config "$ORVEL_BUILD/tests/orvel_screenshots" "$ORVEL_ROOT/docs"
