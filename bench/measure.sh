#!/usr/bin/env bash
# The measurements of scripts/bench; scripts/bench runs this inside a private
# network namespace where only loopback exists.
#
#   bench/measure.sh WORK RUNS
#
# WORK holds revozi_bench, and www/ with baseline.cgi and revozi.cgi.
# 1. Per-process runs: RUNS of each case, round-robin (revozi_bench run):
#    valid request (127.0.0.1 and "localhost" server URLs), error page, ping,
#    the locked valid request with the server memory off and on;
#    with www/before.cgi (an earlier build) its valid requests too.
# 2. Under lighttpd (mod_cgi, 127.0.0.1 only) with a bounded load from wrk:
#    requests per second of the module's valid request against the baseline
#    CGI, in short rounds taken in pairs.
set -euo pipefail

work="$1"
runs="$2"
bench="$work/revozi_bench"
seconds="${REVOZI_BENCH_WRK_SECONDS:-3}"
rounds="${REVOZI_BENCH_WRK_ROUNDS:-8}"
connections="${REVOZI_BENCH_WRK_CONNECTIONS:-4}"

echo "Machine: $(nproc) CPUs, $(grep -m1 'model name' /proc/cpuinfo | sed 's/.*: //'), kernel $(uname -r)"
echo "Load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"
echo

# One copy of the module per case, so that every program file is executed
# once per round, as the baseline's is.
for c in valid localhost error ping memory-off memory-on; do cp "$work/www/revozi.cgi" "$work/$c.cgi"; done
# The server memory of the "locked, memory on" case: the bench user's, 0700.
export REVOZI_BENCH_STATE_DIR="$work/state"
mkdir -p -m 700 "$REVOZI_BENCH_STATE_DIR"
# The earlier build, when there is one: its own two copies.
others=()
if [ -e "$work/www/before.cgi" ]; then
  mkdir -p "$work/before-valid" "$work/before-localhost"
  for c in valid localhost; do cp "$work/www/before.cgi" "$work/before-$c/before.cgi"; done
  others=("$work/before-valid/before.cgi" "$work/before-localhost/before.cgi")
fi
"$bench" run "$runs" "$work/www/baseline.cgi" "$work/valid.cgi" "$work/localhost.cgi" \
  "$work/error.cgi" "$work/ping.cgi" "$work/memory-off.cgi" "$work/memory-on.cgi" "${others[@]}"
echo

# --- under lighttpd --------------------------------------------------------
pids=()
cleanup() {
  local p
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
}
trap cleanup EXIT

# The payment server the module's probe connects to: accepts and closes, and
# stops by itself.
"$bench" serve "$work/server-port" $((rounds * 2 * (seconds + 5) + 60)) >"$work/server.out" &
server_pid=$!
pids+=("$server_pid")
for _ in $(seq 50); do [ -s "$work/server-port" ] && break; sleep 0.1; done
server_port="$(cat "$work/server-port")"

http_port="$("$bench" freeport)"
cat >"$work/lighttpd.conf" <<EOF
server.document-root = "$work/www"
server.bind = "127.0.0.1"
server.port = $http_port
server.modules = ("mod_cgi")
server.errorlog = "$work/lighttpd-error.log"
server.max-connections = 256
cgi.assign = (".cgi" => "")
EOF
lighttpd -D -f "$work/lighttpd.conf" &
pids+=($!)

order="KWT_SITE=1234567&KWT_RANG=01&KWT_TOTAL=1500&KWT_DEVISE=978&KWT_CMD=ORDER42"
order+="&KWT_PORTEUR=shopper%40example.fr&KWT_RETOUR=M:M&KWT_IDENTIFIANT=7"
servers="KWT_KORVEN=http://127.0.0.1/pay&KWT_BACKUP1=http://127.0.0.1/b1"
servers+="&KWT_BACKUP2=http://127.0.0.1/b2&KWT_BACKUP3=http://127.0.0.1/b3&KWT_PORT=$server_port"
baseline_path="/baseline.cgi"
module_path="/revozi.cgi?$order&$servers"

ready=""
for _ in $(seq 50); do
  if "$bench" fetch "$http_port" "$baseline_path" >"$work/baseline.response" 2>/dev/null; then
    ready=1
    break
  fi
  sleep 0.1
done
if [ -z "$ready" ]; then
  echo "lighttpd did not answer on 127.0.0.1:$http_port" >&2
  cat "$work/lighttpd-error.log" >&2 || true
  exit 1
fi
"$bench" fetch "$http_port" "$module_path" >"$work/module.response"
grep -q "fixed response" "$work/baseline.response" || {
  echo "unexpected baseline response:" >&2; cat "$work/baseline.response" >&2; exit 1; }
grep -q "NAME=KWT_DATA VALUE=" "$work/module.response" || {
  echo "unexpected module response:" >&2; cat "$work/module.response" >&2; exit 1; }

# wrk_rate PATH: one bounded round; prints its requests per second.
wrk_rate() {
  local out
  out="$(wrk -t1 -c"$connections" -d"${seconds}s" --timeout 5s "http://127.0.0.1:$http_port$1")"
  if grep -qE "Non-2xx|Socket errors" <<<"$out"; then
    echo "wrk reported failed requests for $1:" >&2
    echo "$out" >&2
    return 1
  fi
  awk '/^Requests\/sec:/ { print $2 }' <<<"$out"
}

echo "Under lighttpd $(lighttpd -v | sed -n 's|^lighttpd/\([^ ]*\).*|\1|p') (mod_cgi), wrk -t1 -c$connections, $rounds rounds of ${seconds}s per CGI"
# Short rounds in pairs, the order swapped every round: a change in the
# machine's load then hits both CGIs of a pair alike, and the median of the
# pairs' ratios is what counts.
base_rates=()
module_rates=()
ratios=()
for round in $(seq "$rounds"); do
  if [ $((round % 2)) -eq 1 ]; then
    b="$(wrk_rate "$baseline_path")"
    m="$(wrk_rate "$module_path")"
  else
    m="$(wrk_rate "$module_path")"
    b="$(wrk_rate "$baseline_path")"
  fi
  r="$(awk -v m="$m" -v b="$b" 'BEGIN { printf "%.3f", m / b }')"
  base_rates+=("$b")
  module_rates+=("$m")
  ratios+=("$r")
  printf '  round %2d: baseline %8.1f req/s   module %8.1f req/s   ratio %.2f\n' "$round" "$b" "$m" "$r"
done
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
printf '%-20s %10s %8s\n' "CGI" "req/s" "x base"
printf '%-20s %10.1f %8.2f\n' "baseline (static C)" "$(median "${base_rates[@]}")" 1
printf '%-20s %10.1f %8.2f\n' "valid, 127.0.0.1" "$(median "${module_rates[@]}")" "$(median "${ratios[@]}")"
echo "(req/s: medians of the rounds; x base: median of the rounds' ratios)"
kill -TERM "$server_pid" 2>/dev/null || true
wait "$server_pid" 2>/dev/null || true
cat "$work/server.out"
echo
echo "Load average at end: $(cut -d' ' -f1-3 /proc/loadavg)"
