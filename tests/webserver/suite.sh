#!/usr/bin/env bash
# The module, the payment sandbox and the PHP example shop behind real web
# servers: lighttpd, Apache and nginx (with fcgiwrap), each from Debian's
# own configuration with the recipe of deploy/ applied as the docs give it,
# in a private host of its own (tests/webserver/servers.sh: overlays on
# /etc, /var, /run and /usr/lib, loopback only). Requests go through curl as
# a browser sends them; every request is bounded in time.
#
#   tests/webserver/suite.sh BIN_DIR [lighttpd|apache|nginx]...
#
# BIN_DIR holds revozi.cgi and korven-sandbox.cgi. Exit status 1 when any
# check fails.
set -uo pipefail
shopt -s extglob
source "$(dirname "$0")/../../scripts/lib.sh"
source "$REPO_ROOT/tests/webserver/servers.sh"

BIN="$(cd "${1:?usage: suite.sh BIN_DIR [lighttpd|apache|nginx]...}" && pwd)"
shift
SERVERS=("$@")
[ ${#SERVERS[@]} -gt 0 ] || SERVERS=(lighttpd apache nginx)

# Each server in a fresh private host.
if [ -z "${REVOZI_PRIVATE_HOST:-}" ]; then
  status=0
  for server in "${SERVERS[@]}"; do
    in_private_host timeout 300 bash "$0" "$BIN" "$server" || status=1
  done
  exit $status
fi

export LC_ALL=C
FORM="$REPO_ROOT/tests/webserver/form.pl"
WORK="$(mktemp -d /tmp/revozi-webtest.XXXXXX)" || exit 1
chmod 755 "$WORK"
T="$WORK/t"
mkdir -p "$T"
trap 'stop_server; rm -rf "$WORK"' EXIT
trap 'exit 130' INT TERM

passes=0
failures=0
pass() { passes=$((passes + 1)); echo "ok - [$SERVER_NAME] $*"; }
fail() {
  failures=$((failures + 1))
  echo "FAIL - [$SERVER_NAME] $*" >&2
}

# ---------------------------------------------------------------- requests

# request METHOD URL [BODY] [curl options...]: response body in $T/body,
# headers in $T/head, HTTP status in $STATUS (000 when curl failed).
request() {
  local method="$1" url="$2" body="${3-}"
  shift 3 2>/dev/null || shift $#
  local args=(-sS --max-time 15 -o "$T/body" -D "$T/head" -w '%{http_code}')
  if [ "$method" = POST ]; then
    printf '%s' "$body" >"$T/request"
    args+=(-H 'Content-Type: application/x-www-form-urlencoded' --data-binary "@$T/request")
  fi
  : >"$T/body"
  : >"$T/head"
  STATUS="$(curl "${args[@]}" "$@" "$url" 2>"$T/curl.err")" || STATUS=000
}

# submit PAGE_FILE [form.pl options]: posts the page's form to its action as
# a browser would; ACTION holds the action URL.
submit() {
  local page="$1"
  shift
  if ! "$FORM" --base "$WEB_BASE" "$@" <"$page" >"$T/form"; then
    ACTION=""
    STATUS=000
    return 1
  fi
  ACTION="$(sed -n 1p "$T/form")"
  request POST "$ACTION" "$(sed -n 2p "$T/form")" "${CURL_EXTRA[@]}"
}
CURL_EXTRA=()

header_value() {  # header_value NAME: from $T/head, without the line end
  grep -i "^$1:" "$T/head" | head -n 1 | sed -e 's/^[^:]*:[[:space:]]*//' -e 's/\r$//'
}

# -------------------------------------------------------------- assertions

expect_status() {  # expect_status CODE WHAT
  if [ "$STATUS" = "$1" ]; then pass "$2"; else
    fail "$2: HTTP status $STATUS, expected $1 $(cat "$T/curl.err" 2>/dev/null)"
  fi
}

expect_contains() {  # expect_contains TEXT WHAT (in $T/body)
  if grep -qF -- "$1" "$T/body"; then pass "$2"; else
    fail "$2: the response lacks '$1'; it begins:"
    head -c 600 "$T/body" | cat -v >&2
    echo >&2
  fi
}

expect_lacks() {  # expect_lacks TEXT WHAT
  if grep -qF -- "$1" "$T/body"; then fail "$2: the response contains '$1'"; else pass "$2"; fi
}

expect_header() {  # expect_header NAME VALUE WHAT
  local got
  got="$(header_value "$1")"
  if [ "$got" = "$2" ]; then pass "$3"; else fail "$3: header $1 is '$got', expected '$2'"; fi
}

expect_same() {  # expect_same EXPECTED_FILE ACTUAL_FILE WHAT
  if cmp -s "$1" "$2"; then pass "$3"; else
    fail "$3: differs from what was sent (- expected, + received):"
    diff -a "$1" "$2" | cat -v | head -n 40 >&2
  fi
}

XML_CATALOG="$REPO_ROOT/tests/webserver/xml-catalog.xml"
# expect_wellformed_wml FILE WHAT: no message at all from xmllint (an
# undefined entity is only a message), no network.
expect_wellformed_wml() {
  if XML_CATALOG_FILES="$XML_CATALOG" xmllint --noout --nonet --loaddtd "$1" >"$T/xmllint" 2>&1 &&
     [ ! -s "$T/xmllint" ]; then
    pass "$2"
  else
    fail "$2: not well-formed XML:"
    head -n 20 "$T/xmllint" >&2
  fi
}

# ------------------------------------------------- what the sandbox shows

DATA_FIELDS=(KWT_TOTAL KWT_DEVISE KWT_SITE KWT_RANG KWT_PORTEUR KWT_CMD KWT_REPONDRE_A KWT_RETOUR
             KWT_PAIEMENT KWT_CODEFAMILLE KWT_IDENTIFIANT KWT_2MONT1 KWT_DATE1 KWT_2MONT2 KWT_DATE2
             KWT_2MONT3 KWT_DATE3 KWT_DIFF)
FORWARDED_FIELDS=(KWT_LANGUE KWT_ANNULE KWT_EFFECTUE KWT_REFUSE KWT_PAIEMENT KWT_CODEFAMILLE KWT_SOURCE
                  KWT_VERSION KWT_TOTAL_MAJORE KWT_RUF1 KWT_RUF2 KWT_DEMO KWT_TYPEPAIEMENT KWT_TYPECARTE
                  KWT_TRAITEMENT KWT_BANQUE KWT_AUTOSEULE KWT_ENTITE)
VERSION_TAG="221-OS INCONNU"

# The sandbox's plain-text form of a value: '%', control bytes and 0x7F as
# %XX, everything else as it is.
text_form() { printf '%s' "$1" | perl -0777 -pe 's/([%\x00-\x1F\x7F])/sprintf("%%%02X", ord $1)/ge'; }

# expected_answer FIELDS_FILE: what the sandbox must answer for an order
# whose fields (the module's request, NAME=VALUE urlencoded as form.pl
# writes it) are in FIELDS_FILE: every payment field and every forwarded
# field exactly as the order page sent it.
expected_answer() {
  declare -A sent=()
  local pair name value
  local body
  body="$(cat "$1")"
  local IFS='&'
  for pair in $body; do
    name="$(printf '%s' "${pair%%=*}" | perl -pe 's/%([0-9A-F]{2})/chr hex $1/ge')"
    value="$(printf '%s' "${pair#*=}" | perl -pe 's/%([0-9A-F]{2})/chr hex $1/ge'; printf x)"
    value="${value%x}"
    [ -n "${sent[$name]+set}" ] || sent[$name]="$value"
  done
  unset IFS
  [ -n "${sent[KWT_SOURCE]:-}" ] || sent[KWT_SOURCE]=HTML
  sent[KWT_VERSION]="$VERSION_TAG"
  printf 'verdict: valid\nmessage: KWT_DATA valid: both check values verified\n'
  for name in "${DATA_FIELDS[@]}"; do
    printf 'data: %s=%s\n' "$name" "$(text_form "${sent[$name]:-}")"
  done
  for name in "${FORWARDED_FIELDS[@]}"; do
    [ -n "${sent[$name]:-}" ] && printf 'forwarded: %s=%s\n' "$name" "$(text_form "${sent[$name]}")"
  done
  return 0
}

# order_to_sandbox WHAT PAGE [form.pl options]: submits the order page's
# form (with the given changes) to the module, checks the payment page and
# submits it to the sandbox, which must show exactly the fields sent.
order_to_sandbox() {
  local what="$1" page="$2"
  shift 2
  CURL_EXTRA=()
  if ! submit "$page" "$@"; then fail "$what: no form in the order page"; return 1; fi
  cp "$T/form" "$T/order-form"
  sed -n 2p "$T/order-form" | tr -d '\n' >"$T/order-fields"
  expect_status 200 "$what: the module answers"
  cp "$T/body" "$T/payment-page"
  cp "$T/head" "$T/payment-head"
  CURL_EXTRA=(-H 'Accept: text/plain')
  if ! submit "$T/payment-page"; then
    CURL_EXTRA=()
    fail "$what: the payment page has no form:"
    head -c 400 "$T/payment-page" | cat -v >&2
    return 1
  fi
  CURL_EXTRA=()
  if [ "$ACTION" = "$WEB_SANDBOX_URL" ]; then pass "$what: the payment page is aimed at the sandbox"
  else fail "$what: the payment page posts to '$ACTION'"; fi
  expect_status 200 "$what: the sandbox accepts the block"
  expected_answer "$T/order-fields" >"$T/expected"
  expect_same "$T/expected" "$T/body" "$what: the sandbox decodes exactly the fields sent"
}

# --------------------------------------------------------------- the site

# Options files for the checks that need other settings: the module reads
# the one the server names (KWT_OPT), so each takes its turn there.
OPT_DIR="$WORK/options"
mkdir -p "$OPT_DIR"
cp "$REPO_ROOT/deploy/kwtinfos-test-host.txt" "$OPT_DIR/default"
# A line no response may ever show: the options file's secrets stand for it.
SECRET_MARKER="# merchant secret 4f1c9e"
echo "$SECRET_MARKER" >>"$OPT_DIR/default"
printf 'KWT_PORT=80\nthis line has no equals sign\n' >"$OPT_DIR/broken"
# Nothing listens on port 9 in the namespace: refused at once.
printf '%s\n' "KWT_KORVEN=$WEB_SANDBOX_URL" KWT_BACKUP1=https://b1.invalid/pay \
  KWT_BACKUP2=https://b2.invalid/pay KWT_BACKUP3=https://b3.invalid/pay KWT_PORT=9 KWT_TIMEOUT=2 \
  KWT_TIMEOUT1=2 KWT_TIMEOUT2=2 KWT_TIMEOUT3=2 >"$OPT_DIR/noserver"

# use_options NAME: that file becomes the options file (missing: none).
use_options() {
  if [ "$1" = missing ]; then rm -f "$OPTIONS_FILE"; return; fi
  install_options "$OPT_DIR/$1"
}

# The site as the docs build it, then what the checks add: copies of the
# options file where a careless merchant might leave one (in cgi-bin, the
# programs' working directory, and in the document root: never read, never
# served), a stray file in cgi-bin, the PHP example shop with its orders
# folder, a slow program for the concurrency check, a shop's static files.
prepare_site() {
  recipe_site "$BIN" || return 1
  use_options default
  install -m 644 "$OPT_DIR/default" "$CGI_DIR/kwtinfos.txt"
  echo "DECOY: read from the wrong directory" >>"$CGI_DIR/kwtinfos.txt"
  echo "DECOY: read from the wrong directory" >"$DOC_ROOT/kwtinfos.txt"
  printf 'notes %s\n' "$SECRET_MARKER" >"$CGI_DIR/notes.txt"
  install_shop php shop.cgi "$BIN" || return 1
  printf '#!/bin/sh\nsleep 2\nprintf "Content-Type: text/plain\\r\\n\\r\\nslept\\n"\n' >"$CGI_DIR/slow.cgi"
  chmod 755 "$CGI_DIR/slow.cgi"
  printf 'body { color: #333; }\n' >"$DOC_ROOT/shop.css"
  printf 'document.title = "shop";\n' >"$DOC_ROOT/shop.js"
  printf '\x89PNG\r\n\x1a\n' >"$DOC_ROOT/logo.png"
}
prepare_site || { echo "cannot prepare the site" >&2; exit 1; }

# What a visitor would like the module to use instead of the merchant's
# settings: his own server (the probe finds something on 127.0.0.1:80) and
# his own options file naming it.
ATTACKER_URL="$WEB_BASE/cgi-bin/attacker.cgi"
ATTACKER_OPT="$WORK/attacker-options.txt"
printf '%s\n' "KWT_KORVEN=$ATTACKER_URL" KWT_PORT=80 KWT_OUTPUT=D >"$ATTACKER_OPT"
chmod 644 "$ATTACKER_OPT"

# The lock (REVOZI_LOCK=1 in every shipped configuration): each of these,
# added to the example order, must leave the response exactly as it is
# without them. A module without the lock obeys each one: another server in
# the payment page's action, another options file, a trace, the bare block,
# a ping line.
LOCK_CASES=(
  "KWT_MODE=1 with the visitor's server|KWT_MODE=1|KWT_KORVEN=$ATTACKER_URL|KWT_PORT=80"
  "VEL_MODE=1 with the visitor's server|VEL_MODE=1|VEL_KORVEN=$ATTACKER_URL|KWT_PORT=80|KWT_TIMEOUT=30"
  "KWT_OPT naming the visitor's options file|KWT_OPT=$ATTACKER_OPT"
  "KWT_TRACE|KWT_TRACE=1"
  "KWT_OUTPUT|KWT_OUTPUT=D"
  "KWT_PING with KWT_MODE=1 and the visitor's server|KWT_MODE=1|KWT_PING=1|KWT_KORVEN=$ATTACKER_URL|KWT_PORT=80"
)

ORDER_QUERY="KWT_SITE=1234567&KWT_RANG=01&KWT_TOTAL=1500&KWT_DEVISE=978&KWT_CMD=GET-ORDER-1&KWT_PORTEUR=client%40example.fr&KWT_RETOUR=M:M&KWT_IDENTIFIANT=7"

# Values that must come through untouched: quotes, ampersands, angle
# brackets, '%', '$', blanks, a tab and a line feed, bytes of 0x80 and above.
AWKWARD=(
  "KWT_CMD=Commande n"$'\xc2\xb0'" 42: \"caf"$'\xc3\xa9'"\" & <cr"$'\xe8'"me> 'br"$'\xfb'"l"$'\xe9'"e' 100% \$5"$'\t'"+tab"$'\n'"line 2"
  "KWT_PORTEUR=o'brien+\"x\"<y>&z@example.fr"
  "KWT_RETOUR=M:M;<R>&\"A\"'"$'\xff'
  "KWT_REPONDRE_A=http://127.0.0.1/reply?a=1&b=<2>&c=\""$'\xe9'"\""
  "KWT_PAIEMENT=CB&'\"<>"$'\xa0'
  "KWT_CODEFAMILLE=fam"$'\xe9'
  "KWT_LANGUE="$'\xc3\xa9'"&"
  "KWT_ANNULE=http://127.0.0.1/annule.html?x='1'&y=\"2\"&z=<3>"
  "KWT_RUF1=r"$'\xe9'"serv"$'\xe9'" \$HOME \$(x) \`id\` %41 a+b"
  "KWT_DEMO=<script>alert(1)</script>"
  "KWT_2MONT1=500"
  "KWT_DATE1=01/02/2025"
  "KWT_TXT=<b>Merci</b> & \"bienvenue\""
  "KWT_UNKNOWN=never forwarded"
)

# ------------------------------------------------------------ the checks

# post_order URL [form.pl options]: the example order page's form, with the
# given changes, posted to URL.
post_order() {
  local url="$1"
  shift
  "$FORM" --base "$WEB_BASE" "$@" <"$T/index.html" >"$T/form" || { STATUS=000; return 1; }
  request POST "$url" "$(sed -n 2p "$T/form")"
}

# A shop's own static files come with their types, never as
# application/octet-stream.
static_checks() {
  local entry file pattern got
  for entry in 'shop.css text/css' 'logo.png image/png' 'shop.js @(text|application)/javascript' \
               'index.html text/html'; do
    file="${entry%% *}"
    pattern="${entry#* }"
    request GET "$WEB_BASE/$file"
    got="$(header_value Content-Type)"
    # shellcheck disable=SC2053  # the pattern is one, on purpose
    if [ "$STATUS" = 200 ] && [[ "${got%%;*}" == $pattern ]]; then
      pass "$file is served as $got"
    else
      fail "$file: HTTP status $STATUS, Content-Type '$got', expected $pattern"
    fi
  done
}

# Under the lock, nothing of the form reaches the settings: the same order
# with and without each field of LOCK_CASES gets the same response.
lock_checks() {
  local entry label fields
  submit "$T/index.html"
  expect_contains "<Form name=KORVEN Action='$WEB_SANDBOX_URL' Method=POST>" "the lock: the plain order's payment page"
  cp "$T/body" "$T/lock-plain"
  for entry in "${LOCK_CASES[@]}"; do
    IFS='|' read -r -a fields <<<"$entry"
    label="${fields[0]}"
    submit "$T/index.html" "${fields[@]:1}"
    expect_same "$T/lock-plain" "$T/body" "the lock: a posted $label changes nothing"
  done
  # The same through a query string (GET): trace and output mode.
  request GET "$WEB_BASE/cgi-bin/revozi.cgi?$ORDER_QUERY"
  cp "$T/body" "$T/lock-get"
  request GET "$WEB_BASE/cgi-bin/revozi.cgi?$ORDER_QUERY&KWT_TRACE=1&KWT_OUTPUT=C&KWT_BACKUP4=$ATTACKER_URL"
  expect_same "$T/lock-get" "$T/body" "the lock: KWT_TRACE, KWT_OUTPUT and KWT_BACKUP4 in a query string change nothing"
  # The error URL: the module beside an options file without KWT_ERREUR
  # writes its error page, whatever error URL the form names.
  use_options noserver
  post_order "$WEB_BASE/cgi-bin/revozi.cgi" KWT_TOTAL=15
  cp "$T/body" "$T/lock-error"
  post_order "$WEB_BASE/cgi-bin/revozi.cgi" KWT_TOTAL=15 KWT_ERREUR=https://attacker.invalid/steal
  use_options default
  expect_same "$T/lock-error" "$T/body" "the lock: a posted KWT_ERREUR changes nothing"
  expect_lacks "attacker.invalid" "the lock: no redirect to the posted error URL"
}

# Requests that try to fetch a file from cgi-bin instead of running a
# program there, or the module itself as a file: path-info, %2f, "./",
# "//", case, dot-segments (plain and %-encoded), a stray file. None may
# return a byte of an options file or of a program; each is refused (403 or
# 404; 400 where the server will not parse a path above its root) unless it
# is the module that runs.
LEAK_CASES=(
  /cgi-bin/kwtinfos.txt
  /cgi-bin/kwtinfos.txt/x.cgi
  /cgi-bin/kwtinfos.txt/.cgi
  /cgi-bin/kwtinfos.txt%2fx.cgi
  /cgi-bin/./kwtinfos.txt/x.cgi
  /cgi-bin//kwtinfos.txt/x.cgi
  /cgi-bin/KWTINFOS.TXT/x.cgi
  /cgi-bin/x/../kwtinfos.txt
  /cgi-bin/x/%2e%2e/kwtinfos.txt/x.cgi
  /cgi-bin/notes.txt/x.cgi
  /cgi-bin/REVOZI.CGI
  /cgi-bin/revozi.cgi/x.txt
  /cgi-bin/revozi.cgi.
  /cgi-bin/x/..%2frevozi.cgi%2f
  /cgi-bin/../../../../etc/revozi/kwtinfos.txt
)
leak_checks() {
  local url leaked
  for url in "${LEAK_CASES[@]}"; do
    request GET "$WEB_BASE$url" "" --path-as-is
    leaked=""
    grep -qF -- "$SECRET_MARKER" "$T/body" && leaked="the options file's secret line"
    [ "$(head -c 4 "$T/body" | od -An -tx1 | tr -d ' \n')" = 7f454c46 ] && leaked="a program (ELF)"
    if [ -n "$leaked" ]; then
      fail "GET $url returns $leaked (HTTP $STATUS)"
    elif [[ "$STATUS" == 40[34] || ( "$STATUS" = 400 && "$url" == */../../* ) ]] ||
         grep -q "KORVEN INPUT ERROR" "$T/body"; then
      pass "GET $url: $STATUS, nothing of a file"
    else
      fail "GET $url: HTTP status $STATUS, neither refused nor the module"
    fi
  done
}

# A request body above 1 MiB is refused by the server (413) or by the
# module (its error page), never answered with a payment page: the order
# below is valid, padded to 1 MiB and one byte.
body_cap_checks() {
  local order="$ORDER_QUERY&KWT_RUF1=" size=$((1024 * 1024 + 1))
  { printf '%s' "$order"; head -c $((size - ${#order})) /dev/zero | tr '\0' a; } >"$T/big"
  : >"$T/body"
  STATUS="$(curl -sS --max-time 30 -o "$T/body" -w '%{http_code}' \
              -H 'Content-Type: application/x-www-form-urlencoded' --data-binary "@$T/big" \
              "$WEB_BASE/cgi-bin/revozi.cgi" 2>"$T/curl.err")" || STATUS=000
  if [ "$STATUS" = 413 ] || grep -q "KORVEN INPUT ERROR" "$T/body"; then
    pass "a body of 1 MiB + 1 byte is refused ($STATUS)"
  else
    fail "a body of 1 MiB + 1 byte: HTTP status $STATUS $(head -c 200 "$T/body" | tr -d '\n')"
  fi
}

# The PHP example shop, run by php-cgi: its catalogue and its order page.
shop_checks() {
  request GET "$WEB_BASE/cgi-bin/shop.cgi"
  expect_status 200 "the PHP shop's catalogue"
  cp "$T/body" "$T/shop.html"
  if submit "$T/shop.html" article=tea quantity=1 email=client@example.fr; then
    expect_status 200 "the PHP shop's order page"
    expect_contains 'action="/cgi-bin/revozi.cgi"' "the PHP shop's order page posts to the module"
  else
    fail "the PHP shop's catalogue has no form"
  fi
}

# Signed returns and notifications reach the PHP shop as the client sent
# them, whatever the server makes of QUERY_STRING (lighttpd rewrites its
# escapes): return URLs holding lower-case and needless escapes, '+' and a
# raw '~' are accepted when genuine, refused (403) when forged.
RETURN_EXTRAS=("x=%c3%a9&y=%7E" "a=%41%2D&b=%20+~" "t=~%7e%C3%A9")
signed_return_checks() {
  local extra step location
  for extra in "${RETURN_EXTRAS[@]}"; do
    request GET "$WEB_BASE/cgi-bin/shop.cgi"
    cp "$T/body" "$T/shop.html"
    submit "$T/shop.html" article=cup quantity=1 email=client@example.fr &&
      submit "$T/body" && cp "$T/body" "$T/payment-page" &&
      "$FORM" --base "$WEB_BASE" <"$T/payment-page" >"$T/form" || {
        fail "signed returns ($extra): no payment page"
        continue
      }
    local url
    url="$(sed -n 2p "$T/form" | perl -ne 'print $1 if /(?:^|&)KWT_EFFECTUE=([^&]*)/' | perl -pe 's/\+/ /g; s/%(..)/chr hex $1/ge')"
    for step in notify paid; do
      "$FORM" --base "$WEB_BASE" "KWT_EFFECTUE=${url/step=paid/step=$step}&$extra" <"$T/payment-page" >"$T/form"
      request POST "$WEB_SANDBOX_URL?format=text&answer=accept" "$(sed -n 2p "$T/form")"
      location="$(sed -n 's/^location: //p' "$T/body")"
      request GET "${location%%&Sig=*}"
      expect_status 403 "an unsigned $step return with '$extra' is refused"
      request GET "$(printf '%s' "$location" | sed 's/&Mt=1200&/\&Mt=1201\&/')"
      expect_status 403 "a $step return with '$extra' and another amount is refused"
      request GET "$location"
      expect_status 200 "a genuine $step return with '$extra' is accepted"
    done
    expect_contains "accepted for order" "the shop shows the payment accepted ('$extra')"
  done
}

# The sandbox answers on the 127.0.0.1 site only, never over HTTPS.
sandbox_site_checks() {
  request GET "$WEB_SANDBOX_URL"
  expect_contains "no KWT_DATA field in the request" "the sandbox runs on http://127.0.0.1/"
  request GET "https://127.0.0.1/cgi-bin/korven-sandbox.cgi" "" --insecure
  if [ "$STATUS" = 403 ] || [ "$STATUS" = 404 ]; then pass "no sandbox on the HTTPS site ($STATUS)"
  else fail "the HTTPS site answers $STATUS for the sandbox $(cat "$T/curl.err")"; fi
  request GET "https://127.0.0.1/" "" --insecure
  expect_status 200 "the order page over HTTPS"
}

# Three shoppers at the same moment, each request taking 2 s: served side
# by side (one worker at a time would take 6 s).
concurrency_checks() {
  local start elapsed i pids=()
  start=$(date +%s%N)
  for i in 1 2 3; do
    curl -sS --max-time 15 -o "$T/slow$i" "$WEB_BASE/cgi-bin/slow.cgi" 2>/dev/null &
    pids+=($!)
  done
  for i in "${pids[@]}"; do wait "$i"; done
  elapsed=$(( ($(date +%s%N) - start) / 1000000 ))
  if [ "$elapsed" -lt 3500 ] && [ "$(cat "$T"/slow1 "$T"/slow2 "$T"/slow3)" = $'slept\nslept\nslept' ]; then
    pass "three 2-second requests at once take ${elapsed} ms"
  else
    fail "three 2-second requests at once take ${elapsed} ms: $(cat "$T"/slow[123] | tr '\n' ' ')"
  fi
}

# lighttpd with mod_cgi missing (10-cgi.conf's alias kept, its module line
# gone): the module is never sent as a file.
lighttpd_without_cgi_checks() {
  cp /etc/lighttpd/conf-available/10-cgi.conf "$WORK/10-cgi.conf"
  sed -i '/"mod_cgi"/d' /etc/lighttpd/conf-available/10-cgi.conf
  if start_lighttpd; then
    request GET "$WEB_BASE/cgi-bin/revozi.cgi"
    if [ "$(head -c 4 "$T/body" | od -An -tx1 | tr -d ' \n')" = 7f454c46 ]; then
      fail "without mod_cgi the module is downloaded"
    elif [ "$STATUS" = 403 ] || [ "$STATUS" = 404 ]; then
      pass "without mod_cgi the module is refused ($STATUS)"
    else
      fail "without mod_cgi: HTTP status $STATUS"
    fi
    stop_server
  else
    fail "lighttpd without mod_cgi does not start"
  fi
  cp "$WORK/10-cgi.conf" /etc/lighttpd/conf-available/10-cgi.conf
}

run_checks() {
  # The order pages.
  request GET "$WEB_BASE/"
  expect_status 200 "the order page is served"
  expect_contains 'action="/cgi-bin/revozi.cgi"' "the order page posts to the module"
  cp "$T/body" "$T/index.html"
  request GET "$WEB_BASE/order.wml"
  expect_status 200 "the WML order deck is served"
  expect_header Content-Type "text/vnd.wap.wml" "the WML order deck has the WML type"
  cp "$T/body" "$T/order.wml"
  expect_wellformed_wml "$T/order.wml" "the WML order deck is well-formed"

  leak_checks

  # GET and POST reach the module, which reads the options file that the
  # server names.
  request GET "$WEB_BASE/cgi-bin/revozi.cgi?$ORDER_QUERY"
  expect_status 200 "GET with the order in the query string reaches the module"
  expect_contains "<Form name=KORVEN Action='$WEB_SANDBOX_URL' Method=POST>" \
    "GET: the payment page is aimed at the sandbox named in the options file"
  expect_header Content-Type "text/html" "GET: the payment page is HTML"
  expect_header Cache-Control "no-cache, no-store" "GET: the payment page is not cached"
  request GET "$WEB_BASE/cgi-bin/revozi.cgi"
  expect_contains "KORVEN INPUT ERROR (code -3)" "GET without a query string: error -3"
  request GET "$WEB_BASE/cgi-bin/revozi.cgi?KWT_MODE=1&$ORDER_QUERY"
  expect_status 403 "a query string that sets KWT_MODE is refused by the server"
  request GET "$WEB_BASE/cgi-bin/revozi.cgi?$ORDER_QUERY&VEL_OPT=/etc/passwd"
  expect_status 403 "a query string that sets VEL_OPT is refused by the server"

  use_options missing
  request POST "$WEB_BASE/cgi-bin/revozi.cgi" "$ORDER_QUERY"
  expect_contains "KORVEN INPUT ERROR (code -5)" \
    "no file where KWT_OPT points: error -5 (the copies in cgi-bin and the document root are not read)"
  use_options broken
  request POST "$WEB_BASE/cgi-bin/revozi.cgi" "$ORDER_QUERY"
  expect_contains "KORVEN INPUT ERROR (code -6)" "the file that KWT_OPT names is read (its broken line: -6)"
  use_options default
  expect_lacks "$(uname -a)" "under the lock the error page leaves out the host's uname -a"

  # The order page's own form, as it stands, then with awkward values.
  order_to_sandbox "the example order (POST)" "$T/index.html"
  expect_contains "forwarded: KWT_SOURCE=HTML" "the forwarded fields reach the sandbox"
  order_to_sandbox "an order with awkward bytes" "$T/index.html" "${AWKWARD[@]}"
  cp "$T/payment-page" "$T/body"
  expect_contains "<br> &lt;b&gt;Merci&lt;/b&gt; &amp; &quot;bienvenue&quot;" "the payment page escapes KWT_TXT"
  expect_lacks "<b>Merci</b>" "no value changes the payment page's markup"

  # A block changed on the way is refused, with a reason.
  sed -n 2p "$T/form" | sed 's/KWT_DATA=v401\(.\)/KWT_DATA=v401Z\1/' >"$T/tampered"
  request POST "$WEB_SANDBOX_URL?format=text" "$(cat "$T/tampered")"
  expect_status 400 "a changed KWT_DATA gets 400 Bad Request from the sandbox"
  expect_contains "verdict: invalid" "a changed KWT_DATA is reported invalid"
  request POST "$WEB_SANDBOX_URL" "KWT_SOURCE=HTML"
  expect_status 400 "a post without KWT_DATA gets 400 Bad Request"
  expect_contains "no KWT_DATA field in the request" "the sandbox page says what is missing"

  # Invalid orders: the redirect to the options file's KWT_ERREUR, or the
  # error page where no KWT_ERREUR is set.
  submit "$T/index.html" KWT_TOTAL=15
  expect_contains '<META HTTP-EQUIV="refresh" CONTENT="0;URL=http://127.0.0.1/erreur.html?NUMERR=-11">' \
    "with KWT_ERREUR in the options file: the redirect to the merchant's error page"
  use_options noserver
  post_order "$WEB_BASE/cgi-bin/revozi.cgi" KWT_TOTAL=15
  expect_contains "KORVEN INPUT ERROR (code -11)" "an amount of two digits, no KWT_ERREUR: error page, code -11"
  use_options default
  request GET "$WEB_BASE/erreur.html?NUMERR=-11"
  expect_status 200 "the merchant's error page is there"
  # Ping mode is for a shell, never for a form.
  request POST "$WEB_BASE/cgi-bin/revozi.cgi" "KWT_PING=1"
  expect_contains "erreur.html?NUMERR=-7" "KWT_PING from a form does not select ping mode"
  expect_lacks "Serveur:" "no ping report for a form"

  # No reachable server.
  use_options noserver
  request POST "$WEB_BASE/cgi-bin/revozi.cgi" "$ORDER_QUERY"
  expect_contains "AUCUN SERVEUR DISPONIBLE" "no reachable server: the no-server page"
  use_options default

  # WML: the order deck, the payment deck, the error and no-server cards.
  order_to_sandbox "the WML order" "$T/order.wml" "KWT_RUF1=\$HOME & <\"'\$\$>"
  expect_contains "forwarded: KWT_SOURCE=WAP" "the WML order reaches the sandbox as WAP"
  cp "$T/payment-head" "$T/head"
  expect_header Content-Type "text/vnd.wap.wml" "the payment deck has the WML type"
  expect_wellformed_wml "$T/payment-page" "the payment deck is well-formed"
  submit "$T/order.wml" KWT_TOTAL=15
  cp "$T/body" "$T/wml-error"
  expect_contains "KORVEN&nbsp;INPUT&nbsp;ERROR&nbsp;(code -11)" "WML: the error card"
  expect_wellformed_wml "$T/wml-error" "the WML error card is well-formed"
  "$FORM" --base "$WEB_BASE" <"$T/order.wml" >"$T/form"
  use_options noserver
  request POST "$WEB_BASE/cgi-bin/revozi.cgi" "$(sed -n 2p "$T/form")"
  use_options default
  cp "$T/body" "$T/wml-noserver"
  expect_contains "AUCUN&nbsp;SERVEUR&nbsp;DISPONIBLE" "WML: the no-server card"
  expect_wellformed_wml "$T/wml-noserver" "the WML no-server card is well-formed"

  static_checks
  lock_checks
  body_cap_checks
  shop_checks
  signed_return_checks
  sandbox_site_checks
  concurrency_checks

  # Ping mode from a shell, in the module's directory: the monitoring use.
  local out err status
  out="$(cd / && KWT_OPT="$OPTIONS_FILE" timeout 30 "$CGI_DIR/revozi.cgi" KWT_MODE=43 KWT_PING=1 2>"$T/ping.err")"
  status=$?
  if [ $status -eq 0 ] && [ "$out" = "Serveur: $WEB_SANDBOX_URL" ] && [ ! -s "$T/ping.err" ]; then
    pass "ping from a shell names the sandbox, exit status 0"
  else
    fail "ping from a shell: status $status, output '$out', errors '$(cat "$T/ping.err")'"
  fi
  use_options noserver
  out="$(cd / && KWT_OPT="$OPTIONS_FILE" timeout 30 "$CGI_DIR/revozi.cgi" KWT_MODE=43 KWT_PING=1 2>"$T/ping.err")"
  status=$?
  err="$(cat "$T/ping.err")"
  if [ $status -eq 1 ] && [ "$out" = "Aucun serveur disponible" ] && [ "$err" = "Aucun serveur disponible" ]; then
    pass "ping with no reachable server: the line on both streams, exit status 1"
  else
    fail "ping with no reachable server: status $status, output '$out', errors '$err'"
  fi
  use_options default
}

for server in "${SERVERS[@]}"; do
  SERVER_NAME="$server"
  case "$server" in
    lighttpd) recipe_lighttpd tls ;;
    apache) recipe_apache ;;
    nginx) recipe_nginx ;;
    *) echo "unknown server $server" >&2; exit 2 ;;
  esac || { fail "the recipe applies to Debian's configuration"; continue; }
  pass "the recipe applies to Debian's configuration"
  "start_$server" || { fail "the server starts"; continue; }
  pass "started on 127.0.0.1:$WEB_HTTP_PORT"
  run_checks
  stop_server
  [ "$server" = lighttpd ] && lighttpd_without_cgi_checks
done

echo "web server checks: $passes passed, $failures failed"
[ "$failures" -eq 0 ]
