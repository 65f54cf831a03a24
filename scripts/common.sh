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

# The soak scripts' server: a real-time jackd named $1 (dummy driver, 48000
# Hz, 256 frames, its log in $2/jackd.log) and the tests' delaying loop of $3
# frames on it, ready once loop:in is there. The caller exports
# JACK_DEFAULT_SERVER=$1 and sets pids=() first: both process ids go to the
# front of pids, which orvel_stop_pids ends one at a time in order, so a
# client put in front later goes first and the server last (a client that
# outlives its server hangs in its close).
orvel_start_loop_server() {
    local name=$1 work=$2 frames=$3
    jackd -R -P 70 -n "$name" -d dummy -r 48000 -p 256 -C 2 -P 2 >"$work/jackd.log" 2>&1 &
    pids=($! "${pids[@]}")
    # jack_lsp is a libjack client: it knocks only once the socket is there.
    for _ in $(seq 100); do [ -S "/dev/shm/jack_${name}_$(id -u)_0" ] && jack_lsp >/dev/null 2>&1 && break; sleep 0.1; done
    jack_lsp >/dev/null 2>&1 || { echo "jackd did not start" >&2; cat "$work/jackd.log" >&2; return 1; }
    "$ORVEL_BUILD/tests/orvel_delay_loop" "$frames" &
    pids=($! "${pids[@]}")
    for _ in $(seq 100); do jack_lsp 2>/dev/null | grep -q '^loop:in$' && break; sleep 0.1; done
}

orvel_stop_pids() {
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true
    done
}
