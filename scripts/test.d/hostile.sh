#!/usr/bin/env bash
# Hostile-input stage: the release module, run as a CGI program, answers every
# hostile value, request and options file with a well-formed response, the
# documented exit status and every value escaped (tests/hostile/hostile.py).
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
cd "$REPO_ROOT"
ensure_packages python3 libxml2-utils cmake make g++ libsodium-dev util-linux iproute2

# REVOZI_HOSTILE_MODULE runs the corpus against another build of the module.
module="${REVOZI_HOSTILE_MODULE:-}"
if [ -z "$module" ]; then
  cmake --preset release >/dev/null
  cmake --build --preset release --target revozi_cgi
  module="$REPO_ROOT/build/bin/revozi.cgi"
fi
in_loopback_netns python3 "$REPO_ROOT/tests/hostile/hostile.py" "$module"
