#!/usr/bin/env bash
# The release files are reproducible: built again from the same sources in
# other build trees, the Debian packages, the tarballs, the RPMs, the ZIPs,
# the Ansible collection, the Windows programs and so SHA256SUMS are the same to the byte as the
# first build's.
# Usage: repro_check.sh DIST BUILD   (BUILD holds the first build's trees)
# SOURCE_DATE_EPOCH must be the one the first build used.
set -uo pipefail
dist=$(realpath "$1") first=$(realpath "$2")
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
check_cmd "the 32-bit Windows package builds again" build windows-x86 ZIP
check_cmd "the 64-bit Windows package builds again" build windows-x64 ZIP
check_cmd "the arm64 package builds again" build linux-arm64 DEB
check_cmd "the armhf package builds again" build linux-armhf DEB
for preset in release-static linux-arm64-static linux-armhf-static; do
  check_cmd "the $preset tarball and RPM build again" bash -c \
    'cmake --preset "$0" -B "$1" >/dev/null &&
     cmake --build "$1" --target tarball docs >/dev/null && cd "$1" && cpack -G RPM >/dev/null' \
    "$preset" "$again/$preset"
done

same() { cmp "$1" "$2" && echo "$(sha256sum < "$1")"; }
for arch in x86 x64; do
  check_cmd "the same $arch Windows program" same \
    "$first/windows-$arch/arpexport.exe" "$again/windows-$arch/arpexport.exe"
done
check_cmd "the Ansible collection builds again" "$top/scripts/make-collection" "$again/collection" \
  "$again"/*-static/*.tar.gz
mkdir "$again/dist"
cp "$again"/{release,linux-arm64,linux-armhf}/*.deb "$again"/windows-*/*.zip \
  "$again"/*-static/*.tar.gz "$again"/*-static/*.rpm "$again"/collection/*.tar.gz "$again/dist/"
check_cmd "the same release files, so the same SHA256SUMS" bash -c \
  'cd "$1" && sha256sum -c --quiet "$0/SHA256SUMS"' "$dist" "$again/dist"
finish repro_check
