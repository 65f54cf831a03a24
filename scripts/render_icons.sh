#!/usr/bin/env bash
# Render the icon's PNG sizes from data/icons/org.orvel.Orvel.svg after a
# change to the picture; commit the PNGs, so a build never needs the renderer.
# Needs rsvg-convert (Debian package librsvg2-bin).
set -eu
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
svg="$root/data/icons/org.orvel.Orvel.svg"
if ! command -v rsvg-convert >/dev/null; then
    echo "render_icons.sh: rsvg-convert is missing: apt-get install librsvg2-bin" >&2
    exit 1
fi
for size in 48 128 256; do
    mkdir -p "$root/data/icons/${size}x${size}"
    rsvg-convert -w "$size" -h "$size" "$svg" -o "$root/data/icons/${size}x${size}/org.orvel.Orvel.png"
done
