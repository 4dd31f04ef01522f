#!/usr/bin/env bash
# Stage: the verification snippets of docs/merchant.md (Node.js and Go), as
# printed there, run on the signature test vectors
# (examples/signature-vectors.txt). A missing runtime is a skip line, never
# a pass.
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
cd "$REPO_ROOT"

vectors="$REPO_ROOT/examples/signature-vectors.txt"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# The code block that follows the marker line MARKER in docs/merchant.md.
snippet() {
  awk -v marker="<!-- $1 -->" '
    $0 == marker { armed = 1; next }
    armed && /^```/ { if (inside) exit; inside = 1; next }
    inside { print }' docs/merchant.md
}

status=0
command -v node >/dev/null 2>&1 || ensure_packages nodejs || true
if command -v node >/dev/null 2>&1; then
  { snippet verify-node; cat tests/vectors/check_node.js; } > "$work/check.js"
  node "$work/check.js" "$vectors" || status=1
else
  echo "SKIP node: no Node.js (Debian package nodejs); the Node.js snippet was not run" >&2
fi

command -v go >/dev/null 2>&1 || ensure_packages golang || true
if command -v go >/dev/null 2>&1; then
  mkdir -p "$work/go"
  snippet verify-go > "$work/go/shop.go"
  cp tests/vectors/vectors_test.go "$work/go/"
  printf 'module shop\n\ngo 1.19\n' > "$work/go/go.mod"
  (cd "$work/go" && VECTORS="$vectors" GOPATH="$work/gopath" GOCACHE="$work/gocache" GOPROXY=off \
     GOTOOLCHAIN=local GOFLAGS=-mod=mod go test -v ./...) || status=1
else
  echo "SKIP go: no Go (Debian package golang); the Go snippet was not run" >&2
fi
exit $status
