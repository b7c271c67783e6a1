#!/bin/bash
# Builds the release archives of the current commit: dist/corvane-<version>-win64.zip (x86_64) and
# dist/corvane-<version>-win32.zip (i686), each with Corvane.exe, corvane-cli.exe, the user guide
# and the licence texts, and dist/SHA256SUMS. Signs every program when a certificate is given.
# README.md, "Release", describes the options; run with --help for a summary.
#
# The release is built from the commit itself, never from the working tree: HEAD is exported with
# git archive into a fresh work folder (whose files all get the commit's time) and built there in
# build folders of its own, so uncommitted changes stay out (they are warned about). Two runs from
# the same commit give byte-identical archives: no time in the programs, the commit's time in the
# archives, the work folder's path mapped away and no debug information in the programs.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

usage() {
    cat <<'EOF'
Usage: scripts/release.sh [--out DIR] [--arch x64|x86]... [signing options]

  --out DIR            where the archives and SHA256SUMS go (default: dist)
  --arch x64|x86       build only this architecture's archive (win64 or win32; default: both)
  --work DIR           build in DIR (new or empty) and keep it; default: a temporary folder,
                       removed at the end

Signing (each also from the environment variable named):
  --pkcs12 FILE        PKCS #12 file with the code-signing certificate and key (CORVANE_SIGN_PKCS12)
  --cert FILE          PEM certificate, with its chain (CORVANE_SIGN_CERT)
  --key FILE           PEM private key (CORVANE_SIGN_KEY)
  --password-file FILE the password of the PKCS #12 file or the key, on its first line
                       (CORVANE_SIGN_PASSWORD holds the password itself)
  --timestamp-url URL  RFC 3161 time-stamp server (CORVANE_SIGN_TIMESTAMP_URL)
Without a certificate the release is built unsigned, and says so.
EOF
}

out=dist
arches=()
work=""
while [ $# -gt 0 ]; do
    case "$1" in
    --help | -h) usage; exit 0 ;;
    --out | --arch | --work | --pkcs12 | --cert | --key | --password-file | --timestamp-url)
        [ $# -ge 2 ] || { echo "release.sh: $1 needs a value" >&2; exit 2; }
        case "$1" in
        --out) out=$2 ;;
        --arch) case "$2" in
            x64 | x86) arches+=("$2") ;;
            *) echo "release.sh: --arch is x64 or x86, not '$2'" >&2; exit 2 ;;
            esac ;;
        --work) work=$2 ;;
        --pkcs12) export CORVANE_SIGN_PKCS12=$2 ;;
        --cert) export CORVANE_SIGN_CERT=$2 ;;
        --key) export CORVANE_SIGN_KEY=$2 ;;
        --password-file)
            [ -r "$2" ] || { echo "release.sh: cannot read the password file $2" >&2; exit 2; }
            CORVANE_SIGN_PASSWORD=$(head -n 1 "$2")
            export CORVANE_SIGN_PASSWORD ;;
        --timestamp-url) export CORVANE_SIGN_TIMESTAMP_URL=$2 ;;
        esac
        shift 2 ;;
    *) echo "release.sh: unknown argument '$1'" >&2; usage >&2; exit 2 ;;
    esac
