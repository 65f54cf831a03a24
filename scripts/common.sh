# Shared by run.sh and test.sh: install what is missing, then build.
# Sourced, not run.

ORVEL_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
ORVEL_BUILD=${ORVEL_BUILD:-$ORVEL_ROOT/build}

ORVEL_PACKAGES=(
    g++ clang cmake ninja-build pkg-config
    qt6-base-dev libgl-dev
    libjack-jackd2-dev jackd2
    pipewire pipewire-bin pipewire-jack wireplumber
    libfftw3-dev libsndfile1-dev libsoxr-dev
    libgtest-dev libbenchmark-dev
    desktop-file-utils appstream dpkg-dev man-db groff-base
)

orvel_install_missing() {
    local missing=() package
    for package in "${ORVEL_PACKAGES[@]}"; do
        if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$package")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0

    echo "orvel: installing ${missing[*]}" >&2
    local sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        sudo=(sudo)
    fi
    "${sudo[@]}" apt-get update -qq &&
        "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
            apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# Arguments (e.g. -DORVEL_WERROR=ON) configure even an existing tree, so an
# option a script relies on is set whoever configured the tree first.
orvel_configure() {
    if [ $# -gt 0 ] || [ ! -f "$ORVEL_BUILD/build.ninja" ]; then
        cmake -S "$ORVEL_ROOT" -B "$ORVEL_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release "$@" || return 1
    fi
}

# Arguments go to cmake --build, e.g. --target orvel.
orvel_build() {
    orvel_configure || return 1
    cmake --build "$ORVEL_BUILD" "$@"
}
