#!/bin/sh
# Signing as a release does it, with a throwaway root and code-signing
# certificate made here (never checked in): a build tree of its own is
# configured with the certificate and builds the package; then every signature
# is verified against that root, a changed byte of the service's code must fail
# the verification, the password must appear nowhere, and the signed package
# must install and start the service under Wine's service manager.
#   check_signing.sh SOURCE_DIR WORK_DIR TOOLCHAIN_FILE OBJDUMP
set -eu
source_dir=$1
work=$2
toolchain=$3
objdump=$4
wine=/usr/lib/wine/wine64
: "${WINEPREFIX:?the Wine prefix of the tests}"

failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

rm -rf "$work"
mkdir -p "$work/ca" "$work/bin" "$work/extract"
tree=$work/tree

# --- A root and a code-signing certificate issued by it -------------------------------
cat >"$work/ca/openssl.cnf" <<'EOF'
[req]
distinguished_name = dn
prompt = no
[dn]
CN = Tobra Signing Test Root
[root]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[signer]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
EOF
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -config "$work/ca/openssl.cnf" -extensions root \
    -keyout "$work/ca/root.key" -out "$work/ca/root.pem" 2>/dev/null
openssl req -newkey rsa:2048 -nodes -subj "/CN=Tobra Signing Test Publisher" \
    -keyout "$work/ca/signer.key" -out "$work/ca/signer.csr" 2>/dev/null
openssl x509 -req -days 2 -in "$work/ca/signer.csr" -CA "$work/ca/root.pem" -CAkey "$work/ca/root.key" \
    -CAcreateserial -extfile "$work/ca/openssl.cnf" -extensions signer -out "$work/ca/signer.pem" 2>/dev/null
password=$(od -An -N12 -tx1 /dev/urandom | tr -d ' \n')
openssl pkcs12 -export -inkey "$work/ca/signer.key" -in "$work/ca/signer.pem" -certfile "$work/ca/root.pem" \
    -passout "pass:$password" -out "$work/ca/signer.p12"

# osslsigncode as the build finds it on PATH, with each command line recorded.
real=$(command -v osslsigncode)
cat >"$work/bin/osslsigncode" <<EOF
#!/bin/sh
printf '%s\n' "\$*" >>"$work/osslsigncode-commands.txt"
exec "$real" "\$@"
EOF
chmod +x "$work/bin/osslsigncode"

# --- The build of a release, signed ---------------------------------------------------
url=https://tobra.invalid/release
PATH=$work/bin:$PATH
if ! nice -n 10 cmake -S "$source_dir" -B "$tree" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
        -DTOBRA_BUILD_TESTS=OFF -DTOBRA_SIGN_PKCS12="$work/ca/signer.p12" -DTOBRA_SIGN_URL="$url" \
        >"$work/build.log" 2>&1 ||
    ! TOBRA_SIGN_PASSWORD=$password nice -n 10 cmake --build "$tree" -j2 --target tobra_msi >>"$work/build.log" 2>&1; then
    cat "$work/build.log"
    echo "FAILED: the signed build"
    exit 1
fi
msi=$(ls "$tree"/bin/TobraService-*-x64.msi)
pass "built $(basename "$msi") with the certificate"

# --- The password went nowhere --------------------------------------------------------
if grep -r -a -q -F "$password" "$tree" "$work/build.log" "$work/osslsigncode-commands.txt"; then
    fail "the password appears in the build tree, the build's output or a signing command line"
else
    pass "the password is in no generated file, no output and no command line"
fi
grep -q -- "-readpass" "$work/osslsigncode-commands.txt" || fail "osslsigncode was not given the password file"
for file in $(sed -n 's/.*-readpass \([^ ]*\).*/\1/p' "$work/osslsigncode-commands.txt"); do
    [ ! -e "$file" ] || fail "the password file $file outlived its signing"
done

