#!/usr/bin/env bash
# The browser tests: Debian's lighttpd with the recipe and example site of
# deploy/ (plus the test order page tests/browser/www/checkout.html, the
# attacker's page tests/browser/www/attack.html, the module a second time as
# /cgi-bin/mode-a.cgi with output mode A in its options file, and the
# example shops as /cgi-bin/shop.cgi (Python) and /cgi-bin/shop-php.cgi),
# chromedriver, and headless Chromium driven by browser_test.py. Runs inside
# a private host (scripts/test.d/browser.sh sees to it: overlays, loopback
# only), so the browser reaches nothing but 127.0.0.1 and nothing of this
# host changes.
#
#   tests/browser/run.sh BIN_DIR [--screenshot FILE]
#
# BIN_DIR holds revozi.cgi, korven-sandbox.cgi and kwtdata. The web server,
# chromedriver and the browser are stopped on every way out. Exit status 1
# when any check fails.
set -uo pipefail
source "$(dirname "$0")/../../scripts/lib.sh"
source "$REPO_ROOT/tests/webserver/servers.sh"

BIN="$(cd "${1:?usage: run.sh BIN_DIR [--screenshot FILE]}" && pwd)"
shift
SCREENSHOT=()
if [ "${1:-}" = --screenshot ]; then
  SCREENSHOT=(--screenshot "$(realpath -m "${2:?--screenshot needs a file}")")
fi

CHROMIUM=/usr/bin/chromium
CHROMEDRIVER=/usr/bin/chromedriver
for program in "$CHROMIUM" "$CHROMEDRIVER"; do
  [ -x "$program" ] || { echo "$program is missing (Debian packages chromium, chromium-driver)" >&2; exit 1; }
done

WORK="$(mktemp -d /tmp/revozi-browser.XXXXXX)" || exit 1
chmod 755 "$WORK"
DRIVER_PID=""

# chromedriver runs in a session of its own (setsid): its process group
# holds the browser it starts, and ends with it.
stop_driver() {
  [ -n "$DRIVER_PID" ] || return 0
  local i
  kill -TERM -- "-$DRIVER_PID" 2>/dev/null || true
  for ((i = 0; i < 50; i++)); do
    kill -0 -- "-$DRIVER_PID" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL -- "-$DRIVER_PID" 2>/dev/null || true
  wait "$DRIVER_PID" 2>/dev/null || true
  DRIVER_PID=""
}
TESTS_PID=""
cleanup() {
  if [ -n "$TESTS_PID" ]; then
    kill -TERM "$TESTS_PID" 2>/dev/null || true
    wait "$TESTS_PID" 2>/dev/null || true
  fi
  stop_driver
  stop_server
  rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

recipe_site "$BIN" && recipe_lighttpd || { echo "cannot set up the site and lighttpd" >&2; exit 1; }
install -m 644 "$REPO_ROOT"/tests/browser/www/*.html "$DOC_ROOT/"
# The tests read the access log.
lighttpd-enable-mod accesslog >/dev/null
ACCESS_LOG=/var/log/lighttpd/access.log
# The module a second time, as mode-a.cgi, with the example options file and
# KWT_OUTPUT=A: the payment page waits for its button (under the lock a form
# cannot ask for that). A wrapper names that file in KWT_OPT.
install_mode_a() {
  options_with "$REPO_ROOT/deploy/kwtinfos-test-host.txt" KWT_OUTPUT A /etc/revozi/mode-a.txt || return 1
  printf '#!/bin/sh\nKWT_OPT=/etc/revozi/mode-a.txt exec %s/revozi.cgi\n' "$CGI_DIR" >"$CGI_DIR/mode-a.cgi" &&
    chmod 755 "$CGI_DIR/mode-a.cgi"
}
install_mode_a || { echo "cannot install the mode A module" >&2; exit 1; }
{ install_shop python shop.cgi "$BIN" && install_shop php shop-php.cgi "$BIN"; } ||
  { echo "cannot install the example shops" >&2; exit 1; }
start_lighttpd || { echo "lighttpd did not start" >&2; exit 1; }
echo "lighttpd serves $WEB_BASE/ from $DOC_ROOT"

# A port for chromedriver that is free now (in the private namespace any is).
DRIVER_PORT="$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')" ||
  { echo "cannot find a free port on 127.0.0.1" >&2; exit 1; }
# The browser keeps everything under WORK: a fresh profile (--user-data-dir),
# and a home, configuration and cache directory of its own, so nothing of the
# user's is read or left behind.
mkdir -p "$WORK/profile" "$WORK/home"
HOME="$WORK/home" XDG_CONFIG_HOME="$WORK/home/.config" XDG_CACHE_HOME="$WORK/home/.cache" \
  setsid "$CHROMEDRIVER" --port="$DRIVER_PORT" --allowed-ips=127.0.0.1 \
  --log-path="$WORK/chromedriver.log" >"$WORK/chromedriver.out" 2>&1 &
DRIVER_PID=$!

# In the background, so that a signal to this script is handled at once
# (the trap ends the tests, the browser and the servers).
PYTHONDONTWRITEBYTECODE=1 timeout 240 python3 "$REPO_ROOT/tests/browser/browser_test.py" \
  --driver "http://127.0.0.1:$DRIVER_PORT" --base "$WEB_BASE" --profile "$WORK/profile" \
  --chromium "$CHROMIUM" --access-log "$ACCESS_LOG" "${SCREENSHOT[@]}" \
  --kwtdata "$BIN/kwtdata" --public-key /etc/revozi/korven-sandbox.pub --orders "$SHOP_DATA" &
TESTS_PID=$!
status=0
wait "$TESTS_PID" || status=$?
TESTS_PID=""

if [ $status -ne 0 ]; then
  [ $status -eq 124 ] && echo "the browser tests did not end within 240 seconds" >&2
  echo "--- chromedriver's output, last lines:" >&2
  tail -n 15 "$WORK/chromedriver.out" >&2
  grep -E 'SEVERE|WARNING' "$WORK/chromedriver.log" 2>/dev/null | tail -n 15 >&2
  echo "--- the web server's error log, last lines:" >&2
  tail -n 15 /var/log/lighttpd/error.log >&2 2>/dev/null
  exit 1
fi
