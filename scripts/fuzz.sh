#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/*_fuzzer.cpp) with clang in build-fuzz and runs each on a
# copy of its seed corpus fuzz/corpus/<target>/, so the inputs it finds stay out of the work
# tree. Stops at the first crash, leak, time-out or UB report; the failing input is kept in
# build-fuzz/fuzz-artifacts/<target>/. A target with a dictionary fuzz/<target>.dict runs with it.
#   usage: scripts/fuzz.sh [SECONDS]        each target for SECONDS (default 20): campaigns
#          scripts/fuzz.sh --total SECONDS  SECONDS split evenly over the targets, at least 5
#                                           each: the test script's smoke, whose time stays
#                                           the same as targets are added
set -euo pipefail
cd "$(dirname "$0")/.."

usage() {
  echo "usage: $0 [SECONDS] | --total SECONDS" >&2
  exit 2
}
total=
seconds=20
if [[ "${1:-}" == "--total" ]]; then
  [[ $# -eq 2 ]] || usage
  total=$2
elif [[ $# -eq 1 ]]; then
  seconds=$1
elif [[ $# -ne 0 ]]; then
  usage
fi
for value in "$seconds" "${total:-1}"; do
  [[ "$value" =~ ^[1-9][0-9]*$ ]] || usage
done
# A fixed seed makes the smoke run repeatable; FUZZ_SEED=0 lets libFuzzer pick one.
seed="${FUZZ_SEED:-1}"
build=build-fuzz

CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DKESTRUNE_FUZZ=ON -DKESTRUNE_BENCH=OFF -DKESTRUNE_SANITIZE=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target kestrune_fuzzers

export ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS=suppressions=$PWD/tests/support/lsan.supp

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

shopt -s nullglob
sources=(fuzz/*_fuzzer.cpp)
if [[ ${#sources[@]} -eq 0 ]]; then
  echo "no fuzz targets in fuzz/" >&2
  exit 1
fi
if [[ -n "$total" ]]; then
  seconds=$((total / ${#sources[@]}))
  if ((seconds < 5)); then seconds=5; fi
  echo "fuzz smoke: ${#sources[@]} targets, ${seconds} s each"
fi

for source in "${sources[@]}"; do
  name=$(basename "$source" .cpp)
  corpus=$work/$name
  artifacts=$build/fuzz-artifacts/$name
  log=$work/$name.log
  mkdir -p "$corpus" "$artifacts"
  if [[ -d fuzz/corpus/$name ]]; then cp -R "fuzz/corpus/$name/." "$corpus/"; fi
  seeds=$(find "$corpus" -type f | wc -l)
  dictionary=()
  if [[ -f fuzz/$name.dict ]]; then dictionary=(-dict="fuzz/$name.dict"); fi
  # A target whose one run may take longer (a real server's answer) names its bound in
  # fuzz/<target>.timeout, in seconds.
  timeout=10
  if [[ -f fuzz/$name.timeout ]]; then timeout=$(<"fuzz/$name.timeout"); fi

  if ! "$build/bin/$name" -max_total_time="$seconds" -seed="$seed" -timeout="$timeout" -print_final_stats=1 \
    "${dictionary[@]}" -artifact_prefix="$artifacts/" "$corpus" >"$log" 2>&1; then
    echo "$name: FAILED (input kept in $artifacts/)"
    tail -n 60 "$log"
    exit 1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  found=$(find "$corpus" -type f | wc -l)
  echo "$name: ok, ${runs:-?} runs in ${seconds} s, corpus $seeds -> $found inputs"
done
