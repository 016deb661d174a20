# Shared by the project's scripts: install what the build needs, build the
# tree, and run Wine in the build tree's own prefix. Source it, don't run it.

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${TOBRA_BUILD_DIR:-$ROOT/build}
WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver
export WINEPREFIX=$BUILD/wineprefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

PACKAGES="g++-mingw-w64-x86-64-posix mingw-w64-tools cmake make wine64 googletest ca-certificates msitools wixl clang libclang-rt-14-dev gcovr"

say() { printf '\n==> %s\n' "$*"; }

# Installs the Debian packages that are missing; a no-op when all are there.
install_dependencies() {
    local missing=""
    for package in $PACKAGES; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" \
            || missing="$missing $package"
    done
    [ -z "$missing" ] && return 0
    say "Installing:$missing"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends $missing >/dev/null
}

# Configures and builds the tree; the build also creates the Wine prefix.
build_tree() {
    say "Building in $BUILD"
    cmake -S "$ROOT" -B "$BUILD" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-mingw64.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DTOBRA_WERROR=ON "$@" >/dev/null
    cmake --build "$BUILD" -j"$(nproc)"
}

# One persistent Wine session for the whole run: each program then starts in
# ~0.1 s, and the session's helper processes are started with their output
# detached so that nothing waits on their pipes.
start_wine_session() {
    # A server already running for this prefix (a run still ending) is reused.
    "$WINESERVER" -p 2>/dev/null || true
    timeout 120 "$WINE" wineboot </dev/null >/dev/null 2>&1 || true
}

stop_wine_session() {
    "$WINESERVER" -k 2>/dev/null || true
}

wine_run() {
    timeout "${WINE_TIMEOUT:-120}" "$WINE" "$@" </dev/null
}
