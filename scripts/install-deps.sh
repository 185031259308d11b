#!/usr/bin/env bash
# Installs what building, testing and the demo need on Debian 12. Idempotent:
# apt-get runs only when a package is missing.
set -euo pipefail

packages=(
  cmake make python3
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  wine wine64 xvfb xauth x11-utils
  nginx-light squid openssl osslsigncode googletest
  imagemagick x11-apps
)
if [ "${1:-}" = "--bench" ]; then packages+=(aria2 curl); fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then exit 0; fi

echo "Installing: ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
  echo "error: missing packages and not root; run as root or install them: ${missing[*]}" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
