#!/usr/bin/env bash
# Installs what building, running and testing Lumo Webcam Client needs on Debian 12, then configures and
# builds it in build/. Extra arguments go to CMake's configure step.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
    build-essential cmake ninja-build pkg-config
    qt6-base-dev libgl-dev
    libturbojpeg0-dev libjpeg62-turbo-dev libyuv-dev libbluetooth-dev
    libbenchmark-dev
    adb dbus-daemon
)
scripts/install-packages.sh "${packages[@]}"

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build build
