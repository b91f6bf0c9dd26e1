#!/usr/bin/env bash
# Installs every Debian package that the build, tests, benchmarks and demo need.
# Idempotent: the package lists are refreshed only when something is missing.
set -euo pipefail

packages=(
  g++ cmake ninja-build ccache pkg-config git ca-certificates
  clang libclang-rt-14-dev clang-format
  libssl-dev openssl
  libcurl4-openssl-dev
  softhsm2 libp11-kit-dev
  opencryptoki
  libcpp-httplib-dev libsqlite3-dev
  nlohmann-json3-dev libcli11-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  chromium
  # The CryptoAPI comparison: the probe built for Windows (x86_64) and run under wine64. No
  # recommends, so no wine32: nothing from i386 (which can't run here) is installed.
  mingw-w64 wine64
)

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[[ $(id -u) -eq 0 ]] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
