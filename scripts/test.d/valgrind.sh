#!/usr/bin/env bash
# Valgrind stage: black-box requests against a dynamically linked debug build
# of the module under memcheck; any memory error, leak or descriptor left open
# fails the stage. (The release module is fully static, which memcheck
# follows less well.)
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
cd "$REPO_ROOT"
ensure_packages valgrind python3 cmake make g++ libsodium-dev util-linux iproute2

# REVOZI_VALGRIND_BUILD_DIR moves the build elsewhere (a developer's own tree).
build_dir="${REVOZI_VALGRIND_BUILD_DIR:-$REPO_ROOT/build-valgrind}"
cmake -S "$REPO_ROOT" -B "$build_dir" -DCMAKE_BUILD_TYPE=Debug -DREVOZI_STATIC=OFF \
  -DREVOZI_TESTS=OFF >/dev/null
cmake --build "$build_dir" -j2 --target revozi_cgi
in_loopback_netns python3 "$REPO_ROOT/tests/valgrind/valgrind_requests.py" "$build_dir/bin/revozi.cgi"
