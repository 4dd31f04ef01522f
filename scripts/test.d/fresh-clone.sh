#!/usr/bin/env bash
# Stage: scripts/demo on a clone that has never been built, as a new
# merchant runs it. Clones the committed HEAD of this repository into a
# temporary directory (no build/, nothing of this working tree but what is
# committed) and runs the demo there end to end: it must build, serve the
# example order page, take the order through the module to the sandbox,
# whose verdict is "valid", and exit 0.
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
cd "$REPO_ROOT"

ensure_packages git

work="$(mktemp -d /tmp/revozi-clone.XXXXXX)"
trap 'rm -rf "$work"' EXIT
trap 'exit 130' INT TERM

git clone -q --no-hardlinks "$REPO_ROOT" "$work/revozi"
cd "$work/revozi"
log "fresh clone of $(git rev-parse --short HEAD) in $work/revozi; running scripts/demo there"
[ ! -e build ] || { echo "the clone already holds build/" >&2; exit 1; }

# The demo installs what it needs and builds two programs (jobs: 2, from the
# release preset); 15 minutes bound the whole on a busy machine.
status=0
timeout 900 scripts/demo >"$work/demo.out" 2>"$work/demo.err" || status=$?
if [ $status -ne 0 ]; then
  echo "scripts/demo on a fresh clone: exit status $status; its last messages:" >&2
  tail -n 30 "$work/demo.err" >&2
  exit 1
fi
if ! cat "$work/demo.out" "$work/demo.err" | grep -qx 'verdict: valid'; then
  echo "scripts/demo on a fresh clone ended with 0 but the sandbox's verdict 'valid' is not in its output:" >&2
  tail -n 30 "$work/demo.err" >&2
  exit 1
fi
echo "scripts/demo on a fresh clone: built, sandbox verdict valid, exit status 0" >&2
