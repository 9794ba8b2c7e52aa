#!/usr/bin/env bash
# The JavaScript host: installs Node.js and Node-API's C headers where
# missing, builds the Node module beside the add-on and runs the tests in js/.
set -euo pipefail
root=${LUMIVEX_ROOT:-$(cd "$(dirname "$0")/../.." && pwd)}
build=${LUMIVEX_BUILD_DIR:-$root/build}
jobs=${LUMIVEX_JOBS:-2}

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

apt_install() {
  as_root apt-get update -qq
  DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq "$@"
}

install_node() {
  command -v node >/dev/null && return 0
  echo "Installing Node.js"
  case "$(uname -s)" in
    Darwin) brew install node ;;
    *) apt_install nodejs ;;
  esac
}

# The folder holding node_api.h: Node's own include/node first (it matches the
# running node), then the system's, then the npm package.
find_headers() {
  local node_prefix
  node_prefix=$(cd "$(dirname "$(readlink -f "$(command -v node)")")/.." && pwd)
  for dir in "${LUMIVEX_NODE_API_INCLUDE:-}" "$node_prefix/include/node" /usr/include/node /usr/local/include/node \
             "$build/node-api-headers/node_modules/node-api-headers/include"; do
    if [ -n "$dir" ] && [ -f "$dir/node_api.h" ]; then
      echo "$dir"
      return 0
    fi
  done
  return 1
}

# Debian's headers only when they belong to the installed node; else the npm package.
install_headers() {
  if command -v apt-get >/dev/null && [ "$(uname -s)" != Darwin ]; then
    local installed candidate
    installed=$(dpkg-query -W -f='${Version}' nodejs 2>/dev/null || true)
    as_root apt-get update -qq
    candidate=$(apt-cache policy libnode-dev | awk '/Candidate:/ {print $2}')
    if [ -n "$installed" ] && [ "$installed" = "$candidate" ]; then
      DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq libnode-dev
      return 0
    fi
    command -v npm >/dev/null || DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq npm
  fi
  npm install --prefix "$build/node-api-headers" --no-save --no-audit --no-fund node-api-headers >/dev/null
}

install_node
headers=$(find_headers || { install_headers >&2 && find_headers; }) || {
  echo "node.sh: Node-API headers (node_api.h) not found and could not be installed" >&2
  exit 1
}
echo "Node $(node --version), Node-API headers in $headers"

cmake -S "$root" -B "$build" -DLUMIVEX_BUILD_NODE=ON -DLUMIVEX_NODE_API_INCLUDE="$headers" >/dev/null
cmake --build "$build" -j "$jobs" --target lumivex_node lumivex

cd "$root/js"
LUMIVEX_BUILD_DIR="$build" node --test
