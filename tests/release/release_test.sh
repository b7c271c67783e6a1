#!/bin/bash
# The release, as scripts/release.sh builds it from the current commit:
#
# 1. Reproducible: the win64 archive built twice, each run in a work folder of its own and the
#    second later and under another time zone, is the same byte for byte, SHA256SUMS too.
# 2. What an archive holds: exactly the release's files, the version of VERSION in its name, the
#    programs' and the carried helpers' version records and texts (check_archive.py); an unsigned
#    release says that it is unsigned, and carries no signature.
# 3. Signed: with a throwaway certificate (PKCS #12), the win32 release signs both programs and
#    the helpers they carry, each verified by osslsigncode against the certificate; the PEM form
#    of the certificate signs too.
#
# Each release run builds one architecture's programs from scratch (about two minutes on an idle
# 2-core machine): win64 twice for the comparison, win32 once signed, so both architectures are
# built and checked and the whole test stays within about seven minutes.
set -euo pipefail
cd "$(dirname "$0")/../.."
here=tests/release

t=$(mktemp -d "${TMPDIR:-/tmp}/corvane-release-test.XXXXXX")
trap 'rm -rf "$t"' EXIT
version=$(git show HEAD:VERSION | head -n 1)
epoch=$(git log -1 --format=%ct HEAD)
failed=0
fail() { echo "FAULT: $*"; failed=1; }

release() {  # name, then release.sh arguments: the run's standard output in $t/<name>.out
    local name=$1
    shift
    echo "== release $name: $*"
    if ! scripts/release.sh --out "$t/$name" "$@" >"$t/$name.out" 2>"$t/$name.err"; then
        tail -30 "$t/$name.err"
        fail "scripts/release.sh $* failed"
        exit 1
    fi
    grep -E "^(== win|unsigned|signed)" "$t/$name.out" || true
}

release first --arch x64
grep -q "^unsigned: " "$t/first.out" || fail "an unsigned release does not say so on standard output"
sleep 2  # a later time, down to the zip's two-second steps
TZ=Pacific/Kiritimati release second --arch x64
for file in "corvane-$version-win64.zip" SHA256SUMS; do
    cmp "$t/first/$file" "$t/second/$file" || fail "$file differs between two runs"
done
(cd "$t/first" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not match"
python3 "$here/check_archive.py" "$t/first" "$version" win64 "$epoch" --unsigned || failed=1

# A throwaway code-signing certificate, in both forms.
openssl req -x509 -newkey rsa:2048 -sha256 -nodes -days 2 -subj "/CN=Corvane release test" \
    -addext "extendedKeyUsage=codeSigning" -addext "keyUsage=digitalSignature" \
    -keyout "$t/key.pem" -out "$t/cert.pem" 2>/dev/null
printf 'release-test\n' >"$t/password"
openssl pkcs12 -export -inkey "$t/key.pem" -in "$t/cert.pem" -out "$t/signer.p12" \
    -passout pass:release-test

release signed --arch x86 --pkcs12 "$t/signer.p12" --password-file "$t/password"
grep -q "^signed: " "$t/signed.out" || fail "a signed release does not say so on standard output"
! grep -q "^unsigned" "$t/signed.out" || fail "a signed release says it is unsigned"
(cd "$t/signed" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS of the signed release"
python3 "$here/check_archive.py" "$t/signed" "$version" win32 "$epoch" --signed-by "$t/cert.pem" ||
    failed=1

# The PEM form, on a copy of the unsigned console program.
mkdir "$t/pem"
python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extract("corvane-cli.exe", sys.argv[2])' \
    "$t/first/corvane-$version-win64.zip" "$t/pem"
CORVANE_SIGN_CERT=$t/cert.pem CORVANE_SIGN_KEY=$t/key.pem scripts/sign-program.sh \
    "$t/pem/corvane-cli.exe" >/dev/null
osslsigncode verify -in "$t/pem/corvane-cli.exe" -CAfile "$t/cert.pem" >"$t/pem.out" 2>&1 ||
    { cat "$t/pem.out"; fail "a program signed with PEM files does not verify"; }

[ $failed -eq 0 ] && echo "== the release is reproducible, complete and signed as asked"
exit $failed
