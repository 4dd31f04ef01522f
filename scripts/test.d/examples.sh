#!/usr/bin/env bash
# Stage: the example shops of examples/ (Python and PHP) end to end against
# the payment sandbox. Each shop is installed beside the module in
# /usr/lib/cgi-bin, served by Debian's lighttpd with the recipe of
# deploy/lighttpd, in a private host of its own (tests/webserver/servers.sh:
# overlays, loopback only) with a fresh sandbox key pair, and driven by
# examples/test_shops.py: orders, accept, refuse, cancel, the server's call,
# returns racing notifications, forged and altered returns (403), an amount
# changed inside KWT_DATA (mismatch), a bad e-mail (NUMERR -16), malformed
# input (400). Then `korven-sandbox.cgi --conformance` plays its scenarios
# against the shop's order page, as a merchant tests a shop of his own.
#
# REVOZI_EXAMPLES_BUILD_DIR builds the programs in another directory instead
# of the release preset's build/.
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
source "$REPO_ROOT/tests/webserver/servers.sh"
cd "$REPO_ROOT"

if [ "${1:-}" != --inside ]; then
  without_service_start ensure_packages lighttpd php-cgi python3 iproute2 util-linux coreutils cmake make g++ libsodium-dev libc-ares-dev
  build_release "${REVOZI_EXAMPLES_BUILD_DIR:-}" revozi_cgi korven_sandbox kwtdata
  status=0
  for shop in python php; do
    in_private_host timeout 300 bash "$0" --inside "$RELEASE_BIN" "$shop" || status=1
  done
  exit $status
fi

BIN="$2"
shop="$3"
trap stop_server EXIT
trap 'exit 130' INT TERM

log "example shop: $shop"
recipe_site "$BIN"
recipe_lighttpd
install_shop "$shop" shop.cgi "$BIN"
# The shop's error page receives the module's NUMERR: the options file's
# KWT_ERREUR (the first line that sets it wins) becomes the shop's URL. A
# form posting to the module cannot give it under the lock, and the file
# comes before the command line in the Python shop's mode string.
options_with "$OPTIONS_FILE" KWT_ERREUR "$WEB_BASE/cgi-bin/shop.cgi" "$OPTIONS_FILE"
start_lighttpd
if ! PYTHONDONTWRITEBYTECODE=1 timeout 200 python3 "$REPO_ROOT/examples/test_shops.py" \
    --base "$WEB_BASE" --shop /cgi-bin/shop.cgi --orders "$SHOP_DATA" --bin "$BIN" \
    --vectors "$REPO_ROOT/examples/signature-vectors.txt" --script /usr/lib/cgi-bin/shop.cgi; then
  echo "--- the web server's error log, last lines:" >&2
  tail -n 20 /var/log/lighttpd/error.log >&2 2>/dev/null || true
  exit 1
fi
# The conformance run, from the shop's order page (a fresh order each time
# it needs one), as the web server's user: it reads the sandbox's key.
log "conformance run: $shop"
if ! timeout 120 runuser -u www-data -- "$BIN/korven-sandbox.cgi" --conformance \
    "$WEB_BASE/cgi-bin/shop.cgi?step=order" 'article=tea&quantity=2&email=client%40example.fr'; then
  echo "--- the web server's error log, last lines:" >&2
  tail -n 20 /var/log/lighttpd/error.log >&2 2>/dev/null || true
  exit 1
fi
