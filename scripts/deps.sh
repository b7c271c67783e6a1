#!/bin/bash
# Installs the Debian 12 packages that building, running and testing Corvane need. Packages that
# are already there are left alone, so a second run costs nothing. Needs root (or sudo).
set -euo pipefail

packages=(
    cmake ninja-build g++ python3
    mingw-w64                      # the Windows cross compilers and windres
    wine wine64                    # runs the Windows programs (64-bit only; wine32 cannot be had)
    googletest                     # sources, built for each target
    usb.ids                        # the public USB ID list: vendor names
    clang libclang-rt-14-dev       # native build with the sanitizers
    xvfb x11-utils imagemagick     # the virtual display, window lookup and screenshots
    fonts-wqy-microhei             # glyphs for the dialog's Chinese texts and full-width colons
    fonts-wine                     # Wine's Marlett: the caption buttons' symbols
    openssl python3-asn1crypto     # decoders not of ours, that the catalog and signature tests check with
    osslsigncode                   # Authenticode: a verifier not of ours for the catalogs; signs a release
)

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
        missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null >/dev/null
