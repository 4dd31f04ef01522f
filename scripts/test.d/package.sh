#!/usr/bin/env bash
# The Debian package and `cmake --install`: lintian accepts the .deb (no
# error, no warning); dpkg installs it into a private root, where its
# listing holds nothing a web server would run (no /usr/lib/cgi-bin, no web
# root), the installed programs answer (module, --version, kwtdata,
# revozi-setkey) and dpkg removes it again without a trace.
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
cd "$REPO_ROOT"
ensure_packages dpkg-dev lintian cmake make g++ libsodium-dev libc-ares-dev

cmake --preset release >/dev/null
cmake --build --preset release >/dev/null
work="$(mktemp -d /tmp/revozi-package-XXXXXX)"
trap 'rm -rf "$work"' EXIT

fail() { echo "package test: $*" >&2; exit 1; }

# cmake --install under a prefix
cmake --install build --prefix "$work/prefix" >/dev/null
for f in lib/revozi/revozi.cgi lib/revozi/korven-sandbox.cgi bin/kwtdata bin/revozi-setkey \
         share/doc/revozi/README.md share/doc/revozi/docs/reference.md share/doc/revozi/copyright share/doc/revozi/changelog.gz \
         share/man/man1/revozi.cgi.1.gz share/man/man1/kwtdata.1.gz share/man/man1/revozi-setkey.1.gz share/man/man1/korven-sandbox.cgi.1.gz; do
  [ -e "$work/prefix/$f" ] || fail "cmake --install did not install $f"
done
[ ! -e "$work/prefix/lib/cgi-bin" ] || fail "cmake --install created lib/cgi-bin"
# The package's own files (lintian overrides, /etc/revozi) only with the prefix /usr.
[ ! -e "$work/prefix/share/lintian" ] || fail "cmake --install under another prefix than /usr installed share/lintian"
[ ! -e "$work/prefix/etc" ] && [ ! -e "$work/prefix/../etc/revozi" ] || fail "cmake --install under another prefix than /usr installed etc/"

# cpack -G DEB
(cd build && cpack -G DEB -B "$work/deb" >/dev/null) || fail "cpack -G DEB failed"
deb="$(ls "$work"/deb/revozi_*_amd64.deb 2>/dev/null | head -n1)"
[ -n "$deb" ] || fail "no .deb was built"
version="$(dpkg-deb --field "$deb" Version)"
description="$(dpkg-deb --field "$deb" Description)"
grep -q "test hosts only" <<<"$description" || fail "the package description does not say where the sandbox belongs"

# lintian: any error or warning fails the stage; the rest is reported.
lintian_out="$(lintian -I --pedantic "$deb" 2>&1)" || true
[ -z "$lintian_out" ] || printf '%s\n' "$lintian_out" | sed 's/^/lintian: /' >&2
if grep -q '^E: ' <<<"$lintian_out"; then fail "lintian reports errors"; fi
if grep -q '^W: ' <<<"$lintian_out"; then fail "lintian reports warnings"; fi

# Static programs that load nothing: the package depends on no other.
[ -z "$(dpkg-deb --field "$deb" Depends)" ] || fail "the package has dependencies: $(dpkg-deb --field "$deb" Depends)"

# dpkg install into a private root (its own database; the host's packages and
# files are not touched).
root="$work/root"
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status"
pkg() { dpkg --root="$root" --force-not-root --force-depends --force-script-chrootless "$@"; }
pkg --install "$deb" >/dev/null 2>"$work/dpkg.err" || { cat "$work/dpkg.err" >&2; fail "dpkg --install failed"; }
listing="$(pkg --listfiles revozi)"

# Every installed path is one of the package's own places, or a parent of one.
allowed='^/(\.|etc|etc/revozi|etc/revozi/kwtinfos\.txt|usr|usr/bin|usr/lib|usr/share|usr/share/doc|usr/share/man|usr/share/man/man1|usr/share/lintian|usr/share/lintian/overrides|usr/lib/systemd|usr/lib/systemd/system|usr/lib/tmpfiles\.d)$|^/usr/lib/systemd/system/revozi-ping\.(service|timer)$|^/usr/lib/tmpfiles\.d/revozi\.conf$|^/usr/bin/(kwtdata|revozi-setkey)$|^/usr/lib/revozi(/.*)?$|^/usr/share/doc/revozi(/.*)?$|^/usr/share/man/man1/(revozi\.cgi|kwtdata|revozi-setkey|korven-sandbox\.cgi)\.1\.gz$|^/usr/share/lintian/overrides/revozi$'
stray="$(grep -Ev "$allowed" <<<"$listing" || true)"
[ -z "$stray" ] || fail "the package installs outside its own places: $stray"
web="$(grep -E '^/(usr/lib/cgi-bin|var/www|srv|usr/share/nginx|usr/share/apache2|var/lib/lighttpd|etc/(lighttpd|apache2|nginx))(/|$)' <<<"$listing" || true)"
[ -z "$web" ] || fail "the package installs where a web server looks: $web"
for f in /usr/lib/revozi/revozi.cgi /usr/lib/revozi/korven-sandbox.cgi /usr/bin/kwtdata /usr/bin/revozi-setkey \
         /usr/share/man/man1/revozi.cgi.1.gz /usr/share/doc/revozi/copyright /usr/share/lintian/overrides/revozi \
         /usr/lib/systemd/system/revozi-ping.service /usr/lib/systemd/system/revozi-ping.timer /usr/lib/tmpfiles.d/revozi.conf; do
  grep -qx "$f" <<<"$listing" || fail "dpkg -L does not list $f"
  [ -e "$root$f" ] || fail "$f was not installed"
