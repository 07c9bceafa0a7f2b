#!/bin/bash
# scripts/sign against a fresh Windows build, with a throw-away certificate
# made here with openssl (nothing of it outlives the test):
#   tests/signing/sign_test.sh <win64-build-dir>
# A wrong password leaves the files as they were; the right one signs both
# executables so that osslsigncode verifies them against that certificate
# (and not against another); the signed files keep their resources (checked
# under Wine when WINEPREFIX is set).
set -uo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:?usage: sign_test.sh <win64-build-dir>}" && pwd) || exit 1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
check() {
  local what=$1
  shift
  if "$@" >"$work/out" 2>&1; then echo "ok   $what"; else echo "FAIL $what"; sed 's/^/    /' "$work/out"; failures=$((failures + 1)); fi
}

make_certificate() {  # name, password
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=$1/O=Throw-away test publisher" \
    -addext extendedKeyUsage=codeSigning -addext keyUsage=digitalSignature \
    -keyout "$work/$1.key" -out "$work/$1.pem" 2>/dev/null \
    && openssl pkcs12 -export -inkey "$work/$1.key" -in "$work/$1.pem" -out "$work/$1.p12" -passout "pass:$2"
}
make_certificate publisher 'pass word;1' && make_certificate stranger other || { echo "FAIL openssl"; exit 1; }

mkdir "$work/exe"
cp "$build/ui/SoreluneUpdate.exe" "$build/tools/updtool.exe" "$work/exe/"
exes=("$work/exe/SoreluneUpdate.exe" "$work/exe/updtool.exe")
unsigned=$(sha256sum "${exes[@]}")

export SIGN_PKCS12=$work/publisher.p12
signs() { "$root/scripts/sign" "${exes[@]}"; }
unchanged() { [ "$(sha256sum "${exes[@]}")" = "$unsigned" ]; }
verifies() {  # CA file, then every executable
  local ca=$1 exe
  for exe in "${exes[@]}"; do osslsigncode verify -CAfile "$ca" -in "$exe" || return 1; done
}

check "a wrong password fails" eval '! SIGN_PASSWORD=wrong signs'
check "... and leaves both files as they were" unchanged
check "unsigned files do not verify" eval '! verifies "$work/publisher.pem"'
printf '%s' 'pass word;1' >"$work/password"
check "signing with the password from a file" env SIGN_PASSWORD_FILE="$work/password" SIGN_CA_FILE="$work/publisher.pem" "$root/scripts/sign" "${exes[@]}"
check "both verify against the publisher's certificate" verifies "$work/publisher.pem"
check "neither verifies against another certificate" eval '! verifies "$work/stranger.pem"'
check "signing again with the password from the environment" env SIGN_PASSWORD='pass word;1' "$root/scripts/sign" "${exes[@]}"
check "... still verifies" verifies "$work/publisher.pem"
if [ -n "${WINEPREFIX:-}" ]; then
  check "signed files keep their manifest and version resource" \
    "$root/scripts/wine-run" "$build/ui/resource_check.exe" "Z:${exes[0]//\//\\}" "Z:${exes[1]//\//\\}"
fi

echo "signing: $failures failed"
[ "$failures" -eq 0 ]
