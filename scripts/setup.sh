#!/usr/bin/env bash
# Installs every Debian package the project needs. Safe to run again: apt-get skips what is there.
set -euo pipefail

packages=(
  build-essential cmake pkg-config git
  libwxgtk3.2-dev libraw-dev libtiff-dev libjpeg62-turbo-dev libpng-dev
  libcli11-dev nlohmann-json3-dev libgtest-dev libgmock-dev libbenchmark-dev
  xvfb xauth clang libclang-rt-14-dev time
  fonts-wqy-microhei
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  echo "setup: installing ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
echo "setup: all packages present"
