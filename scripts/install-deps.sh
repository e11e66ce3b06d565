#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the tests, the demo and the
# benchmarks need (curl is the benchmarks' reference download).
# Quick and silent when everything is already there.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev clang-format
  qt6-base-dev qt6-base-dev-tools libgl-dev libplist-dev libssl-dev openssl
  freerdp2-x11 freerdp2-shadow-x11 winpr-utils xvfb x11-utils xauth xdotool pulseaudio zsh
  x11-apps x11-xserver-utils xterm libxcb1-dev minisign shellcheck python3-yaml
  nginx-light squid libzstd-dev libarchive-dev icnsutils lld llvm curl
)

missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$package")
done

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  sudo=()
  [[ $(id -u) -eq 0 ]] || sudo=(sudo)
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
