#!/usr/bin/env bash
# Fuzzing stage: every libFuzzer target for 30 seconds on its seeds.
set -euo pipefail
exec "$(dirname "$0")/../fuzz" 30
