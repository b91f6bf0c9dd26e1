#!/usr/bin/env bash
# Builds Kestrune and runs the whole test suite twice: in the normal build and in an
# AddressSanitizer + UndefinedBehaviorSanitizer build.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh

jobs=$(nproc)

echo "== format"
git ls-files --cached --others --exclude-standard '*.cpp' '*.h' | xargs -r clang-format --dry-run --Werror

echo "== build"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRUNE_WERROR=ON
cmake --build build -j "$jobs"

echo "== opencryptoki"
# The second token module of the tests serves its soft token through a slot daemon, which
# nothing starts on a machine without systemd. (The tests start it too, and skip when it
# can't run.)
# A socket or pid file left by a daemon that has gone (or is a zombie nobody reaped) is stale:
# the daemon is alive only when its pid names a process that isn't a zombie.
slotd_pid=$(cat /var/run/pkcsslotd.pid 2>/dev/null || true)
slotd_state=$([[ -n "$slotd_pid" ]] && ps -o stat= -p "$slotd_pid" 2>/dev/null || true)
if [[ -x /usr/sbin/pkcsslotd && ( -z "$slotd_state" || "$slotd_state" == Z* ) ]]; then
  rm -f /var/run/pkcsslotd.socket /var/run/pkcsslotd.pid
  { install -d -m 0770 -g pkcs11 /var/lock/opencryptoki /var/lock/opencryptoki/swtok &&
    /usr/sbin/pkcsslotd; } || echo "pkcsslotd did not start: the tests on opencryptoki skip"
fi

echo "== browser test tools"
# playwright-core as the lock file pins it; it drives Debian's chromium and downloads no browser.
(cd tests/browser && PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --no-audit --no-fund)

echo "== tests"
# The suite includes cryptoapi_wine_compare (label "wine"): the CryptoAPI probe built on the
# Linux stand-in and, with MinGW-w64, on wincrypt, run under wine64 (deps.sh installs both),
# compared key by key. It makes its Wine prefix in the build folder on its first run.
ctest --test-dir build --output-on-failure -j "$jobs"

echo "== sanitizer build"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKESTRUNE_WERROR=ON \
  -DKESTRUNE_SANITIZE=ON -DKESTRUNE_BENCH=OFF
cmake --build build-asan -j "$jobs"

# The comparison runs here too: the Linux probe builds with the sanitizers, the Windows one is
# the same MinGW build, and the sanitized probe runs clean (no leaks) under LSan.
echo "== tests under ASan and UBSan"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS=suppressions=$PWD/tests/support/lsan.supp
ctest --test-dir build-asan --output-on-failure -j "$jobs"

echo "== fuzz smoke"
bash scripts/fuzz.sh --total 240
