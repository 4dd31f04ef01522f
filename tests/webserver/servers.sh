# The web server recipes of deploy/ applied to Debian's own configurations,
# for the demo (scripts/demo) and the stages (tests/webserver/suite.sh,
# scripts/test.d/examples.sh). Everything runs in a private host: a mount
# namespace whose /etc, /var, /run and /usr/lib are overlays on this host's
# (what a recipe writes there lands in a temporary directory and is gone
# afterwards) and a network namespace with loopback only. So the servers
# start from the distribution's configuration as installed, the recipes run
# as the docs give them (paths, commands, files), and the servers listen on
# their usual ports, reachable only from inside. Source it after
# scripts/lib.sh.
# shellcheck shell=bash

WEB_HTTP_PORT=80
WEB_BASE="http://127.0.0.1"
WEB_SANDBOX_URL="$WEB_BASE/cgi-bin/korven-sandbox.cgi"
# The places the recipes use.
CGI_DIR=/usr/lib/cgi-bin
DOC_ROOT=/var/www/html
OPTIONS_FILE=/etc/revozi/kwtinfos.txt
SANDBOX_DIR=/usr/lib/revozi
# The example shops' orders, beside cgi-bin.
SHOP_DATA="$(dirname "$CGI_DIR")/shop-data"
SERVER_PID=""
SERVER_HELPER_PID=""
SERVER_NAME=""

# can_make_private_host: root, and mount and network namespaces.
can_make_private_host() {
  [ "$(id -u)" -eq 0 ] && command -v unshare >/dev/null 2>&1 && unshare -m -n true 2>/dev/null
}

# in_private_host CMD...: runs CMD in a private host (see above); the
# overlays' upper layers live in a temporary directory removed afterwards.
in_private_host() {
  if ! can_make_private_host; then
    echo "the web server recipes run in a private host: this needs root and mount and network" \
         "namespaces (unshare -m -n)" >&2
    return 1
  fi
  local layers status
  layers="$(mktemp -d /tmp/revozi-host.XXXXXX)" || return 1
  unshare -m -n --propagation private -- bash -c '
    set -e
    layers="$1"; shift
    for d in /etc /var /run /usr/lib; do
      mkdir -p "$layers/$d/upper" "$layers/$d/work"
      mount -t overlay overlay -o "lowerdir=$d,upperdir=$layers/$d/upper,workdir=$layers/$d/work" "$d"
    done
    ip link set lo up
    export REVOZI_PRIVATE_HOST=1
    exec "$@"' bash "$layers" "$@" && status=0 || status=$?
  rm -rf "$layers"
  return $status
}

require_private_host() {
  [ -n "${REVOZI_PRIVATE_HOST:-}" ] && return 0
  echo "run this inside in_private_host (tests/webserver/servers.sh)" >&2
  return 1
}

# ---------------------------------------------------------------- recipes
# Each step as the docs give it; only the programs' source directory (BIN)
# differs from a host with the package, which has them in /usr/lib/revozi.

