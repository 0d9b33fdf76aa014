#!/usr/bin/env bash
# Signed releases, with keys of this test's own (a CA and code-signing
# certificate, an OpenPGP key, a time-stamp server on loopback): `make
# package` signs both Windows programs and SHA256SUMS, leaving an earlier
# version's files in its folder; each signature verifies and fails once a
# byte is changed; a signed program is its unsigned release's but for the
# signature and still writes the table under Wine.
# Keys that cannot sign are refused with a clear message and no password,
# and a signing that fails makes no package.
# Usage: signing_check.sh DIST BUILD   (the unsigned release files, and the
#        build trees `make package` made them in)
set -uo pipefail
dist=$(realpath "$1") build=$(realpath "$2")
here=$(dirname "$(realpath "$0")")
source "$here/lib.sh"
work=$(mktemp -d)
signed="$build/dist-signed"
export GNUPGHOME="$work/gnupg"
trap 'kill ${tsa:-} 2>/dev/null; gpgconf --kill gpg-agent; netns_cleanup; rm -rf "$work" "$signed"' EXIT
cd "$work" || exit 1

# The keys as an owner hands them over, each password in a file of its own.
cert() { # NAME SUBJECT EXTENSION [ISSUER]: NAME.crt and NAME.key, self-signed
  if [[ -z "${4:-}" ]]; then # without an ISSUER
    openssl req -x509 -newkey rsa:2048 -nodes -keyout "$1.key" -out "$1.crt" \
      -days 2 -subj "/CN=$2" -addext "$3" 2>/dev/null
  else
    openssl req -new -newkey rsa:2048 -nodes -keyout "$1.key" -out "$1.csr" -subj "/CN=$2" 2>/dev/null
    openssl x509 -req -in "$1.csr" -days 2 -out "$1.crt" -extfile <(echo "$3") \
      -CA "$4.crt" -CAkey "$4.key" -CAcreateserial 2>/dev/null
  fi
}
dated() { # NAME START END: NAME.crt for code signing by the test CA, valid from START to END
  openssl req -new -newkey rsa:2048 -nodes -keyout "$1.key" -out "$1.csr" -subj "/CN=$1" 2>/dev/null
  printf '[c]\ndatabase=ca.db\nnew_certs_dir=.\nserial=ca.serial\ndefault_md=sha256\npolicy=p\nx509_extensions=e\n[p]\ncommonName=supplied\n[e]\nextendedKeyUsage=codeSigning\n' >ca.cnf
  openssl ca -batch -config ca.cnf -name c -cert ca.crt -keyfile ca.key -in "$1.csr" \
    -out "$1.crt" -startdate "$2" -enddate "$3" -notext 2>/dev/null
}
cert ca "test CA" basicConstraints=critical,CA:TRUE
cert signer "arpexport test signer" extendedKeyUsage=codeSigning ca
cert tsa "test TSA" extendedKeyUsage=critical,timeStamping
cert server "a web server" extendedKeyUsage=serverAuth ca
cert stranger "another CA's signer" extendedKeyUsage=codeSigning
touch ca.db && echo 01 >ca.serial
dated expired 20200101000000Z 20200201000000Z
dated future 20990101000000Z 20991231000000Z
cat ca.crt tsa.crt >cas.pem
echo "pkcs12 pass $RANDOM" >p12.pass
echo "openpgp pass $RANDOM" >pgp.pass
echo wrong >wrong.pass
printf '%s\nsecond line\n' "$(cat p12.pass)" >two.pass
for name in signer server stranger expired future; do
  openssl pkcs12 -export -in $name.crt -inkey $name.key -out $name.p12 -passout file:p12.pass
done
mkdir -m 700 "$GNUPGHOME"
gpg --batch --quiet --pinentry-mode loopback --passphrase-file pgp.pass \
  --quick-gen-key "test <test@example.org>" ed25519 sign 1d 2>/dev/null
gpg --batch --quiet --passphrase '' --faked-system-time 20200101T000000 \
  --quick-gen-key "old <old@example.org>" ed25519 sign 1d 2>/dev/null
gpg --batch --pinentry-mode loopback --passphrase-file pgp.pass --armor \
  --export-secret-keys test@example.org >pgp.key
