#!/usr/bin/env bash
# Checks the release files as a user meets them: their checksums hold; the
# Debian packages are clean for lintian and say what they depend on; the
# one for this machine installs (into a scratch root, or the real system
# under CI), its program runs and its manual page is found, and it removes
# cleanly; the static program for this machine writes a namespace's table
# from a root that holds nothing else, and the arm64 and armhf ones start
# under qemu-user and report that it carries no neighbour messages; so do the
# RPMs', installed into a scratch root with rpm; each Windows ZIP holds its
# program and text; the Ansible collection holds each tarball's program.
# And the sources build without GoogleTest, as a packager may.
# Usage: package_check.sh DIST   (the directory with SHA256SUMS)
set -uo pipefail
dist=$(realpath "$1")
here=$(dirname "$(realpath "$0")")
source "$here/lib.sh"
deb=$(echo "$dist"/arpexport_*_"$(dpkg --print-architecture)".deb)
zip=$(echo "$dist"/*.zip)
work=$(mktemp -d)
trap 'netns_cleanup; rm -rf "$work"' EXIT

check_cmd "sha256sum -c SHA256SUMS, over every release file" bash -c \
  'cd "$0" && sha256sum -c --quiet SHA256SUMS &&
   [[ "$(cut -d" " -f3 SHA256SUMS | sort)" == "$(ls | grep -vx "SHA256SUMS\(.asc\)\?" | sort)" ]]' "$dist"
# As users check what they downloaded: some files, and the sums.
check_cmd "sha256sum --ignore-missing -c SHA256SUMS, beside one file" bash -c \
  'mkdir "$1/some" && cp "$0"/SHA256SUMS "$0"/*.deb "$1/some/" && cd "$1/some" &&
   rm *_arm*.deb && sha256sum --ignore-missing -c --quiet SHA256SUMS' "$dist" "$work"
check "the Debian changelog's version is the project's" "$(dpkg-deb -f "$deb" Version)" \
  "$(dpkg-parsechangelog -l "$here/../packaging/changelog" -S Version)"

# The description as packaging/description.txt has it, in the control
# file's form: the summary, then each line indented, an empty one as " .".
description=$(sed -e '1!s/^$/./' -e '1!s/^/ /' "$here/../packaging/description.txt")
for package in "$dist"/*.deb; do
  check "$(basename "$package"): the description, word for word" "$description" \
    "$(dpkg-deb -f "$package" Description)"
  check_cmd "$(basename "$package"): lintian reports no errors or warnings" \
    bash -c '! lintian "$0" 2>/dev/null | grep -E "^[EW]:"' "$package"
  check_cmd "$(basename "$package"): depends on the C library it was linked with" \
    bash -c 'dpkg-deb -f "$0" Depends | grep -q "libc6 (>="' "$package"
done

if [[ "${CI:-}" == "true" ]]; then
  root=/ dpkg=(dpkg) manpath=()
else
  # A scratch root with a dpkg database of its own; the system's libraries
  # are not in it, hence --force-depends.
  root="$work/root"
  mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
  touch "$root/var/lib/dpkg/status"
  dpkg=(dpkg --root="$root" --force-depends --force-not-root)
  manpath=(-M "$root/usr/share/man")
fi
echo "installing into $root"
check_cmd "installs" "${dpkg[@]}" -i "$deb"
check_cmd "the program is installed" test -x "$root/usr/bin/arpexport"
run_installed() {
  cd "$work" && rm -f output.txt && out=$("$root/usr/bin/arpexport" --version) &&
    [[ -z "$out" && -f output.txt ]]
}
check_cmd "the installed program runs, prints nothing, writes output.txt" run_installed
check_cmd "man finds the manual page" \
  bash -c '[[ "$(man "$@" -w arpexport)" == */man1/arpexport.1.gz ]]' _ "${manpath[@]}"
check_cmd "the manual page renders in 80 columns, mandoc -Tlint finds nothing" \
  bash -c 'page=$(MANWIDTH=80 man "$@" arpexport) && grep -q "EXIT STATUS" <<<"$page" &&
    [[ -z "$(awk "length > 80" <<<"$page")" ]] &&
    [[ -z "$(mandoc -Tlint "$(man "$@" -w arpexport)")" ]]' _ "${manpath[@]}"
check_cmd "removes" "${dpkg[@]}" -r arpexport
check_cmd "nothing is left behind" \
  test ! -e "$root/usr/bin/arpexport" -a ! -e "$root/usr/share/man/man1/arpexport.1.gz"

