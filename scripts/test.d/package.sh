#!/usr/bin/env bash
# The Debian package and `cmake --install`: the installed module answers a
# request, and revozi-setkey works on the installed module.
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
cd "$REPO_ROOT"
ensure_packages dpkg-dev

cmake --preset release >/dev/null
cmake --build --preset release >/dev/null
work="$(mktemp -d /tmp/revozi-package-XXXXXX)"
trap 'rm -rf "$work"' EXIT

fail() { echo "package test: $*" >&2; exit 1; }

# cmake --install under a prefix
cmake --install build --prefix "$work/prefix" >/dev/null
for f in lib/cgi-bin/revozi.cgi bin/kwtdata bin/revozi-setkey share/doc/revozi/README.md; do
  [ -e "$work/prefix/$f" ] || fail "cmake --install did not install $f"
done

# cpack -G DEB, unpacked into a temporary root
(cd build && cpack -G DEB -B "$work/deb" >/dev/null) || fail "cpack -G DEB failed"
deb="$(ls "$work"/deb/revozi_*_amd64.deb 2>/dev/null | head -n1)"
[ -n "$deb" ] || fail "no .deb was built"
info="$(dpkg-deb --info "$deb")"
grep -q "Package: revozi" <<<"$info" || fail "package metadata: $info"
dpkg -x "$deb" "$work/root"
module="$work/root/usr/lib/cgi-bin/revozi.cgi"
[ -x "$module" ] || fail "the package has no /usr/lib/cgi-bin/revozi.cgi"
[ -x "$work/root/usr/bin/revozi-setkey" ] || fail "the package has no revozi-setkey"
[ -x "$work/root/usr/bin/kwtdata" ] || fail "the package has no kwtdata"

query='KWT_SITE=1234567&KWT_RANG=01&KWT_TOTAL=1500&KWT_DEVISE=978&KWT_CMD=A1&KWT_PORTEUR=a%40b.fr&KWT_RETOUR=M:M&KWT_IDENTIFIANT=7&KWT_KORVEN=p.invalid&KWT_BACKUP1=b1.invalid&KWT_BACKUP2=b2.invalid&KWT_BACKUP3=b3.invalid'
run() { env -i REQUEST_METHOD=GET QUERY_STRING="$2" "$1"; }

set +e
out="$(run "$module" "$query")"; rc=$?
set -e
[ $rc -eq 0 ] || fail "installed module: exit status $rc"
grep -q "AUCUN SERVEUR DISPONIBLE" <<<"$out" || fail "installed module: unexpected answer: $out"

# merchant key round trip on the installed module
"$work/root/usr/bin/revozi-setkey" "$module" "$work/keyed.cgi" "Kx9-merchant" >/dev/null
set +e
missing="$(run "$work/keyed.cgi" "$query")"; rc_missing=$?
wrong="$(run "$work/keyed.cgi" "$query&KWT_CLE=nope")"; rc_wrong=$?
right="$(run "$work/keyed.cgi" "$query&KWT_CLE=Kx9-merchant")"; rc_right=$?
set -e
[ $rc_missing -eq 1 ] && grep -q "(code -7)" <<<"$missing" || fail "keyed module without KWT_CLE: $missing"
[ $rc_wrong -eq 1 ] && grep -q "(code -17)" <<<"$wrong" || fail "keyed module with a wrong key: $wrong"
[ $rc_right -eq 0 ] && grep -q "AUCUN SERVEUR DISPONIBLE" <<<"$right" || fail "keyed module with its key: $right"
echo "package: install, .deb and merchant key checked"