gpg --batch --armor --export-secret-keys old@example.org >expired.key

# RFC 3161 time stamps from openssl ts, over HTTP on loopback.
printf '[tsa]\ndefault_tsa=t\n[t]\nserial=tsa.serial\nsigner_digest=sha256\ndefault_policy=1.2.3\ndigests=sha256\n' >tsa.cnf
python3 -c '
import http.server as h, subprocess as p
class T(h.BaseHTTPRequestHandler):
    def do_POST(s):
        r = p.run("openssl ts -reply -config tsa.cnf -queryfile /dev/stdin -signer tsa.crt"
                  " -inkey tsa.key -out /dev/stdout".split(), capture_output=True,
                  input=s.rfile.read(int(s.headers["Content-Length"]))).stdout
        s.send_response(200); s.send_header("Content-Type", "application/timestamp-reply")
        s.send_header("Content-Length", str(len(r))); s.end_headers()
        s.wfile.write(r)
    log_message = lambda *a: None
v = h.HTTPServer(("127.0.0.1", 0), T); open("port", "w").write(str(v.server_port)); v.serve_forever()' &
tsa=$!
until [[ -s port ]]; do sleep 0.1; done

keys=(ARPEXPORT_AUTHENTICODE_KEY="$work/signer.p12" ARPEXPORT_AUTHENTICODE_PASSWORD_FILE="$work/p12.pass"
  ARPEXPORT_AUTHENTICODE_TIMESTAMP="http://127.0.0.1:$(cat port)/" ARPEXPORT_AUTHENTICODE_CA="$work/cas.pem"
  ARPEXPORT_OPENPGP_KEY="$work/pgp.key" ARPEXPORT_OPENPGP_PASSWORD_FILE="$work/pgp.pass")
while IFS='|' read -r what message change; do
  out=$(env "${keys[@]}" "$change" "$here/../scripts/sign" check 2>&1)
  check "refused: $what" "1|$message|" \
    "$?|$(grep -o "$message" <<<"$out")|$(grep -F -f p12.pass -f pgp.pass <<<"$out")"
  tail -n 1 <<<"$out" | sed "s/^/     /"
done <<EOF
a PKCS#12 file that is missing|not a readable file|ARPEXPORT_AUTHENTICODE_KEY=$work/none.p12
a file that is not PKCS#12|not a PKCS#12 file|ARPEXPORT_AUTHENTICODE_KEY=$work/ca.crt
the wrong password|the password in $work/wrong.pass opens|ARPEXPORT_AUTHENTICODE_PASSWORD_FILE=$work/wrong.pass
a password file of two lines|holds more than one line|ARPEXPORT_AUTHENTICODE_PASSWORD_FILE=$work/two.pass
an expired certificate|expired on Feb  1 00:00:00 2020 GMT|ARPEXPORT_AUTHENTICODE_KEY=$work/expired.p12
a certificate not yet valid|not valid before Jan  1 00:00:00 2099 GMT|ARPEXPORT_AUTHENTICODE_KEY=$work/future.p12
a certificate not for code signing|not for code signing (its extended key usage: TLS Web Server Authentication)|ARPEXPORT_AUTHENTICODE_KEY=$work/server.p12
a certificate of another CA|does not chain to a certificate in $work/cas.pem|ARPEXPORT_AUTHENTICODE_KEY=$work/stranger.p12
a time-stamp server that does not answer|did not grant a time stamp|ARPEXPORT_AUTHENTICODE_TIMESTAMP=http://127.0.0.1:9/
an OpenPGP key that is missing|not a readable file|ARPEXPORT_OPENPGP_KEY=$work/none.key
an expired OpenPGP key|has expired|ARPEXPORT_OPENPGP_KEY=$work/expired.key
no OpenPGP passphrase|cannot sign without its passphrase|ARPEXPORT_OPENPGP_PASSWORD_FILE=
the wrong OpenPGP passphrase|with the passphrase in $work/wrong.pass|ARPEXPORT_OPENPGP_PASSWORD_FILE=$work/wrong.pass
EOF
# Past the check, in the package build itself: a program that cannot be
# signed, or whose signature does not verify against the CA certificates.
for change in ARPEXPORT_AUTHENTICODE_PASSWORD_FILE="$work/wrong.pass" ARPEXPORT_AUTHENTICODE_CA="$work/tsa.crt"; do
  out=$(cd "$build/windows-x86" && env "${keys[@]}" "$change" cpack -G ZIP -B "$work/unsigned" 2>&1)
  check "a Windows program that cannot be signed (${change%%=*}): no ZIP" "1:" \
    "$?:$(ls "$work/unsigned"/*.zip 2>/dev/null)"