done
[ ${#arches[@]} -gt 0 ] || arches=(x64 x86)

# What signs, checked before anything is built.
signing=""
pkcs12=${CORVANE_SIGN_PKCS12:-} cert=${CORVANE_SIGN_CERT:-} key=${CORVANE_SIGN_KEY:-}
if [ -n "$pkcs12" ] && { [ -n "$cert" ] || [ -n "$key" ]; }; then
    echo "release.sh: give a PKCS #12 file or PEM certificate and key, not both" >&2
    exit 2
elif [ -n "$pkcs12" ]; then
    [ -r "$pkcs12" ] || { echo "release.sh: cannot read $pkcs12" >&2; exit 2; }
    CORVANE_SIGN_PKCS12=$(realpath "$pkcs12")
    signing="with the certificate of $(basename "$pkcs12")"
elif [ -n "$cert" ] || [ -n "$key" ]; then
    [ -n "$cert" ] && [ -n "$key" ] ||
        { echo "release.sh: a PEM certificate needs its key, and a key its certificate" >&2; exit 2; }
    for file in "$cert" "$key"; do
        [ -r "$file" ] || { echo "release.sh: cannot read $file" >&2; exit 2; }
    done
    CORVANE_SIGN_CERT=$(realpath "$cert")
    CORVANE_SIGN_KEY=$(realpath "$key")
    signing="with the certificate $(basename "$cert")"
elif [ -n "${CORVANE_SIGN_TIMESTAMP_URL:-}" ]; then
    echo "release.sh: a time-stamp server without a certificate: nothing would be signed" >&2
    exit 2
fi

scripts/deps.sh

commit=$(git rev-parse --verify HEAD)
if [ -n "$(git status --porcelain --untracked-files=no)" ]; then
    echo "release.sh: warning: the working tree has uncommitted changes; the release is built" \
         "from the commit ${commit:0:12} without them" >&2
fi
# Every time stamp of the release is the commit's.
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct "$commit")
export SOURCE_DATE_EPOCH

if [ -n "$work" ]; then
    mkdir -p "$work"
    [ -z "$(ls -A "$work")" ] || { echo "release.sh: the work folder $work is not empty" >&2; exit 2; }
    work=$(realpath "$work")
else
    work=$(mktemp -d "${TMPDIR:-/tmp}/corvane-release.XXXXXX")
    trap 'rm -rf "$work"' EXIT
fi
src=$work/src
mkdir -p "$src" "$work/dist"
git archive --format=tar "$commit" | tar -x -C "$src"
version=$(head -n 1 "$src/VERSION")
echo "== Corvane $version, commit ${commit:0:12}, in $work"

# The build path never reaches the programs: debug information is left out (-s), and a path the
# compiler would write (__FILE__) is named from the work folder.
prefix_map="-ffile-prefix-map=$work=."
sign_args=()
[ -z "$signing" ] || sign_args=("-DCORVANE_SIGN_COMMAND=$src/scripts/sign-program.sh")

package() {  # architecture
    local arch=$1 toolchain label
    case "$arch" in
    x64) toolchain=mingw-x86_64.cmake label=win64 ;;
    x86) toolchain=mingw-i686.cmake label=win32 ;;
    esac
    local build=$work/build-$arch stage=$work/stage-$label started=$SECONDS
    echo "== building $label ($arch)"
    # The tested build's flags (RelWithDebInfo), stripped; only the two programs, which carry
    # both builds of the installer helper, and no test.
    cmake -S "$src" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$src/cmake/$toolchain" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF \
        "-DCMAKE_C_FLAGS=$prefix_map" "-DCMAKE_CXX_FLAGS=$prefix_map" \
        -DCMAKE_EXE_LINKER_FLAGS=-s "${sign_args[@]}" >/dev/null
    cmake --build "$build" --target Corvane corvane-cli

    mkdir -p "$stage/licenses"
    cp "$build/app/Corvane.exe" "$build/app/corvane-cli.exe" "$stage/"
    if [ -n "$signing" ]; then
        "$src/scripts/sign-program.sh" "$stage/Corvane.exe"
        "$src/scripts/sign-program.sh" "$stage/corvane-cli.exe"
    fi
    python3 "$src/release/make_guide.py" "$src/release/README.txt.in" "$src/README.md" \
        "$version" "$stage/README.txt"
    licences "$stage/licenses"
    python3 "$src/release/make_archive.py" "$stage" "$SOURCE_DATE_EPOCH" \
        "$work/dist/corvane-$version-$label.zip"
    echo "== $label built in $((SECONDS - started)) s"
}

crlf() {  # source, target: a text with CR LF line ends, for Windows editors
    sed -e 's/\r$//' -e 's/$/\r/' "$1" >"$2"
}

licences() {  # folder
    local mingw gcc
    mingw=$(dpkg-query -W -f='${Package} ${Version}' mingw-w64-common)
    gcc=$(dpkg-query -W -f='${Package} ${Version}' gcc-mingw-w64-base)
    sed -e "s/@MINGW_PACKAGE@/$mingw/" -e "s/@GCC_PACKAGE@/$gcc/" "$src/release/licenses.txt.in" \
        >"$work/licenses.txt"
    crlf "$work/licenses.txt" "$1/README.txt"
    crlf /usr/share/doc/mingw-w64-common/copyright "$1/mingw-w64.txt"
    crlf /usr/share/doc/gcc-mingw-w64-base/copyright "$1/gcc-runtime.txt"
    crlf /usr/share/common-licenses/GPL-3 "$1/GPL-3.txt"
}

for arch in "${arches[@]}"; do
    package "$arch"
done

mkdir -p "$out"
out=$(realpath "$out")
(cd "$work/dist" && sha256sum -- *.zip >SHA256SUMS)
for file in "$work"/dist/*; do
    cp "$file" "$out/.$(basename "$file").partial"
    mv -f "$out/.$(basename "$file").partial" "$out/$(basename "$file")"
done

echo "== release $version in $out:"
sed 's/^/   /' "$out/SHA256SUMS"
if [ -n "$signing" ]; then
    stamped=", not time-stamped"
    [ -z "${CORVANE_SIGN_TIMESTAMP_URL:-}" ] || stamped=", time-stamped by $CORVANE_SIGN_TIMESTAMP_URL"
    echo "signed: every program (SHA-256 Authenticode), $signing$stamped"
else
    echo "unsigned: no program of this release carries a signature (give a code-signing certificate to sign it)"
fi
