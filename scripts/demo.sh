#!/usr/bin/env bash
# Builds Kestrune and runs its main job: `kestrune demo` on a SoftHSM2 token.
# Extra arguments go to the demo (for example --dir DIR).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target kestrune_host
exec build/bin/kestrune demo "$@"
