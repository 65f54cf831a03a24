#!/usr/bin/env bash
# Install into a scratch folder and check what lands there, then build the
# Debian package and check it. The ctest Package.InstallTreeAndDeb runs it.
#   scripts/check_package.sh [build directory, default build/]
set -eu
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(realpath -m "${1:-$root/build}")
id=org.orvel.Orvel

fail() {
    echo "check_package: FAILED: $*" >&2
    exit 1
}

# Tool, then the Debian package it comes from (scripts/common.sh installs them).
need() {
    command -v "$1" >/dev/null || fail "$1 is missing: install the Debian package $2 (bash scripts/test.sh does)"
}
need desktop-file-validate desktop-file-utils
need appstreamcli appstream
need man man-db
need groff groff-base
need dpkg-shlibdeps dpkg-dev
need objdump binutils
need cpack cmake

# Width and height of a PNG, from its header.
png_size() {
    od -An -tu1 -j16 -N8 "$1" | awk '{ printf "%dx%d", (($1*256+$2)*256+$3)*256+$4, (($5*256+$6)*256+$7)*256+$8 }'
}

if [ ! -f "$build/build.ninja" ]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null || fail "configuring $build"
fi
# cpack would build everything anyway before it installs; here a failure is named.
build_log=$(cmake --build "$build" 2>&1) || { echo "$build_log" >&2; fail "building in $build"; }
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ -n "$version" ] || fail "no project version in $build/CMakeCache.txt"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# The install tree, laid out as the package lays it.
dest=$scratch/root
DESTDIR=$dest cmake --install "$build" --prefix /usr --strip >"$scratch/install.log" 2>&1 ||
    { cat "$scratch/install.log" >&2; fail "cmake --install"; }
expected=(
    usr/bin/orvel
    usr/bin/orvel-analyze
    "usr/share/applications/$id.desktop"
    "usr/share/metainfo/$id.metainfo.xml"
    "usr/share/icons/hicolor/scalable/apps/$id.svg"
    "usr/share/icons/hicolor/48x48/apps/$id.png"
    "usr/share/icons/hicolor/128x128/apps/$id.png"
    "usr/share/icons/hicolor/256x256/apps/$id.png"
    usr/share/doc/orvel/README.md
    usr/share/doc/orvel/LICENSE
)
# Every page in docs/man and every picture the README shows.
for page in "$root"/docs/man/*.[1-9]; do
    expected+=("usr/share/man/man${page##*.}/${page##*/}")
done
for picture in "$root"/docs/*.png; do
    expected+=("usr/share/doc/orvel/docs/${picture##*/}")
done
for file in "${expected[@]}"; do
    [ -f "$dest/$file" ] || fail "cmake --install did not install $file"
done
for program in orvel orvel-analyze; do
    [ -x "$dest/usr/bin/$program" ] || fail "usr/bin/$program is not executable"
done
# orvel-analyze runs where no display is: it must not need the widgets.
if objdump -p "$dest/usr/bin/orvel-analyze" | grep -E 'NEEDED +libQt6(Widgets|Gui)'; then
    fail "orvel-analyze links a widget library"
fi
for size in 48x48 128x128 256x256; do
    actual=$(png_size "$dest/usr/share/icons/hicolor/$size/apps/$id.png")
    [ "$actual" = "$size" ] || fail "the $size icon is $actual"
done

# The desktop entry names a program and an icon that are installed.
desktop=$dest/usr/share/applications/$id.desktop
output=$(desktop-file-validate "$desktop" 2>&1) || fail "desktop-file-validate: $output"
[ -z "$output" ] || fail "desktop-file-validate: $output"
program=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")
[ -x "$dest/usr/bin/$program" ] || fail "the desktop entry starts '$program', which is not in usr/bin"
grep -qx "Icon=$id" "$desktop" || fail "the desktop entry's icon is not $id"

metainfo=$dest/usr/share/metainfo/$id.metainfo.xml
output=$(appstreamcli validate --no-net "$metainfo" 2>&1) || fail "appstreamcli validate: $output"
if grep -E '^[EW]:' <<<"$output"; then
    fail "appstreamcli validate warns"
fi
# The tree as a whole: the metainfo finds its desktop entry.
output=$(appstreamcli validate-tree --no-net "$dest" 2>&1) || fail "appstreamcli validate-tree: $output"
if grep -E '^ *[EW]:' <<<"$output"; then
    fail "appstreamcli validate-tree warns"
fi
grep -q "<launchable type=\"desktop-id\">$id.desktop</launchable>" "$metainfo" ||
    fail "the metainfo does not launch $id.desktop"
# What software centres want and the validator lets pass.
for element in content_rating screenshot "url type=\"homepage\"" release; do
    grep -q "<$element" "$metainfo" || fail "the metainfo has no <$element>"
done
newest=$(grep -o '<release version="[^"]*"' "$metainfo" | head -n 1 | cut -d'"' -f2)
[ "$newest" = "$version" ] || fail "the metainfo's newest release is $newest, the project is $version"

# Pages render without a warning, and name the project's version.
for page in "$dest"/usr/share/man/man*/*; do
    name=${page##*/}
    output=$(groff -man -ww -z "$page" 2>&1)
    [ -z "$output" ] || fail "groff warns on $name: $output"
    # No seccomp filter: some containers refuse it.
    output=$(LC_ALL=C.UTF-8 MANWIDTH=80 MANPAGER=cat MAN_DISABLE_SECCOMP=1 \
        man --warnings=w -l "$page" 2>&1 >"$scratch/page.txt") || fail "man -l $name: $output"
    [ -z "$output" ] || fail "man warns on $name: $output"
    grep -q '^NAME' "$scratch/page.txt" || fail "man -l $name shows no NAME"
    head -n 1 "$page" | grep -q "\"orvel $version\"" || fail "$name's .TH does not say orvel $version"
    grep -q "^NAME" "$scratch/page.txt" && grep -q "^EXIT STATUS" "$scratch/page.txt" ||
        fail "man -l $name shows no EXIT STATUS"
done

# The package holds the same files as the install tree.
(cd "$scratch" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/deb") >"$scratch/cpack.log" 2>&1 ||
    { cat "$scratch/cpack.log" >&2; fail "cpack -G DEB"; }
debs=("$scratch"/deb/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "cpack made no single .deb: ${debs[*]}"
deb=${debs[0]}
dpkg-deb -c "$deb" | awk '/^-/ { sub(/^\.\//, "", $6); print $6 }' | sort >"$scratch/deb.txt"
(cd "$dest" && find . -type f | sed 's|^\./||' | sort) >"$scratch/tree.txt"
diff -u "$scratch/tree.txt" "$scratch/deb.txt" >&2 || fail "the .deb's files differ from the install tree (- tree, + .deb)"
for file in "${expected[@]}"; do
    grep -qx "$file" "$scratch/deb.txt" || fail "the .deb lacks $file"
done
[ "$(dpkg-deb -f "$deb" Package)" = orvel ] || fail "the package is not named orvel"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "the package's version is not $version"
depends=$(dpkg-deb -f "$deb" Depends)
for library in libjack libqt6widgets6 libc6 libsndfile1 libsoxr0; do
    grep -Eq "(^|[ ,|])$library[-a-z0-9.]*( |,|$)" <<<"$depends" || fail "Depends does not name $library: $depends"
done
echo "check_package: ${deb##*/}: ${#expected[@]} files checked; Depends: $depends"
