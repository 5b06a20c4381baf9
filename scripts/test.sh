#!/usr/bin/env bash
# Sets up and runs every test of Lumo Webcam Client: the whole suite in a normal build, again under
# AddressSanitizer + UndefinedBehaviorSanitizer, and the concurrency tests under ThreadSanitizer. Any
# sanitizer report fails its test. Each run is a preset of CMakePresets.json (default, asan, tsan) with
# its build, its tests and its sanitizer options: `ctest --preset asan` repeats one.
set -euo pipefail
cd "$(dirname "$0")/.."
# GStreamer's v4l2src is the real consumer that the VM tests of the virtual camera lay over the guest;
# installed before the build is configured, which looks for it.
scripts/install-packages.sh gstreamer1.0-tools gstreamer1.0-plugins-good
scripts/setup.sh

jobs=$(nproc)

echo "== normal build"
# The package test builds the .deb with CPack and checks it with these.
scripts/install-packages.sh dpkg-dev file desktop-file-utils appstream lintian man-db
ctest --preset default -j "$jobs"

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
cmake --preset asan >/dev/null
cmake --build --preset asan
ctest --preset asan -j "$jobs"

echo "== ThreadSanitizer (concurrency tests)"
cmake --preset tsan >/dev/null
cmake --build --preset tsan
ctest --preset tsan -j "$jobs"
