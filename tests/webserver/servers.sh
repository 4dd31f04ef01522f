# Running the deploy/ configurations as private server instances, for the
# demo (scripts/demo) and the web server tests (tests/webserver/suite.sh).
# Source it after scripts/lib.sh.
# shellcheck shell=bash

WEB_HTTP_PORT=80
WEB_BASE="http://127.0.0.1"
WEB_SANDBOX_URL="$WEB_BASE/cgi-bin/korven-sandbox.cgi"
SERVER_PID=""
SERVER_HELPER_PID=""
SERVER_NAME=""

# The user the servers run their CGI programs as, when started as root.
web_user() { id -u www-data >/dev/null 2>&1 && echo www-data; }

# make_web_dir PREFIX: a new directory under /tmp that the server's user can
# read (mktemp makes it private).
make_web_dir() {
  local dir
  dir="$(mktemp -d "/tmp/$1.XXXXXX")" || return 1
  chmod 755 "$dir"
  echo "$dir"
}

# prepare_site SITE BIN_DIR: the site directory the configurations expect:
# www/ with the example order pages, cgi-bin/ with the module, the sandbox
# and the example options file.
prepare_site() {
  local site="$1" bin="$2"
  mkdir -p "$site/www" "$site/cgi-bin" || return 1
  cp "$REPO_ROOT"/deploy/www/* "$site/www/" || return 1
  install -m 755 "$bin/revozi.cgi" "$bin/korven-sandbox.cgi" "$site/cgi-bin/" || return 1
  install -m 644 "$REPO_ROOT/deploy/kwtinfos.txt" "$site/cgi-bin/" || return 1
  chmod -R a+rX "$site"
  new_sandbox_key "$site" "$bin"
}

# The sandbox's key pair of a site, outside what is served: a fresh one for
# every site, which the server configurations name instead of the shipped
# /etc/revozi/korven-sandbox.key (render_with_key).
SANDBOX_KEY_PATH=/etc/revozi/korven-sandbox.key
sandbox_key() { echo "$1/keys/korven-sandbox.key"; }
sandbox_public_key() { echo "$1/keys/korven-sandbox.pub"; }

# new_sandbox_key SITE BIN_DIR: the pair, the private key readable by the
# server's user only (group www-data when started as root).
new_sandbox_key() {
  local site="$1" bin="$2" user group=()
  user="$(web_user)"
  if [ "$(id -u)" -eq 0 ] && [ -n "$user" ]; then group=(--group "$user"); fi
  mkdir -p "$site/keys" && chmod 755 "$site/keys" || return 1
  "$bin/korven-sandbox.cgi" --new-key "${group[@]}" "$(sandbox_key "$site")" >/dev/null
}

# render_with_key FILE OUT SITE: FILE with the site's sandbox key in place of
# the shipped path; fails when FILE no longer names it.
render_with_key() {
  grep -qF -- "$SANDBOX_KEY_PATH" "$1" || { echo "$1 no longer names $SANDBOX_KEY_PATH" >&2; return 1; }
  FROM="$SANDBOX_KEY_PATH" TO="$(sandbox_key "$3")" perl -pe 's/\Q$ENV{FROM}\E/$ENV{TO}/g' "$1" >"$2"
}

# install_shop KIND SITE NAME BIN: the example shop examples/KIND/shop.cgi
# (python or php) as SITE/cgi-bin/NAME, with its settings changed as a
# merchant edits them: its URL (WEB_BASE/cgi-bin/NAME) and, for Python, the
# verifier (BIN/kwtdata, copied to SITE/bin/). Its orders go to
# SITE/shop-data (0700, the server's user's); it reads the payment server's
# public key from SITE/keys/korven-sandbox.pub (prepare_site makes the pair).
install_shop() {
  local kind="$1" site="$2" name="$3" bin="$4" user from to
  local target="$site/cgi-bin/$name"
  local -A settings=(
    [http://127.0.0.1/cgi-bin/shop.cgi]="$WEB_BASE/cgi-bin/$name"
  )
  if [ "$kind" = python ]; then
    install -D -m 755 "$bin/kwtdata" "$site/bin/kwtdata" || return 1
    settings[/usr/bin/kwtdata]="$site/bin/kwtdata"
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
  install -d -m 700 "$site/shop-data" || return 1
  user="$(web_user)"
  if [ "$(id -u)" -eq 0 ] && [ -n "$user" ]; then chown "$user" "$site/shop-data"; fi
}

# prepare_run_dir RUN: pid file, logs and request bodies; writable by the
# server's user.
prepare_run_dir() {
  local run="$1" user
  mkdir -p "$run" || return 1
  user="$(web_user)"
  if [ "$(id -u)" -eq 0 ] && [ -n "$user" ]; then chown "$user" "$run"; fi
}

# port_accepts PORT: true when 127.0.0.1:PORT accepts a connection.
port_accepts() {
  timeout 2 bash -c "exec 3<>/dev/tcp/127.0.0.1/$1" 2>/dev/null
}

# wait_for_server: until port 80 accepts, at most 10 seconds; fails early
# when the server process has ended.
wait_for_server() {
  local i
  for ((i = 0; i < 100; i++)); do
    port_accepts "$WEB_HTTP_PORT" && return 0
    kill -0 "$SERVER_PID" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}

# The servers run in a session of their own (setsid, which keeps the pid in
# a script): Apache signals its whole process group when it stops, which
# must not reach the script that started it.

# start_lighttpd SITE RUN: lighttpd with deploy/lighttpd/lighttpd.conf, in
# the foreground of a background job; its working directory is RUN.
start_lighttpd() {
  local site="$1" run="$2"
  SERVER_NAME=lighttpd
  render_with_key "$REPO_ROOT/deploy/lighttpd/lighttpd.conf" "$run/lighttpd.conf" "$site" || return 1
  (cd "$run" && REVOZI_SITE="$site" REVOZI_RUN="$run" \
     exec setsid lighttpd -D -f "$run/lighttpd.conf" >"$run/stdout.log" 2>&1) &
  SERVER_PID=$!
  server_started "$run"
}

# start_apache SITE RUN: a private Apache instance (deploy/apache).
start_apache() {
  local site="$1" run="$2"
  SERVER_NAME=apache
  mkdir -p "$run/conf" && render_with_key "$REPO_ROOT/deploy/apache/revozi.conf" "$run/conf/revozi.conf" "$site" ||
    return 1
  (cd "$run" && REVOZI_SITE="$site" REVOZI_RUN="$run" REVOZI_CONF="$run/conf" \
     REVOZI_APACHE_MODULES=/usr/lib/apache2/modules \
     exec setsid apache2 -f "$REPO_ROOT/deploy/apache/httpd-private.conf" -DFOREGROUND >"$run/stdout.log" 2>&1) &
  SERVER_PID=$!
  server_started "$run"
}

# start_nginx SITE RUN: a private nginx (deploy/nginx/nginx-private.conf
# around deploy/nginx/revozi.conf) and fcgiwrap on a socket in RUN. The
# shipped files are used as they are, with only their paths changed (the
# site directory, the fcgiwrap socket, the certificate pair: a fresh
# self-signed one in RUN) and the TLS listener bound to 127.0.0.1.
start_nginx() {
  local site="$1" run="$2" conf="$2/conf" user
  SERVER_NAME=nginx
  mkdir -p "$conf" || return 1
  render_nginx_conf "$site" "$run" "$conf" || return 1
  user="$(web_user)"
  # fcgiwrap runs the programs as the server's user, as Debian's
  # fcgiwrap.service does; started as root it would run them as root.
  local as_user=()
  if [ "$(id -u)" -eq 0 ] && [ -n "$user" ]; then
    as_user=(setpriv "--reuid=$user" "--regid=$user" --clear-groups)
  fi
  (cd "$run" && exec setsid "${as_user[@]}" fcgiwrap -c 2 -s "unix:$run/fcgiwrap.socket" \
     >"$run/fcgiwrap.log" 2>&1) &
  SERVER_HELPER_PID=$!
  local i
  for ((i = 0; i < 100; i++)); do
    [ -S "$run/fcgiwrap.socket" ] && break
    kill -0 "$SERVER_HELPER_PID" 2>/dev/null || break
    sleep 0.05
  done
  if [ ! -S "$run/fcgiwrap.socket" ]; then
    echo "fcgiwrap did not create its socket; its messages:" >&2
    tail -n 20 "$run/fcgiwrap.log" >&2
    stop_server
    return 1
  fi
  (cd "$run" && exec setsid nginx -p "$run/" -e "$run/error.log" -c "$conf/nginx-private.conf" \
     >"$run/stdout.log" 2>&1) &
  SERVER_PID=$!
  server_started "$run"
}

# render_nginx_conf SITE RUN CONF: the shipped nginx files in CONF with the
# test paths, and a self-signed certificate. Fails when a text to change is
# no longer in the shipped file (the test would otherwise run something else).
render_nginx_conf() {
  local site="$1" run="$2" conf="$3" from to
  local shipped="$REPO_ROOT/deploy/nginx/revozi.conf"
  local -A paths=(
    [/srv/shop]="$site"
    [/run/fcgiwrap.socket]="$run/fcgiwrap.socket"
    [/etc/ssl/certs/ssl-cert-snakeoil.pem]="$conf/cert.pem"
    [/etc/ssl/private/ssl-cert-snakeoil.key]="$conf/key.pem"
    # Loopback only, also where no private network namespace hides the
    # host's addresses.
    ["listen 443 ssl;"]="listen 127.0.0.1:443 ssl;"
    ["$SANDBOX_KEY_PATH"]="$(sandbox_key "$site")"
  )
  cp "$shipped" "$conf/revozi.conf" || return 1
  for from in "${!paths[@]}"; do
    to="${paths[$from]}"
    if ! grep -qF -- "$from" "$shipped"; then
      echo "deploy/nginx/revozi.conf no longer names $from" >&2
      return 1
    fi
    FROM="$from" TO="$to" perl -pi -e 's/\Q$ENV{FROM}\E/$ENV{TO}/g' "$conf/revozi.conf" || return 1
  done
  cp "$REPO_ROOT/deploy/nginx/nginx-private.conf" "$conf/" || return 1
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=shop.example \
    -keyout "$conf/key.pem" -out "$conf/cert.pem" >"$run/openssl.log" 2>&1 || {
      cat "$run/openssl.log" >&2
      return 1
    }
}

server_started() {
  local run="$1"
  if wait_for_server; then
    return 0
  fi
  echo "$SERVER_NAME did not start on 127.0.0.1:$WEB_HTTP_PORT; its messages:" >&2
  cat "$run"/stdout.log "$run"/error.log 2>/dev/null | tail -n 20 >&2
  stop_server
  return 1
}

# stop_server: ends the server started last (by its pid) and its helper
# (fcgiwrap, with the children in its process group), and waits for them,
# at most 10 seconds each. Safe under set -e.
stop_server() {
  stop_pid "$SERVER_PID"
  SERVER_PID=""
  stop_pid "$SERVER_HELPER_PID" group
  SERVER_HELPER_PID=""
}

# stop_pid PID [group]: TERM, then KILL after 10 seconds; with "group", to
# the process group that PID leads (it was started with setsid).
stop_pid() {
  [ -n "$1" ] || return 0
  local target="$1" i
  [ "${2:-}" = group ] && target="-$1"
  kill -TERM -- "$target" 2>/dev/null || true
  for ((i = 0; i < 100; i++)); do
    kill -0 "$1" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL -- "$target" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}

# check_port_80_usable: outside a private namespace the servers take
# 127.0.0.1:80 of this host; only when it is free and may be bound.
check_port_80_usable() {
  if port_accepts 80; then
    echo "no private network namespace here (needs root and unshare), and port 80 on 127.0.0.1" \
         "is already in use: stop the server on it, or run as root." >&2
    return 1
  fi
  if [ "$(id -u)" -ne 0 ] && [ "$(cat /proc/sys/net/ipv4/ip_unprivileged_port_start 2>/dev/null || echo 1024)" -gt 80 ]; then
    echo "no private network namespace here (needs root and unshare), and this user may not" \
         "listen on port 80: run as root." >&2
    return 1
  fi
}

# without_service_start CMD...: runs CMD (a package installation) so that
# Debian does not start the packaged lighttpd or Apache service: the demo
# and the tests run private instances, and a system server on port 80 is
# not wanted. Uses policy-rc.d, and only when none is in place.
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

