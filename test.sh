#!/usr/bin/env bash
# Builds the library and runs the whole test suite.
#   ./test.sh              release build in build/, all tests
#   ./test.sh --sanitize   clang build with ASan+UBSan in build-asan/, all tests,
#                          then every fuzz target for a short bounded time
# Extra arguments after the mode go to ctest (e.g. -R Tlv).
set -euo pipefail
cd "$(dirname "$0")"

mode=release
if [ "${1:-}" = "--sanitize" ]; then mode=sanitize; shift; fi

tools/install-deps.sh

jobs=${JOBS:-2}
if [ $mode = release ]; then
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build -j "$jobs"
  ctest --test-dir build -j "$jobs" --output-on-failure "$@"
else
  CC=clang CXX=clang++ cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DZALVIO_SANITIZE=ON -DZALVIO_FUZZ=ON -DZALVIO_BENCH=OFF >/dev/null
  cmake --build build-asan -j "$jobs"
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  ctest --test-dir build-asan -j "$jobs" --output-on-failure "$@"
  tools/run-fuzz.sh build-asan "${FUZZ_SECONDS:-20}"
fi
