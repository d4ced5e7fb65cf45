#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only when one
# is missing, so a fresh machine needs nothing but this repository. tin, slrn
# and tmux drive the newsreader conformance run. Qt 6 (base and SVG) builds
# the desktop front-end; xvfb and xauth let its screenshot script run it on
# a display of its own. OpenSSL (libssl-dev) carries TLS to the upstream;
# the openssl command makes the certificates of the TLS tests.
set -euo pipefail
need=()
for pkg in g++ cmake make libgtest-dev libgmock-dev python3 clang-format dpkg-dev file tin slrn tmux \
           qt6-base-dev qt6-svg-dev xvfb xauth libssl-dev openssl; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  echo "installing: ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${need[@]}" >/dev/null
fi
