#!/usr/bin/env bash
# Builds Kestrune's host and its authority, fedi-ca, and runs the main job: `kestrune demo`, a
# SoftHSM2 token taken through the certificate life cycle with a fedi-ca authority.
# Extra arguments go to the demo (for example --dir DIR).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target kestrune_host fedi_ca
exec build/bin/kestrune demo "$@"
