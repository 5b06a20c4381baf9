#!/usr/bin/env bash
# Sets up and runs every test of Lumo Webcam Client: the whole suite in a normal build, again under
# AddressSanitizer + UndefinedBehaviorSanitizer, and the concurrency tests under ThreadSanitizer. Any
# sanitizer report fails its test.
set -euo pipefail
cd "$(dirname "$0")/.."
# GStreamer's v4l2src is the real consumer that the VM tests of the virtual camera lay over the guest;
# installed before the build is configured, which looks for it.
scripts/install-packages.sh gstreamer1.0-tools gstreamer1.0-plugins-good
scripts/setup.sh

jobs=$(nproc)
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0"
# die_after_fork=0: QProcess forks the multi-threaded test to exec the simulator, and the child only execs.
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:die_after_fork=0:suppressions=$PWD/tests/tsan.supp"

echo "== normal build"
# The package test builds the .deb with CPack and checks it with these.
scripts/install-packages.sh dpkg-dev file desktop-file-utils appstream lintian man-db
ctest --test-dir build --output-on-failure -j "$jobs"

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DLUMO_SANITIZE=address,undefined \
      -DLUMO_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build build-asan
ctest --test-dir build-asan --output-on-failure -j "$jobs" -LE vm

echo "== ThreadSanitizer (concurrency tests)"
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DLUMO_SANITIZE=thread \
      -DLUMO_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build build-tsan
ctest --test-dir build-tsan --output-on-failure -j "$jobs" -L concurrency
