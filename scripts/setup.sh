#!/usr/bin/env bash
# Installs what building, running and testing Lumo Webcam Client needs on Debian 12, then configures
# build/ with the "default" preset of CMakePresets.json and builds it: everything (the programs, the
# tests, the benchmarks), or only the targets named with --target. Other arguments go to CMake's
# configure step.
#
#   scripts/setup.sh                          everything
#   scripts/setup.sh --target lumo-webcam     the desktop program and what it links
set -euo pipefail
cd "$(dirname "$0")/.."

targets=()
configure=()
while [ $# -gt 0 ]; do
    case "$1" in
        --target) targets+=("${2:?--target needs a target name}"); shift 2 ;;
        *) configure+=("$1"); shift ;;
    esac
done

packages=(
    build-essential cmake ninja-build pkg-config
    qt6-base-dev libgl-dev
    libturbojpeg0-dev libjpeg62-turbo-dev libyuv-dev libbluetooth-dev
    libbenchmark-dev
    scdoc
    adb dbus-daemon
    # The VM tests' overlays: cpio, and the libraries that BlueZ's programs take from this machine.
    cpio libasound2 libdw1 libreadline8
)
scripts/install-packages.sh "${packages[@]}"

cmake --preset default "${configure[@]}" >/dev/null
build=(cmake --build --preset default)
[ ${#targets[@]} -eq 0 ] || build+=(--target "${targets[@]}")
"${build[@]}"
