#!/usr/bin/env bash
# The Group Policy template and its English texts: both well-formed, every
# string and presentation the template names defined in the texts, and every
# presentation's box bound to an element of its policy.
#   check_admx.sh TEMPLATE.admx TEXTS.adml
set -euo pipefail
admx=$1
adml=$2
xmllint --noout "$admx" "$adml"

failed=0
for ref in $(grep -o '\$(string\.[A-Za-z0-9_]*)' "$admx" | sed 's/^\$(string\.//; s/)$//' | sort -u); do
    grep -q "<string id=\"$ref\">" "$adml" || { echo "string $ref is not in $adml"; failed=1; }
done
for ref in $(grep -o '\$(presentation\.[A-Za-z0-9_]*)' "$admx" | sed 's/^\$(presentation\.//; s/)$//' | sort -u); do
    grep -q "<presentation id=\"$ref\">" "$adml" || { echo "presentation $ref is not in $adml"; failed=1; }
done
for ref in $(grep -o 'refId="[A-Za-z0-9_]*"' "$adml" | sed 's/^refId="//; s/"$//' | sort -u); do
    grep -q " id=\"$ref\"" "$admx" || { echo "presentation box $ref names no element of $admx"; failed=1; }
done
[ "$failed" = 0 ] && echo "$(basename "$admx") and $(basename "$adml"): well-formed, every reference defined"
exit $failed