# Each ZIP: its program of the right kind, and a README.txt for Windows
# (CRLF) that names this very ZIP to check.
for zip in "$dist"/*-windows-*.zip; do
  name=$(basename "$zip") dir="$work/$(basename "$zip" .zip)"
  unzip -q "$zip" -d "$dir"
  kind="PE32 executable (console) Intel 80386"
  [[ "$name" == *-x64.zip ]] && kind="PE32+ executable (console) x86-64"
  check "$name: its program and text" "README.txt arpexport.exe |$kind|0 1" \
    "$(ls "$dir" | tr '\n' ' ')|$(file -b "$dir/arpexport.exe" | grep -o "^$kind")|$(
      grep -cv $'\r$' "$dir/README.txt") $(grep -c "certutil -hashfile $name SHA256" "$dir/README.txt")"
done

ns=$(netns_make static) || exit $?
netns_fill "$ns" 200
ip -n "$ns" neigh add 10.66.1.2 lladdr 0a:ff:00:1b:2c:3d dev v0 nud stale
# run_static LABEL ARCH ROOT PATH: the static program at ROOT/PATH against
# the namespace: in a chroot of ROOT for this machine's processor, else under
# qemu-user, which carries no neighbour messages.
run_static() {
  local qemu
  if [[ "$2" == "$(uname -m)" ]]; then
    rm -f "$3/output.txt"
    ip netns exec "$ns" chroot "$3" "$4"
    check "$1: from a root that holds only the package, the namespace's table" \
      "$(netns_expected "$ns")" "$(cat "$3/output.txt")"
  else
    qemu=qemu-${2/armv7l/arm}
    command -v "$qemu" >/dev/null &&
      check "$1: starts under qemu-user, which carries no neighbour messages" \
        "GetIpNetTable failed.
	Error: The request is not supported." "$(cd "$3" && ip netns exec "$ns" "$qemu" ".$4")"
  fi
}

for tgz in "$dist"/*-linux-*.tar.gz; do
  name=$(basename "$tgz" .tar.gz)
  root="$work/$name-root"
  check_cmd "$name: the program, its manual page and README" \
    bash -c '[[ "$(tar -tzf "$0" | cut -d/ -f2- | sort | tr "\n" " ")" == " README.txt arpexport arpexport.1 " ]]' "$tgz"
  mkdir "$root"
  tar -C "$work" -xzf "$tgz"
  cp "$work/$name/arpexport" "$root/"
  check_cmd "$name: statically linked" \
    bash -c 'file "$0" | grep -q "statically linked"' "$root/arpexport"
  run_static "$name" "${name##*-linux-}" "$root" /arpexport
done

# The Ansible collection holds each tarball's program, as it is there.
collection=$(echo "$dist"/arpexport-fleet-*.tar.gz)
mkdir "$work/collection" && tar -C "$work/collection" -xzf "$collection"
for tgz in "$dist"/*-linux-*.tar.gz; do
  name=$(basename "$tgz" .tar.gz)
  check_cmd "$(basename "$collection"): the program of $name" bash -c \
    'cmp -s <(tar -xzOf "$0" "$1/arpexport") <(gzip -dc "$2/files/arpexport-linux-${1##*-linux-}.gz")' \
    "$tgz" "$name" "$work/collection"
done

# Each RPM needs nothing but rpm, owns no other package's directory, holds
# the copyright file's licence and the changelog's version, passes rpmlint,
# and installs into a scratch root, runs there and removes without a trace.
rpm_in() { rpm --root "$1" --dbpath /var/lib/rpm "${@:2}"; }
for package in "$dist"/*.rpm; do
  name=$(basename "$package") arch=$(rpm -qp --qf '%{ARCH}' "$package" 2>/dev/null)
  check "$name: requires, files, licence, version, rpmlint" \
    "|/usr/bin/arpexport /usr/share/licenses/arpexport /usr/share/licenses/arpexport/copyright /usr/share/man/man1/arpexport.1.gz |$(
      sed -n 's/^License: //p' "$here/../packaging/copyright")|$(
      dpkg-parsechangelog -l "$here/../packaging/changelog" -S Version)-1| 0 errors, 0 warnings" \
    "$(rpm -qpR "$package" 2>/dev/null | grep -v '^rpmlib(')|$(rpm -qpl "$package" 2>/dev/null |
      sort | tr '\n' ' ')|$(rpm -qp --qf '%{LICENSE}' "$package" 2>/dev/null)|$(rpm -qp --changelog \
      "$package" 2>/dev/null | sed -n '1s/.* - //p')|$(rpmlint -c "$here/../packaging/rpmlint.toml" \
      "$package" | tail -n1 | grep -o ' 0 errors, 0 warnings')"
  root="$work/rpm-$arch"
  mkdir "$root" && rpm_in "$root" --initdb
  check_cmd "$name: installs into a scratch root" rpm_in "$root" -i --ignorearch "$package"
  run_static "$name" "${arch/armv7hl/armv7l}" "$root" /usr/bin/arpexport
  rm -f "$root/output.txt"
  check "$name: removes, leaving no file" "0:" "$(rpm_in "$root" -e arpexport 2>/dev/null
    echo "$?:$(find "$root" -type f -not -path "$root/var/lib/rpm/*")")"
done

check_cmd "configures and builds without GoogleTest" bash -c \
  'cmake -S "$0" -B "$1" -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON >/dev/null &&
   cmake --build "$1" >/dev/null && test -x "$1/arpexport"' "$here/.." "$work/nogtest"
check "cmake --install installs the program and its manual page, no more" \
  "bin/arpexport share/man/man1/arpexport.1.gz " \
  "$(cmake --install "$work/nogtest" --prefix "$work/prefix" >/dev/null &&
    cd "$work/prefix" && find . -type f | cut -c3- | sort | tr '\n' ' ')"

finish package
