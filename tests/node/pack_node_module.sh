#!/bin/sh
# The Node.js module as its users get it: npm packs it with tobra_client.dll
# into a tarball left in WORK_DIR, whose files and platform fields are checked;
# then the tarball is installed into an empty folder (WORK_DIR/install), with
# the pinned koffi tarballs and nothing from the network, for the check under
# Wine that runs against that install.
#   pack_node_module.sh NODE_TOOLS MODULE_DIR DLL WORK_DIR
set -eu
tools=$1
module=$2
dll=$3
work=$4
node=$tools/node/bin/node
npm="$node $tools/npm/bin/npm-cli.js"
export npm_config_update_notifier=false npm_config_fund=false npm_config_audit=false
export npm_config_cache=$work/npm-cache npm_config_logs_dir=$work/npm-logs

failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

rm -rf "$work"
mkdir -p "$work/stage" "$work/install"
cp "$module/index.js" "$module/index.d.ts" "$module/README.md" "$module/package.json" "$dll" "$work/stage/"
echo "$node $("$node" --version), npm $($npm --version)"
tarball=$(cd "$work/stage" && $npm pack --silent --pack-destination "$work")
tarball=$work/$tarball
[ -f "$tarball" ] || { echo "FAILED: npm pack wrote no tarball"; exit 1; }
pass "npm pack wrote $tarball"

echo "The tarball's files:"
tar -tzf "$tarball" | sort | tee "$work/files.txt"
printf '%s\n' package/README.md package/index.d.ts package/index.js package/package.json package/tobra_client.dll \
    >"$work/expected.txt"
cmp -s "$work/files.txt" "$work/expected.txt" && pass "it holds the module, its declarations, README and the DLL" ||
    fail "its files are not the module's five"
tar -xzf "$tarball" -C "$work" package/package.json
"$node" -e '
const p = require(process.argv[1]);
const ok = JSON.stringify(p.os) === "[\"win32\"]" && JSON.stringify(p.cpu) === "[\"x64\"]" && p.engines && p.engines.node &&
  p.dependencies.koffi === "3.3.4" && p.dependencies["@koromix/koffi-win32-x64"] === "3.3.4" && p.types === "index.d.ts";
console.log(JSON.stringify({ os: p.os, cpu: p.cpu, engines: p.engines, dependencies: p.dependencies }));
process.exit(ok ? 0 : 1);' "$work/package/package.json" && pass "os win32, cpu x64, engines and the pinned koffi" ||
    fail "the package's platform, engines or dependencies"

# npm refuses another platform's package on Linux unless told; --offline: the
# pinned tarballs are all there is.
if (cd "$work/install" && $npm install --silent --force --os=win32 --cpu=x64 --ignore-scripts --offline \
        "$tools"/koffi-3.3.4.tgz "$tools"/koffi-win32-x64-3.3.4.tgz "$tarball" >"$work/install.log" 2>&1); then
    pass "installed the tarball into an empty folder"
else
    cat "$work/install.log"
    fail "npm install of the tarball"
fi
installed=$work/install/node_modules
cmp -s "$dll" "$installed/tobra-service-client/tobra_client.dll" && pass "the installed module carries the DLL" ||
    fail "the installed module has no tobra_client.dll, or another"
[ -f "$installed/@koromix/koffi-win32-x64/win32_x64/koffi.node" ] && pass "koffi's Windows binary is installed" ||
    fail "koffi's Windows binary is missing"

[ $failures -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
echo "All package checks passed."
