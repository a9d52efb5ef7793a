#!/usr/bin/env bash
# Installs, with apt-get, only the Debian packages that the build and the tests need and that
# are missing. Safe to run twice.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

qn_install_missing \
  g++ cmake ninja-build make \
  zlib1g-dev libhttp-parser-dev \
  libgtest-dev libgmock-dev \
  nginx-light \
  libfltk1.3-dev fonts-wqy-microhei xvfb libxtst-dev
