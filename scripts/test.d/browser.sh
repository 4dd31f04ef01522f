#!/usr/bin/env bash
# Stage: the shopper's path in a real browser. Headless Chromium, driven
# through chromedriver (tests/browser/), fills the order pages served by
# lighttpd with the configuration of deploy/, and follows the module's
# payment page to the payment sandbox; it pays in the example shops and
# opens their signed (and forged) return pages. Web server, driver and
# browser run in a private host (tests/webserver/servers.sh: overlays,
# loopback only).
#
# REVOZI_BROWSER_BUILD_DIR builds the programs in another directory (a
# developer's own tree) instead of the release preset's build/.
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
source "$REPO_ROOT/tests/webserver/servers.sh"
cd "$REPO_ROOT"

# Debian's Chromium and its WebDriver; the packaged lighttpd service is kept
# from starting (the tests run a private instance).
without_service_start ensure_packages chromium chromium-driver lighttpd php-cgi php-sqlite3 python3 \
  iproute2 util-linux coreutils cmake make g++ libsodium-dev libc-ares-dev

build_release "${REVOZI_BROWSER_BUILD_DIR:-}" revozi_cgi korven_sandbox kwtdata

# Every wait inside is bounded; this bounds the whole.
in_private_host timeout 300 bash tests/browser/run.sh "$RELEASE_BIN"
