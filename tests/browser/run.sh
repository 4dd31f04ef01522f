#!/usr/bin/env bash
# The browser tests: lighttpd with the configuration and example site of
# deploy/ (plus the test order page tests/browser/www/checkout.html, the
# attacker's page tests/browser/www/attack.html, the module installed a
# second time in cgi-bin/mode-a/ with output mode A in its options file, and
# the example shops as cgi-bin/shop.cgi (Python) and cgi-bin/shop-php.cgi),
# chromedriver, and headless Chromium driven by browser_test.py. Runs inside
# a private network namespace (scripts/test.d/browser.sh sees to it), so the
# browser reaches nothing but 127.0.0.1 and port 80 of the host is never
# taken.
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

WORK="$(make_web_dir revozi-browser)" || exit 1
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

SITE="$WORK/site"
RUN="$WORK/run"
prepare_site "$SITE" "$BIN" || { echo "cannot prepare the site in $SITE" >&2; exit 1; }
install -m 644 "$REPO_ROOT"/tests/browser/www/*.html "$SITE/www/"
# The module a second time, in cgi-bin/mode-a/, with the example options file
# and KWT_OUTPUT=A: the payment page waits for its button (under the lock a
# form cannot ask for that). lighttpd starts it in its own directory, so it
# reads this file.
install_mode_a() {
  local dir="$SITE/cgi-bin/mode-a"
  mkdir -p "$dir" && install -m 755 "$BIN/revozi.cgi" "$dir/" || return 1
  { grep -Ev '^[[:space:]]*KWT_OUTPUT[[:space:]]*=' "$REPO_ROOT/deploy/kwtinfos.txt"; echo "KWT_OUTPUT=A"; } \
    >"$dir/kwtinfos.txt" || return 1
  chmod -R a+rX "$dir"
}
install_mode_a || { echo "cannot install the mode A module in $SITE/cgi-bin/mode-a" >&2; exit 1; }
{ install_shop python "$SITE" shop.cgi "$BIN" && install_shop php "$SITE" shop-php.cgi "$BIN"; } ||
  { echo "cannot install the example shops" >&2; exit 1; }
prepare_run_dir "$RUN"
start_lighttpd "$SITE" "$RUN" || { echo "lighttpd did not start" >&2; exit 1; }
echo "lighttpd serves $WEB_BASE/ from $SITE/www"

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
  --chromium "$CHROMIUM" --access-log "$RUN/access.log" "${SCREENSHOT[@]}" \
  --kwtdata "$BIN/kwtdata" --public-key "$(sandbox_public_key "$SITE")" --orders "$SITE/shop-data" &
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
  tail -n 15 "$RUN/error.log" >&2 2>/dev/null
  exit 1
fi
