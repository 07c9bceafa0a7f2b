#!/bin/bash
# scripts/sign against a fresh Windows build, with a throw-away certificate
# made here with openssl (nothing of it outlives the test):
#   tests/signing/sign_test.sh <win64-build-dir>
# A wrong password, or a signature that does not verify against the CA
# given, leaves the files as they were; the right password, from the
# environment or a file, signs both executables (again, once signed) so
# that they verify against that certificate; the signed files keep their
# resources (checked under Wine when WINEPREFIX is set).
set -uo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:?usage: sign_test.sh <win64-build-dir>}" && pwd) || exit 1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
# A check runs its commands under "set -e" (a "!" needs "|| exit 1").
check() {
  if (set -e; eval "$2") >"$work/out" 2>&1; then echo "ok   $1"; else echo "FAIL $1"; sed 's/^/    /' "$work/out"; failures=$((failures + 1)); fi
}

for name in publisher stranger; do
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=$name/O=Throw-away test publisher" \
    -addext extendedKeyUsage=codeSigning -addext keyUsage=digitalSignature \
    -keyout "$work/$name.key" -out "$work/$name.pem" 2>/dev/null \
    && openssl pkcs12 -export -inkey "$work/$name.key" -in "$work/$name.pem" -out "$work/$name.p12" -passout 'pass:pass word;1' \
    || { echo "FAIL openssl"; exit 1; }
done
mkdir "$work/exe"
cp "$build/ui/SoreluneUpdate.exe" "$build/tools/updtool.exe" "$work/exe/"
exes=("$work/exe/SoreluneUpdate.exe" "$work/exe/updtool.exe")
unsigned=$(sha256sum "${exes[@]}")
printf '%s' 'pass word;1' >"$work/password"
export SIGN_PKCS12=$work/publisher.p12

check "a wrong password fails and leaves both files as they were" \
  '! SIGN_PASSWORD=wrong "$root/scripts/sign" "${exes[@]}" || exit 1; [ "$(sha256sum "${exes[@]}")" = "$unsigned" ]'
check "a signature that does not verify against the CA given fails and leaves both files as they were" \
  '! SIGN_PASSWORD_FILE="$work/password" SIGN_CA_FILE="$work/stranger.pem" "$root/scripts/sign" "${exes[@]}" || exit 1
   [ "$(sha256sum "${exes[@]}")" = "$unsigned" ]'
check "signing with the password from the environment, and again from a file" \
  'SIGN_PASSWORD="pass word;1" "$root/scripts/sign" "${exes[@]}"
   SIGN_PASSWORD_FILE="$work/password" SIGN_CA_FILE="$work/publisher.pem" "$root/scripts/sign" "${exes[@]}"'
check "both verify against the publisher's certificate, neither against another" \
  'for exe in "${exes[@]}"; do
     osslsigncode verify -CAfile "$work/publisher.pem" -in "$exe"
     ! osslsigncode verify -CAfile "$work/stranger.pem" -in "$exe" || exit 1
   done'
if [ -n "${WINEPREFIX:-}" ]; then
  check "signed files keep their manifest, version resource and dialog template" \
    '"$root/scripts/wine-run" "$build/tests/ui_unit/resource_check.exe" "Z:${exes[0]//\//\\}" "Z:${exes[1]//\//\\}"'
fi

echo "signing: $failures failed"
[ "$failures" -eq 0 ]
