#!/usr/bin/env bash
# The release files are reproducible: built again from the same sources in
# other build trees, the Debian package, the tarball, the ZIP, the Windows
# program and so SHA256SUMS are the same to the byte as the first build's.
# Usage: repro_check.sh DIST PROGRAM.exe
# SOURCE_DATE_EPOCH must be the one the first build used.
set -uo pipefail
dist=$(realpath "$1") exe=$(realpath "$2")
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
check_cmd "the arm64 package builds again" build linux-arm64 DEB
check_cmd "the armhf package builds again" build linux-armhf DEB
for preset in release-static linux-arm64-static linux-armhf-static; do
  check_cmd "the $preset tarball builds again" bash -c \
    'cmake --preset "$0" -B "$1" >/dev/null && cmake --build "$1" --target tarball >/dev/null' \
    "$preset" "$again/$preset"
done

same() { cmp "$1" "$2" && echo "$(sha256sum < "$1")"; }
check_cmd "the same Windows program" same "$exe" "$again/windows-x86/arpexport.exe"
mkdir "$again/dist"
cp "$again"/{release,linux-arm64,linux-armhf}/*.deb "$again"/windows-x86/*.zip \
  "$again"/{release-static,linux-arm64-static,linux-armhf-static}/*.tar.gz "$again/dist/"
check_cmd "the same release files, so the same SHA256SUMS" bash -c \
  'cd "$1" && sha256sum -c --quiet "$0/SHA256SUMS"' "$dist" "$again/dist"
finish repro_check
