#!/usr/bin/env bash
# Installs, with apt-get, only the Debian packages that the build and the tests need and that
# are missing. Safe to run twice.
set -euo pipefail

packages=(
  g++ cmake ninja-build make
  zlib1g-dev libhttp-parser-dev
  libgtest-dev libgmock-dev
  nginx-light
  libfltk1.3-dev fonts-wqy-microhei xvfb libxtst-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
echo "install-deps: installing ${missing[*]}"
"${sudo_cmd[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
