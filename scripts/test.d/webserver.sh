#!/usr/bin/env bash
# Stage: the module, the payment sandbox and the PHP example shop behind
# lighttpd, Apache and nginx with fcgiwrap, each from Debian's own
# configuration with the recipe of deploy/ applied, exercised with curl
# (tests/webserver/). Each server runs in a private host: overlays on /etc,
# /var, /run and /usr/lib, and a network namespace with loopback only, so
# nothing of this host changes and nothing leaves it. Needs root.
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
source "$REPO_ROOT/tests/webserver/servers.sh"
cd "$REPO_ROOT"

# The packaged services are kept from starting (the tests run the servers
# in private hosts). ssl-cert makes the self-signed pair the HTTPS sites
# name; python3 hands fcgiwrap its socket as systemd would.
without_service_start ensure_packages lighttpd lighttpd-mod-openssl apache2 nginx fcgiwrap php-cgi php-sqlite3 \
  ssl-cert python3 curl libxml2-utils perl-base iproute2 util-linux coreutils libsodium-dev libc-ares-dev

cmake --preset release >/dev/null
cmake --build --preset release --target revozi_cgi korven_sandbox

timeout 900 bash tests/webserver/suite.sh build/bin
