#!/usr/bin/env bash
# Fuzzes the capture path: builds fuzz/capture_fuzzer with clang, libFuzzer, ASan and UBSan in
# build-fuzz/ and runs it on one core for SECONDS (default 600), starting from the seeds in
# fuzz/corpus. Inputs that reach new code collect in build-fuzz/corpus; an input that fails is left in
# build-fuzz/ as crash-*, leak-*, timeout-* or oom-*. Minimise one with
#   build-fuzz/fuzz/capture_fuzzer -minimize_crash=1 -runs=10000 FILE
# and, once fixed, add it to fuzz/corpus, which the test suite replays.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}

scripts/install-packages.sh clang-14 libclang-rt-14-dev cmake ninja-build pkg-config \
    qt6-base-dev libgl-dev libturbojpeg0-dev libjpeg62-turbo-dev libyuv-dev libbluetooth-dev

launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
CC=clang-14 CXX=clang++-14 cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DLUMO_FUZZ=ON -DLUMO_SANITIZE=address,undefined -DLUMO_BUILD_TESTS=OFF -DLUMO_BUILD_BENCHMARKS=OFF \
    "${launcher[@]}" >/dev/null
cmake --build build-fuzz --target capture_fuzzer

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
mkdir -p build-fuzz/corpus
cd build-fuzz
exec fuzz/capture_fuzzer -max_total_time="$seconds" -print_final_stats=1 -dict=../fuzz/jpeg.dict \
    corpus ../fuzz/corpus
