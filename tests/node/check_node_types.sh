#!/bin/sh
# The module's declarations under a pinned TypeScript, strict: a typed caller
# compiles, and one with type errors makes tsc fail on exactly those.
#   check_node_types.sh NODE_TOOLS TYPES_DIR
set -eu
tools=$1
types=$2
tsc="$tools/node/bin/node $tools/typescript/bin/tsc"
echo "tsc $($tsc --version)"
if ! $tsc -p "$types/tsconfig.json"; then
    echo "FAILED: the typed caller does not compile"
    exit 1
fi
echo "ok: the typed caller compiles"
if output=$($tsc -p "$types/tsconfig.mistyped.json"); then
    echo "FAILED: tsc accepted the mistyped caller"
    exit 1
fi
echo "$output"
for error in "mistyped_caller.ts(5,55): error TS2322" "mistyped_caller.ts(6,10): error TS2367"; do
    case $output in
    *"$error"*) ;;
    *)
        echo "FAILED: tsc did not report $error"
        exit 1
        ;;
    esac
done
[ "$(echo "$output" | grep -c 'error TS')" -eq 2 ] || { echo "FAILED: errors beyond the two"; exit 1; }
echo "ok: tsc refuses the mistyped caller with its two errors"
