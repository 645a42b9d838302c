#!/usr/bin/env bash
# Builds the release packages and checks them as a user would meet them:
#   build/packages/download_<version>_<arch>.deb   Debian package (download, phonesim, man pages)
#   build/packages/download-<version>-win64.zip   download.exe, README.txt, QUICKSTART.txt
# Checks: the .deb unpacked into a scratch root runs `download --version`;
# lintian finds no error in it; download.exe from the zip runs under Wine from
# a folder of its own, with no DLL beside it; both manual pages render without
# a warning.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
ensure_packages build windows package

cmake --preset release >/dev/null
cmake --build --preset release
cmake --preset windows >/dev/null
cmake --build --preset windows
(cd build/release && cpack -G DEB >/dev/null)
(cd build/windows && cpack -G ZIP >/dev/null)
mkdir -p build/packages
deb=$(ls build/release/packages/download_*.deb)
zip=$(ls build/windows/packages/download-*-win64.zip)
cp "$deb" "$zip" build/packages/
echo "packages: build/packages/$(basename "$deb") build/packages/$(basename "$zip")"

check=$(mktemp -d)
trap 'rm -rf "$check"' EXIT
fail() { echo "package check failed: $*" >&2; exit 1; }

# The Debian package: its programs run from where it puts them.
dpkg-deb -x "$deb" "$check/root"
# Read whole first: grep -q stops reading at its match, and the tool's second
# line would then meet a closed pipe.
version=$("$check/root/usr/bin/download" --version) || fail "download --version from the .deb"
grep -q '^download ' <<<"$version" || fail "download --version from the .deb: $version"
"$check/root/usr/bin/phonesim" --help >/dev/null || fail "phonesim --help from the .deb"
for page in download phonesim; do
    [[ -f $check/root/usr/share/man/man1/$page.1.gz ]] || fail "no manual page $page(1)"
done
dpkg-deb -f "$deb" Depends | grep -q 'libc6' || fail "the .deb names no libc6 dependency"
if lintian_out=$(lintian --fail-on error "$deb" 2>&1); then
    echo "lintian: no errors${lintian_out:+ (warnings: $(grep -c '^W:' <<<"$lintian_out"))}"
else
    echo "$lintian_out" >&2
    fail "lintian reports errors"
fi

# The manual pages render without warnings.
for page in build/release/man/download.1 build/release/man/phonesim.1; do
    warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
    [[ -z $warnings ]] || fail "$page: $warnings"
done

# The zip: download.exe alone in a folder outside the build tree runs on a
# Windows that has no MinGW DLLs.
mkdir -p "$check/zip"
(cd "$check/zip" && unzip -q "$OLDPWD/$zip")
exe=$(find "$check/zip" -name download.exe)
[[ -n $exe ]] || fail "no download.exe in the zip"
dlls=$(find "$check/zip" -iname '*.dll')
[[ -z $dlls ]] || fail "DLLs in the zip: $dlls"
for text in README.txt QUICKSTART.txt; do
    file=$(find "$check/zip" -name "$text")
    [[ -n $file ]] || fail "no $text in the zip"
    grep -q $'\r$' "$file" || fail "$text has no CR LF line ends"
done
imports=$(x86_64-w64-mingw32-objdump -p "$exe" | awk '/DLL Name:/ { print $3 }' | sort -u)
for dll in $imports; do
    case "${dll,,}" in
        libstdc++*|libgcc*|libwinpthread*|*mingw*) fail "download.exe needs $dll" ;;
    esac
done
prefix=${DOWNLOAD_WINEPREFIX:-$PWD/build/wineprefix}
prepare_wine_prefix "$prefix"
version=$(cd "$(dirname "$exe")" && WINEPREFIX=$prefix WINEDEBUG=-all wine ./download.exe --version 2>/dev/null | tr -d '\r')
grep -q '^download ' <<<"$version" || fail "download.exe --version under Wine: $version"
echo "download.exe from the zip: ${version%%$'\n'*}"
echo "package checks passed"
