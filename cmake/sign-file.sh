#!/bin/sh
# Signs one file in place with Authenticode (SHA-256) through osslsigncode:
#   sign-file.sh [--msi] [--url URL] [--timestamp URL] PKCS12 FILE
# The certificate's password comes from the environment variable
# TOBRA_SIGN_PASSWORD when the build runs, never from the command line: it is
# handed to osslsigncode in a file that only its owner can read, which is gone
# when this script ends. (Debian 12's osslsigncode 2.5 cannot read it from
# standard input.) --msi adds the MsiDigitalSignatureEx stream that Windows
# Installer checks for a signed package.
set -eu

msi=""
url=""
timestamp=""
while [ $# -gt 2 ]; do
    case $1 in
    --msi) msi=-add-msi-dse; shift ;;
    --url) url=$2; shift 2 ;;
    --timestamp) timestamp=$2; shift 2 ;;
    *) echo "sign-file.sh: unknown option $1" >&2; exit 2 ;;
    esac
done
[ $# -eq 2 ] || { echo "usage: sign-file.sh [--msi] [--url URL] [--timestamp URL] PKCS12 FILE" >&2; exit 2; }
pkcs12=$1
file=$2

if [ -z "${TOBRA_SIGN_PASSWORD+set}" ]; then
    echo "sign-file.sh: TOBRA_SIGN_PASSWORD is not set; it must hold the password of $pkcs12 (empty for none)" >&2
    exit 2
fi

umask 077
work=$(mktemp -d "${TMPDIR:-/tmp}/tobra-sign.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM
printf '%s' "$TOBRA_SIGN_PASSWORD" >"$work/password"

# The options that are not given stay out of the command entirely.
set -- -pkcs12 "$pkcs12" -readpass "$work/password" -h sha256 -n "Tobra Service"
[ -n "$url" ] && set -- "$@" -i "$url"
[ -n "$timestamp" ] && set -- "$@" -ts "$timestamp"
[ -n "$msi" ] && set -- "$@" "$msi"

# Into a new file first: a failed signing must not leave a half-written one.
osslsigncode sign "$@" -in "$file" -out "$work/signed" >"$work/output" 2>&1 || {
    cat "$work/output" >&2
    echo "sign-file.sh: could not sign $file" >&2
    exit 1
}
cp "$work/signed" "$file.signing"
chmod --reference="$file" "$file.signing"
mv -f "$file.signing" "$file"
echo "Signed $file"