# --- Every signature verifies against the root ----------------------------------------
verify() {
    if osslsigncode verify -CAfile "$work/ca/root.pem" -in "$1" >"$work/verify.txt" 2>&1 &&
        grep -q "Text description: Tobra Service" "$work/verify.txt" &&
        grep -q "URL description: $url" "$work/verify.txt"; then
        pass "$2 verifies ($(grep -m 1 -o 'Message digest algorithm *: [A-Z0-9]*' "$work/verify.txt" |
            tr -s ' '); $(grep -m 1 '^Signature verification' "$work/verify.txt"))"
    else
        cat "$work/verify.txt"
        fail "$2 does not verify as signed by the test publisher"
    fi
}
verify "$msi" "the package"
msiextract -C "$work/extract" "$msi" >/dev/null
signed_files=0
# The installed paths hold blanks ("Program Files", "Tobra Service").
find "$work/extract" -type f >"$work/extracted.txt"
while IFS= read -r file; do
    if [ "$(head -c 2 "$file")" = "MZ" ]; then
        verify "$file" "installed file $(basename "$file")"
        signed_files=$((signed_files + 1))
    fi
done <"$work/extracted.txt"
[ "$signed_files" -ge 3 ] ||
    fail "the package holds $signed_files executable files, expected the service, tobractl and tobra_client.dll"
grep -q '/tobra_client\.dll$' "$work/extracted.txt" || fail "the package holds no tobra_client.dll"
msiinfo extract "$msi" Binary.TobraMsiActions >"$work/TobraMsiActions.dll"
verify "$work/TobraMsiActions.dll" "custom-action DLL (Binary table)"

# --- A changed byte of the service's code breaks the signature --------------------------
service=$(find "$work/extract" -type f -name TobraService.exe)
cp "$service" "$work/changed.exe"
text=$("$objdump" -h "$work/changed.exe" | awk '$2 == ".text" { print $3, $6; exit }')
size=$(echo "$text" | cut -d' ' -f1)
offset=$(echo "$text" | cut -d' ' -f2)
at=$((0x$offset + 0x$size / 2))
byte=$(dd if="$work/changed.exe" bs=1 skip="$at" count=1 2>/dev/null | od -An -tu1 | tr -d ' ')
printf "$(printf '\\%03o' $((byte ^ 0xFF)))" | dd of="$work/changed.exe" bs=1 seek="$at" count=1 conv=notrunc 2>/dev/null
if osslsigncode verify -CAfile "$work/ca/root.pem" -in "$work/changed.exe" >"$work/verify.txt" 2>&1; then
    fail "a changed byte at $at in the code section still verifies"
elif grep -q MISMATCH "$work/verify.txt"; then
    pass "a changed byte at $at in the code section fails the verification (digest mismatch)"
else
    cat "$work/verify.txt"
    fail "the changed file failed to verify, but not on its digest"
fi

# --- The signed package installs and starts the service under Wine ----------------------
state() { timeout 60 "$wine" sc query "Tobra Service" </dev/null 2>/dev/null | tr -d '\r'; }
mkdir -p "$WINEPREFIX/drive_c/tobra-signing"
cp "$msi" "$WINEPREFIX/drive_c/tobra-signing/signed.msi"
package='C:\tobra-signing\signed.msi'
uninstall() { timeout 120 "$wine" msiexec /x "$package" /qn </dev/null >/dev/null 2>&1 || true; }
trap uninstall EXIT
if timeout 120 "$wine" msiexec /i "$package" /qn </dev/null >"$work/msiexec.log" 2>&1; then
    running=0
    for _ in $(seq 1 100); do
        if state | grep -q RUNNING; then
            running=1
            break
        fi
        sleep 0.2
    done
    [ $running -eq 1 ] && pass "the signed package installed and started Tobra Service" ||
        fail "Tobra Service is not running after the signed package's install: $(state)"
else
    fail "msiexec could not install the signed package (exit $?)"
fi
uninstall
trap - EXIT
state | grep -q STATE && fail "the service is still registered after the uninstall"
rm -rf "$WINEPREFIX/drive_c/tobra-signing"

echo "Not tested here: a timestamp (no time-stamping service can be reached from this machine)."
[ $failures -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
echo "All signing checks passed."