done
grep -o 'so that the signature verifies against .*' <<<"$out" | cut -c1-160 | sed 's/^/     /'

# Into a folder that holds an earlier version's release files, which stay.
earlier=(arpexport_0.9.0_amd64.deb arpexport-0.9.0-linux-x86_64.tar.gz arpexport-0.9.0-1.x86_64.rpm
  arpexport-0.9.0-windows-x86.zip arpexport-fleet-0.9.0.tar.gz)
mkdir -p "$signed" && for name in "${earlier[@]}"; do echo earlier >"$signed/$name"; done
out=$(cd "$here/.." && env "${keys[@]}" make --no-print-directory package ARPEXPORT_DIST="$signed" 2>&1)
check "make package with the keys: says what it signs, shows no password; an earlier version's files stay" \
  "0:2::${#earlier[@]}" "$?:$(grep -cE \
  '^sign: (the Windows programs are signed by CN = arpexport test signer, timestamped|SHA256SUMS is signed by)' \
  <<<"$out"):$(grep -F -f p12.pass -f pgp.pass <<<"$out"):$(cd "$signed" && cat "${earlier[@]}" | grep -c earlier)"
(cd "$signed" && rm -- "${earlier[@]}")
flip() { # FILE OFFSET: changes the byte there, whatever it was
  python3 -c 'import sys; f = open(sys.argv[1], "r+b"); f.seek(int(sys.argv[2]))
b = f.read(1)[0]; f.seek(-1, 1); f.write(bytes([b ^ 1]))' "$@"
}
verify() { # ok when signed and timestamped, and both verify
  [[ "$(osslsigncode verify -CAfile ca.crt -TSA-CAfile tsa.crt -in "$1" 2>&1)" == \
    *"Timestamp Server Signature verification: ok"*"Signature verification: ok"* ]] && echo ok
}
for arch in x86 x64; do
  unzip -q -p "$signed"/*-windows-$arch.zip arpexport.exe >$arch.exe
  unzip -q -p "$dist"/*-windows-$arch.zip arpexport.exe >$arch-unsigned.exe
  cp $arch.exe changed.exe && flip changed.exe 1100
  osslsigncode remove-signature -in $arch.exe -out $arch-removed.exe >/dev/null
  check "$arch: signature and time stamp verify, not after a byte changed; without it, the unsigned program" \
    "ok||same" "$(verify $arch.exe)|$(verify changed.exe)|$(cmp -s $arch-removed.exe $arch-unsigned.exe && echo same)"
done
gpg --batch --yes --quiet --pinentry-mode loopback --delete-secret-keys \
  "$(gpg --with-colons --list-secret-keys test@example.org | awk -F: '/^fpr:/ { print $10; exit }')"
check "SHA256SUMS.asc verifies with the public key alone, the files match, a changed byte fails" "ok|ok|" \
  "$(gpg --verify "$signed/SHA256SUMS.asc" 2>/dev/null && echo ok)|$(cd "$signed" &&
    sha256sum -c --quiet SHA256SUMS && echo ok)|$(flip "$signed/SHA256SUMS" 0 &&
    gpg --verify "$signed/SHA256SUMS.asc" 2>/dev/null && echo ok)"

ns=$(netns_make signed) || exit $?
netns_fill "$ns" 50
for arch in x86 x64; do
  ip netns exec "$ns" "$build/windows-$arch/wine-run" cmd /c ver >/dev/null 2>&1 || continue
  out=$(ip netns exec "$ns" "$build/windows-$arch/wine-run" $arch.exe)
  check "$arch: the signed program writes the table under Wine" "0:|0" "$?:$out|$(
    comm -13 <(tr -d '\r' <output.txt | sort) <(netns_expected "$ns" | sort) | wc -l)"
done
finish signing_check
