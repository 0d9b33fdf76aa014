#!/usr/bin/env bash
# The packages are reproducible: built again from the same sources in other
# build trees, the Debian package, the ZIP and the Windows program are the
# same to the byte as the first build's.
# Usage: repro_check.sh PACKAGE.deb PACKAGE.zip PROGRAM.exe
# SOURCE_DATE_EPOCH must be the one the first build used.
set -uo pipefail
deb=$(realpath "$1") zip=$(realpath "$2") exe=$(realpath "$3")
here=$(dirname "$(realpath "$0")")
source "$here/lib.sh"
top=$(dirname "$here")
[[ -n "${SOURCE_DATE_EPOCH:-}" ]] || { echo "SOURCE_DATE_EPOCH is not set"; exit 1; }

again=$(mktemp -d "$top/build/repro.XXXXXX")
trap 'rm -rf "$again"' EXIT
build() { # PRESET GENERATOR: configures, builds and packages in $again/PRESET
  cmake --preset "$1" -B "$again/$1" -DBUILD_TESTING=OFF >/dev/null &&
    cmake --build "$again/$1" >/dev/null &&
    (cd "$again/$1" && cpack -G "$2" >/dev/null)
}
check_cmd "the Linux package builds again" build release DEB
check_cmd "the Windows package builds again" build windows-x86 ZIP

same() { cmp "$1" "$2" && echo "$(sha256sum < "$1")"; }
check_cmd "the same Debian package" same "$deb" "$again/release/$(basename "$deb")"
check_cmd "the same ZIP" same "$zip" "$again/windows-x86/$(basename "$zip")"
check_cmd "the same Windows program" same "$exe" "$again/windows-x86/arpexport.exe"
finish repro_check