done

# The ping timer is off until enabled: nothing links it into a target.
[ ! -e "$root/etc/systemd" ] || fail "the package enables a unit: $(find "$root/etc/systemd")"
grep -qx 'ExecStart=/usr/lib/revozi/revozi.cgi KWT_MODE=43 KWT_PING=1' "$root/usr/lib/systemd/system/revozi-ping.service" ||
  fail "the ping service does not run the installed module in ping mode"

# The options file: a conffile in /etc/revozi, readable by its owner and group only.
[ "$(dpkg-deb --ctrl-tarfile "$deb" | tar -xOf - ./conffiles)" = /etc/revozi/kwtinfos.txt ] ||
  fail "the package's conffiles are not /etc/revozi/kwtinfos.txt"
[ "$(stat -c %a "$root/etc/revozi/kwtinfos.txt")" = 640 ] || fail "/etc/revozi/kwtinfos.txt is not 0640"
cmp -s "$root/etc/revozi/kwtinfos.txt" deploy/kwtinfos.txt || fail "/etc/revozi/kwtinfos.txt is not deploy/kwtinfos.txt"

module="$root/usr/lib/revozi/revozi.cgi"
query='KWT_SITE=1234567&KWT_RANG=01&KWT_TOTAL=1500&KWT_DEVISE=978&KWT_CMD=A1&KWT_PORTEUR=a%40b.fr&KWT_RETOUR=M:M&KWT_IDENTIFIANT=7&KWT_KORVEN=p.invalid&KWT_BACKUP1=b1.invalid&KWT_BACKUP2=b2.invalid&KWT_BACKUP3=b3.invalid'
# A request as a web server makes it; the probes stay on loopback.
run() { in_loopback_netns env -i REQUEST_METHOD=GET QUERY_STRING="$2" "$1"; }

set +e
out="$(run "$module" "$query")"; rc=$?
set -e
[ $rc -eq 0 ] || fail "installed module: exit status $rc"
grep -q "AUCUN SERVEUR DISPONIBLE" <<<"$out" || fail "installed module: unexpected answer: $out"
for p in "$module" "$root/usr/bin/kwtdata" "$root/usr/bin/revozi-setkey"; do
  v="$(env -i "$p" --version)" || fail "$p --version failed"
  [ "$(head -n1 <<<"$v")" = "$(basename "$p") $version" ] || fail "$p --version: $v (package $version)"
done
block="$("$root/usr/bin/kwtdata" encode KWT_SITE=1234567 KWT_RANG=01 KWT_TOTAL=1500 KWT_DEVISE=978 \
    KWT_CMD=A1 KWT_PORTEUR=a@b.fr KWT_RETOUR=M:M KWT_IDENTIFIANT=7)"
"$root/usr/bin/kwtdata" decode "$block" | grep -qx 'KWT_CMD=A1' || fail "installed kwtdata: no round trip"

# merchant key round trip on the installed module
"$root/usr/bin/revozi-setkey" "$module" "$work/keyed.cgi" "Kx9-merchant" >/dev/null
set +e
missing="$(run "$work/keyed.cgi" "$query")"; rc_missing=$?
wrong="$(run "$work/keyed.cgi" "$query&KWT_CLE=nope")"; rc_wrong=$?
right="$(run "$work/keyed.cgi" "$query&KWT_CLE=Kx9-merchant")"; rc_right=$?
set -e
[ $rc_missing -eq 1 ] && grep -q "(code -7)" <<<"$missing" || fail "keyed module without KWT_CLE: $missing"
[ $rc_wrong -eq 1 ] && grep -q "(code -17)" <<<"$wrong" || fail "keyed module with a wrong key: $wrong"
[ $rc_right -eq 0 ] && grep -q "AUCUN SERVEUR DISPONIBLE" <<<"$right" || fail "keyed module with its key: $right"

# removal leaves none of the package's files
pkg --purge revozi >/dev/null 2>"$work/dpkg.err" || { cat "$work/dpkg.err" >&2; fail "dpkg --purge failed"; }
left="$(cd "$root" && find . -path ./var -prune -o ! -type d -print)"
[ -z "$left" ] || fail "files left after dpkg --purge: $left"
echo "package: install, lintian (no error or warning), the options file conffile, dpkg -L listing, installed programs, merchant key and removal checked"
