#!/usr/bin/env bash
# Stage: the example shops of examples/ (Python and PHP) end to end against
# the payment sandbox. Each shop is installed beside the module in
# /usr/lib/cgi-bin, served by Debian's lighttpd with the recipe of
# deploy/lighttpd, in a private host of its own (tests/webserver/servers.sh:
# overlays, loopback only) with a fresh sandbox key pair, and driven by
# examples/test_shops.py: orders, accept, refuse, cancel, the server's call,
# forged and altered returns (403), an amount changed inside KWT_DATA
# (mismatch), a bad e-mail (NUMERR -16), malformed input (400). Each shop
# runs on SQLite, then on PostgreSQL (a fresh cluster the stage starts on a
# Unix socket in the private host and stops at the end), behind two lighttpd
# instances (127.0.0.1 and 127.0.0.2, the same shop and database) that
# receive the returns and notifications of the same orders at once; a
# notification while the database is down gets 503 and the sandbox's retry
# (--deliver) ships the order once. Then `korven-sandbox.cgi --conformance`
# plays its scenarios against the shop's order page, as a merchant tests a
# shop of his own.
#
# REVOZI_EXAMPLES_BUILD_DIR builds the programs in another directory instead
# of the release preset's build/.
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
source "$REPO_ROOT/tests/webserver/servers.sh"
cd "$REPO_ROOT"

if [ "${1:-}" != --inside ]; then
  without_service_start ensure_packages lighttpd php-cgi python3 iproute2 util-linux coreutils cmake make g++ \
    libsodium-dev libc-ares-dev php-sqlite3 php-pgsql python3-psycopg2 postgresql
  build_release "${REVOZI_EXAMPLES_BUILD_DIR:-}" revozi_cgi korven_sandbox kwtdata
  status=0
  for shop in python php; do
    for store in sqlite postgresql; do
      in_private_host timeout 300 bash "$0" --inside "$RELEASE_BIN" "$shop" "$store" || status=1
    done
  done
  exit $status
fi

BIN="$2"
shop="$3"
store="$4"
PG_BIN="$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -n 1)"
PG_DATA=/var/lib/revozi-examples/postgresql
PG_SOCKET=/run/revozi-examples
SECOND_PID=""
as_postgres() { runuser -u postgres -- "$@"; }
# pg_ctl, bounded: started on the socket only, stopped at once.
PG_START=(runuser -u postgres -- "$PG_BIN/pg_ctl" -D "$PG_DATA" -w -t 30 -l "$PG_DATA/../postgresql.log" -o
  "-c listen_addresses='' -k $PG_SOCKET -c unix_socket_permissions=0777 -c fsync=off" start)
PG_STOP=(runuser -u postgres -- "$PG_BIN/pg_ctl" -D "$PG_DATA" -w -t 30 -m fast stop)
pg_start() { "${PG_START[@]}" >/dev/null; }
pg_stop() { "${PG_STOP[@]}" >/dev/null; }
stop_all() {
  stop_server
  stop_pid "$SECOND_PID"
  if [ "$store" = postgresql ] && [ -e "$PG_DATA/postmaster.pid" ]; then pg_stop || true; fi
}
trap stop_all EXIT
trap 'exit 130' INT TERM

log "example shop: $shop on $store"
recipe_site "$BIN"
recipe_lighttpd
install_shop "$shop" shop.cgi "$BIN"
database=""
if [ "$store" = postgresql ]; then
  # A fresh cluster, on a Unix socket only; the shop's role and database.
  install -d -m 700 -o postgres -g postgres "$(dirname "$PG_DATA")" "$PG_DATA"
  install -d -m 755 -o postgres -g postgres "$PG_SOCKET"
  as_postgres "$PG_BIN/initdb" -D "$PG_DATA" -A trust -U postgres -E UTF8 --locale=C --no-sync >/dev/null
  pg_start
  as_postgres "$PG_BIN/psql" -q -h "$PG_SOCKET" -U postgres -d postgres -v ON_ERROR_STOP=1 \
    -c "CREATE ROLE shop LOGIN" -c "CREATE DATABASE shop OWNER shop"
  database="host=$PG_SOCKET dbname=shop user=shop"
  # The shop's setting, edited as a merchant does.
  FROM_PY='os.environ.get("SHOP_DATABASE") or ""' TO_PY="os.environ.get(\"SHOP_DATABASE\") or \"$database\"" \
  FROM_PHP="getenv('SHOP_DATABASE') ?: ''" TO_PHP="getenv('SHOP_DATABASE') ?: '$database'" \
    perl -pi -e 's/\Q$ENV{FROM_PY}\E/$ENV{TO_PY}/; s/\Q$ENV{FROM_PHP}\E/$ENV{TO_PHP}/' "$CGI_DIR/shop.cgi"
  grep -qF -- "$database" "$CGI_DIR/shop.cgi" || { echo "the shop no longer has its SHOP_DATABASE setting" >&2; exit 1; }
fi
# Two web servers of the same shop: 127.0.0.1 (with IPv6) and 127.0.0.2.
echo 'server.bind = "127.0.0.1"' >>/etc/lighttpd/lighttpd.conf
sed -e '/use-ipv6\.pl/d' -e 's|^server.pid-file.*|server.pid-file = "/run/lighttpd-2.pid"|' \
  -e 's|^server.errorlog.*|server.errorlog = "/var/log/lighttpd/error-2.log"|' \
  -e 's|^server.bind.*|server.bind = "127.0.0.2"|' /etc/lighttpd/lighttpd.conf >/etc/lighttpd/second.conf
# The shop's error page receives the module's NUMERR: the options file's
# KWT_ERREUR (the first line that sets it wins) becomes the shop's URL. A
# form posting to the module cannot give it under the lock, and the file
# comes before the command line in the Python shop's mode string.
options_with "$OPTIONS_FILE" KWT_ERREUR "$WEB_BASE/cgi-bin/shop.cgi" "$OPTIONS_FILE"
start_lighttpd
setsid lighttpd -D -f /etc/lighttpd/second.conf >/run/lighttpd-2.out 2>&1 &
SECOND_PID=$!
for ((i = 0; i < 100; i++)); do
  timeout 2 bash -c 'exec 3<>/dev/tcp/127.0.0.2/80' 2>/dev/null && break
  sleep 0.1
done
pg_control=()
if [ "$store" = postgresql ]; then
  pg_control=(--stop-database "$(printf '%q ' "${PG_STOP[@]}")" --start-database "$(printf '%q ' "${PG_START[@]}")")
fi
# Debian's python3: python3-psycopg2 reads PostgreSQL.
if ! PYTHONDONTWRITEBYTECODE=1 timeout 200 /usr/bin/python3 "$REPO_ROOT/examples/test_shops.py" \
    --base "$WEB_BASE" --second-base http://127.0.0.2 --shop /cgi-bin/shop.cgi --orders "$SHOP_DATA" \
    --database "$database" "${pg_control[@]}" --bin "$BIN" \
    --vectors "$REPO_ROOT/examples/signature-vectors.txt" --script /usr/lib/cgi-bin/shop.cgi; then
  echo "--- the web servers' error logs, last lines:" >&2
  tail -n 20 /var/log/lighttpd/error.log /var/log/lighttpd/error-2.log /run/lighttpd-2.out >&2 2>/dev/null || true
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
