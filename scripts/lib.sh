# Shared by the scripts: package installation and the loopback-only network.
# shellcheck shell=bash

REPO_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

log() { printf '\n== %s\n' "$*" >&2; }

# ensure_packages PKG...: installs the Debian packages that are missing, when
# run as root; otherwise says what to install and fails.
ensure_packages() {
  local missing=()
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing Debian packages: ${missing[*]} (run as root, or: sudo apt-get install ${missing[*]})" >&2
    return 1
  fi
  log "installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  if [ -z "${REVOZI_APT_UPDATED:-}" ]; then
    apt-get -o DPkg::Lock::Timeout=600 update -qq >/dev/null || apt-get -o DPkg::Lock::Timeout=600 update
    export REVOZI_APT_UPDATED=1
  fi
  # Another installation may hold the package lock for a while: wait for it.
  apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}" >/dev/null || \
    apt-get -o DPkg::Lock::Timeout=600 install -y --no-install-recommends "${missing[@]}"
}

# build_release DIR TARGET...: builds TARGETs (Release) in DIR, a
# developer's own tree, or with the release preset in build/ when DIR is
# empty; RELEASE_BIN is then the programs' directory (absolute).
build_release() {
  local dir="$1"
  shift
  if [ -n "$dir" ]; then
    cmake -S "$REPO_ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=Release >/dev/null || return 1
    cmake --build "$dir" -j2 --target "$@" || return 1
  else
    dir="$REPO_ROOT/build"
    (cd "$REPO_ROOT" && cmake --preset release >/dev/null && cmake --build --preset release --target "$@") ||
      return 1
  fi
  RELEASE_BIN="$(cd "$dir/bin" && pwd)"
}

# can_isolate: true when commands can run in a private network namespace with
# only the loopback interface (nothing leaves the machine, no port of the host
# is taken).
can_isolate() {
  [ -z "${REVOZI_NO_NETNS:-}" ] && command -v unshare >/dev/null 2>&1 && \
    unshare -n true 2>/dev/null
}

# in_loopback_netns CMD...: runs CMD in such a namespace when possible, else
# as it is.
in_loopback_netns() {
  if can_isolate; then
    unshare -n -- bash -c 'ip link set lo up 2>/dev/null || ifconfig lo up 2>/dev/null; exec "$@"' bash "$@"
  else
    "$@"
  fi
}
