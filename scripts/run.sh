#!/usr/bin/env bash
# Sets up, builds and runs Lumo Webcam Client's headless front end.
#
#   scripts/run.sh                          streams the bundled phone simulator into the virtual camera
#   scripts/run.sh --wifi 192.168.1.20      streams a real phone's camera server over WiFi
#   scripts/run.sh --usb                    ... over USB (adb), --serial N, or --bluetooth ADDRESS
#
# Other arguments (--hflip, --vflip, --rotate, --frames) go to lumo-webcam-cli. Stop with Ctrl+C.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

simulator_pid=""
cleanup() { [ -n "$simulator_pid" ] && kill "$simulator_pid" 2>/dev/null; wait 2>/dev/null || true; }
trap cleanup EXIT

args=("$@")
transport_given=false
for a in "${args[@]}"; do
    case "$a" in --wifi|--wifi=*|--usb|--serial|--serial=*|--bluetooth|--bluetooth=*|--list-bluetooth|-h|--help)
        transport_given=true ;;
    esac
done
if ! $transport_given; then
    echo "No phone given: streaming the bundled phone simulator (127.0.0.1:8123)." >&2
    ready=$(mktemp)
    build/tools/phonesim/lumo-phone-sim --listen 127.0.0.1 --port 8123 > "$ready" &
    simulator_pid=$!
    # It listens once its test picture is encoded; a failure (the port taken, say) ends it at once.
    for _ in $(seq 300); do
        grep -q "^Listening on" "$ready" && break
        kill -0 "$simulator_pid" 2>/dev/null || { echo "The phone simulator did not start." >&2; exit 1; }
        sleep 0.1
    done
    rm -f "$ready"
    args=(--wifi 127.0.0.1 "${args[@]}")
fi
build/app/lumo-webcam-cli "${args[@]}"