# recipe_site BIN: the module, the order pages, the test host's options file
# (deploy/kwtinfos-test-host.txt), the sandbox (where the package puts it)
# and its key.
recipe_site() {
  local bin="$1"
  require_private_host || return 1
  install -m 755 "$bin/revozi.cgi" "$CGI_DIR/" || return 1
  cp "$REPO_ROOT"/deploy/www/* "$DOC_ROOT/" || return 1
  install -d -m 750 -o root -g www-data /etc/revozi || return 1
  install_options "$REPO_ROOT/deploy/kwtinfos-test-host.txt" || return 1
  install -d "$SANDBOX_DIR" || return 1
  install -m 755 "$bin/korven-sandbox.cgi" "$SANDBOX_DIR/" || return 1
  "$SANDBOX_DIR/korven-sandbox.cgi" --new-key --group www-data >/dev/null || return 1
  install -d -m 700 -o www-data /var/lib/revozi/korven-sandbox || return 1
}

# install_options FROM [TO]: the options file FROM in place as TO
# (OPTIONS_FILE by default), as the docs install it: root's, readable by the
# web server's group only.
install_options() {
  install -m 640 -o root -g www-data "$1" "${2:-$OPTIONS_FILE}"
}

# options_with FROM NAME VALUE TO: the options file FROM with NAME set to
# VALUE (its lines setting NAME dropped, NAME=VALUE added at the end),
# installed as TO; FROM and TO may be the same file.
options_with() {
  { grep -Ev "^[[:space:]]*$2[[:space:]]*=" "$1"; echo "$2=$3"; } >"$4.new" || return 1
  install_options "$4.new" "$4" && rm -f "$4.new"
}

# install_shop KIND NAME BIN: the example shop examples/KIND/shop.cgi
# (python or php) as CGI_DIR/NAME, its settings changed as a merchant edits
# them: its URL (WEB_BASE/cgi-bin/NAME) and, for Python, the verifier
# (BIN/kwtdata, installed in SANDBOX_DIR). Its orders go to SHOP_DATA
# (0700, www-data's); it reads the sandbox's public key where
# recipe_site's --new-key puts it, /etc/revozi/korven-sandbox.pub.
install_shop() {
  local kind="$1" name="$2" bin="$3" from to
  local target="$CGI_DIR/$name"
  local -A settings=([http://127.0.0.1/cgi-bin/shop.cgi]="$WEB_BASE/cgi-bin/$name")
  if [ "$kind" = python ]; then
    install -m 755 "$bin/kwtdata" "$SANDBOX_DIR/" || return 1
    settings[/usr/bin/kwtdata]="$SANDBOX_DIR/kwtdata"
  fi
  install -m 755 "$REPO_ROOT/examples/$kind/shop.cgi" "$target" || return 1
  for from in "${!settings[@]}"; do
    to="${settings[$from]}"
    if ! grep -qF -- "$from" "$target"; then
      echo "examples/$kind/shop.cgi no longer names $from" >&2
      return 1
    fi
    FROM="$from" TO="$to" perl -pi -e 's/\Q$ENV{FROM}\E/$ENV{TO}/g' "$target" || return 1
  done
  install -d -m 700 -o www-data -g www-data "$SHOP_DATA"
}

# make_snakeoil: Debian's self-signed pair, when it is missing.
make_snakeoil() {
  [ -e /etc/ssl/certs/ssl-cert-snakeoil.pem ] || make-ssl-cert generate-default-snakeoil
}

# recipe_lighttpd [tls]: deploy/lighttpd on Debian's /etc/lighttpd.
recipe_lighttpd() {
  cp "$REPO_ROOT"/deploy/lighttpd/50-revozi.conf "$REPO_ROOT"/deploy/lighttpd/51-revozi-sandbox.conf \
    /etc/lighttpd/conf-available/ || return 1
  lighttpd-enable-mod revozi revozi-sandbox >/dev/null || return 1
  if [ "${1:-}" = tls ]; then
    make_snakeoil || return 1
    cp "$REPO_ROOT"/deploy/lighttpd/52-revozi-ssl.conf /etc/lighttpd/conf-available/ || return 1
    lighttpd-enable-mod revozi-ssl >/dev/null || return 1
  fi
  lighttpd -tt -f /etc/lighttpd/lighttpd.conf
}

# recipe_apache: deploy/apache on Debian's /etc/apache2, with its default
# HTTPS site.
recipe_apache() {
  cp "$REPO_ROOT/deploy/apache/revozi.conf" /etc/apache2/conf-available/ || return 1
  cp "$REPO_ROOT/deploy/apache/revozi-sandbox.conf" /etc/apache2/sites-available/ || return 1
  make_snakeoil || return 1
  { a2enmod -q cgi ssl && a2enconf -q revozi && a2ensite -q default-ssl revozi-sandbox; } >/dev/null || return 1
  apache2ctl configtest 2>&1 | grep -v AH00558 >&2
  [ "${PIPESTATUS[0]}" -eq 0 ]
}

# recipe_nginx: deploy/nginx on Debian's /etc/nginx, and the fcgiwrap
# drop-in.
recipe_nginx() {
  make_snakeoil || return 1
  cp "$REPO_ROOT/deploy/nginx/revozi-cgi.conf" /etc/nginx/snippets/ || return 1
  cp "$REPO_ROOT/deploy/nginx/revozi.conf" /etc/nginx/sites-available/revozi || return 1
  cp "$REPO_ROOT/deploy/nginx/revozi-sandbox.conf" /etc/nginx/sites-available/revozi-sandbox || return 1
  ln -s ../sites-available/revozi /etc/nginx/sites-enabled/revozi || return 1
  ln -s ../sites-available/revozi-sandbox /etc/nginx/sites-enabled/revozi-sandbox || return 1
  mkdir -p /etc/systemd/system/fcgiwrap.service.d || return 1
  cp "$REPO_ROOT/deploy/nginx/fcgiwrap.conf" /etc/systemd/system/fcgiwrap.service.d/revozi.conf || return 1
  nginx -t -q
}

# ------------------------------------------------------- starting servers
# As their Debian services start them (no systemd here), in a session of
# their own (setsid: Apache signals its whole process group when it stops).

start_lighttpd() {
  SERVER_NAME=lighttpd
  setsid lighttpd -D -f /etc/lighttpd/lighttpd.conf >/run/lighttpd.out 2>&1 &
  SERVER_PID=$!
  server_started /run/lighttpd.out /var/log/lighttpd/error.log
}

start_apache() {
  SERVER_NAME=apache
  (
    set +u
    # shellcheck disable=SC1091
    source /etc/apache2/envvars
    mkdir -p "$APACHE_RUN_DIR" "$APACHE_LOCK_DIR" "$APACHE_LOG_DIR"
    exec setsid apache2 -DFOREGROUND >/run/apache2.out 2>&1
  ) &
  SERVER_PID=$!
  server_started /run/apache2.out /var/log/apache2/error.log
}

# fcgiwrap_command: the ExecStart of fcgiwrap.service once the recipe's
# drop-in is in place (its last ExecStart line).
fcgiwrap_command() {
  local line
  line="$(grep -h '^ExecStart=' /lib/systemd/system/fcgiwrap.service \
            /etc/systemd/system/fcgiwrap.service.d/*.conf 2>/dev/null | tail -n 1)"
  line="${line#ExecStart=}"
  line="${line//\$\{DAEMON_OPTS\}/-f}"
  echo "$line"
}

# start_nginx: fcgiwrap as its service runs it (the drop-in's command line,
# as www-data, on the socket that fcgiwrap.socket makes: /run/fcgiwrap.socket,
# www-data 0660, handed over as its standard input), then nginx.
start_nginx() {
  SERVER_NAME=nginx
  local command
  read -r -a command <<<"$(fcgiwrap_command)"
  [ ${#command[@]} -gt 0 ] || { echo "no ExecStart for fcgiwrap" >&2; return 1; }
  rm -f /run/fcgiwrap.socket
  setsid python3 -c '
import os, socket, sys
s = socket.socket(socket.AF_UNIX)
s.bind("/run/fcgiwrap.socket")
os.chown("/run/fcgiwrap.socket", int(sys.argv[1]), int(sys.argv[2]))
os.chmod("/run/fcgiwrap.socket", 0o660)
s.listen(128)
os.dup2(s.fileno(), 0)
os.execvp(sys.argv[3], sys.argv[3:])' "$(id -u www-data)" "$(id -g www-data)" \
    setpriv --reuid=www-data --regid=www-data --clear-groups "${command[@]}" \
    </dev/null >/run/fcgiwrap.out 2>&1 &
  SERVER_HELPER_PID=$!
  setsid nginx -g 'daemon off;' >/run/nginx.out 2>&1 &
  SERVER_PID=$!
  server_started /run/nginx.out /var/log/nginx/error.log /run/fcgiwrap.out
}

# port_accepts PORT: true when 127.0.0.1:PORT accepts a connection.
port_accepts() {
  timeout 2 bash -c "exec 3<>/dev/tcp/127.0.0.1/$1" 2>/dev/null
}

# server_started LOG...: waits until port 80 accepts, at most 10 seconds;
# fails early when the server process has ended, showing its LOGs.
server_started() {
  local i
  for ((i = 0; i < 100; i++)); do
    port_accepts "$WEB_HTTP_PORT" && return 0
    kill -0 "$SERVER_PID" 2>/dev/null || break
    sleep 0.1
  done
  echo "$SERVER_NAME did not start on 127.0.0.1:$WEB_HTTP_PORT; its messages:" >&2
  cat "$@" 2>/dev/null | tail -n 20 >&2
  stop_server
  return 1
}

# stop_server: ends the server started last (its session, by its pid) and
# its helper (fcgiwrap, with its children), and waits for them, at most 10
# seconds each. Safe under set -e.
stop_server() {
  stop_pid "$SERVER_PID"
  SERVER_PID=""
  stop_pid "$SERVER_HELPER_PID"
  SERVER_HELPER_PID=""
}

# stop_pid PID: TERM to the session PID leads (started with setsid), then
# KILL after 10 seconds.
stop_pid() {
  [ -n "$1" ] || return 0
  local i
  kill -TERM -- "-$1" 2>/dev/null || kill -TERM -- "$1" 2>/dev/null || true
  for ((i = 0; i < 100; i++)); do
    kill -0 "$1" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL -- "-$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}

# without_service_start CMD...: runs CMD (a package installation) so that
# Debian does not start the packaged lighttpd, Apache or nginx service: the
# demo and the tests run their own, in a private host, and a system server
# on port 80 is not wanted. Uses policy-rc.d, and only when none is in place.
without_service_start() {
  local policy=/usr/sbin/policy-rc.d status
  if [ "$(id -u)" -ne 0 ] || [ -e "$policy" ]; then
    "$@"
    return
  fi
  printf '#!/bin/sh\n# Temporary: placed by the payment module scripts during a package install.\nexit 101\n' >"$policy"
  chmod 755 "$policy"
  "$@" && status=0 || status=$?
  rm -f "$policy"
  return $status
}
