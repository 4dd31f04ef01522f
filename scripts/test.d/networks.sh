#!/usr/bin/env bash
# Networks stage: the release module reaches payment servers by names with
# IPv6 and IPv4 addresses, past a blackholed first address, over IPv6 alone,
# bounds a resolution by the slot's time-out against a name server that never
# answers, `revozi.cgi --check` reports a good and a broken configuration,
# and the server memory (REVOZI_STATE_DIR) passes a blackholed primary over
# for all but one shopper per retry period (tests/networks/networks.py). It runs as root in a private network namespace
# (loopback only) and a private mount namespace, where its own /etc/hosts,
# /etc/resolv.conf and /etc/nsswitch.conf are bound over the system's: every
# name is under .test and answered on this machine.
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
cd "$REPO_ROOT"
ensure_packages python3 cmake make g++ libsodium-dev libc-ares-dev util-linux iproute2 mount

# REVOZI_NETWORKS_MODULE runs the cases against another build of the module.
module="${REVOZI_NETWORKS_MODULE:-}"
if [ -z "$module" ]; then
  cmake --preset release >/dev/null
  cmake --build --preset release --target revozi_cgi
  module="$REPO_ROOT/build/bin/revozi.cgi"
fi
if [ -n "${REVOZI_NO_NETNS:-}" ]; then
  echo "networks stage skipped: REVOZI_NO_NETNS is set (it needs its own namespaces)" >&2
  exit 0
fi
if ! unshare -n -m true 2>/dev/null; then
  echo "networks stage: needs root and 'unshare -n -m' (private network and mount namespaces)" >&2
  exit 1
fi
unshare -n -m -- python3 "$REPO_ROOT/tests/networks/networks.py" "$module"
