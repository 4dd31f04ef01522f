#!/usr/bin/env bash
# Stage: the module and the payment sandbox behind lighttpd, Apache and
# nginx with fcgiwrap, with the configurations of deploy/, exercised with
# curl (tests/webserver/). The servers listen on 127.0.0.1 (80, and 443 for
# nginx) inside a private network namespace.
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
source "$REPO_ROOT/tests/webserver/servers.sh"
cd "$REPO_ROOT"

# apache2-bin is Debian's Apache server with its modules, without the
# system service; the packaged lighttpd and nginx services are kept from
# starting (the tests run private instances). openssl makes the test
# certificate for nginx.
without_service_start ensure_packages lighttpd apache2-bin nginx fcgiwrap openssl curl \
  libxml2-utils perl-base iproute2 util-linux coreutils libsodium-dev

cmake --preset release >/dev/null
cmake --build --preset release --target revozi_cgi korven_sandbox

if can_isolate; then
  in_loopback_netns timeout 600 bash tests/webserver/suite.sh build/bin
else
  check_port_80_usable
  timeout 600 bash tests/webserver/suite.sh build/bin
fi
