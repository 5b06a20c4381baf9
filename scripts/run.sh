#!/usr/bin/env bash
# Sets up, builds and starts Lumo Webcam Client, the desktop program. It builds only what it starts
# (the program, and the simulator unless told not to); scripts/setup.sh builds everything.
#
#   scripts/run.sh                  also starts the bundled phone simulator on 127.0.0.1:8123, which the
#                                   transport dialog's default WiFi address reaches
#   scripts/run.sh --no-simulator   with a real phone: choose its transport in "Connection > Connect..."
#
# The headless front end, for scripts and machines without a display: scripts/setup.sh --target
# lumo-webcam-cli builds it, build/app/lumo-webcam-cli --help tells its options.
set -euo pipefail
cd "$(dirname "$0")/.."

simulator=true
case "${1:-}" in
    "") ;;
    --no-simulator) simulator=false ;;
    *) echo "usage: scripts/run.sh [--no-simulator]" >&2; exit 64 ;;
esac

targets=(--target lumo-webcam)
if $simulator; then targets+=(--target lumo-phone-sim); fi
scripts/setup.sh "${targets[@]}"

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "No display: start this from a desktop session, or use the headless front end" \
         "(scripts/setup.sh --target lumo-webcam-cli; build/app/lumo-webcam-cli --help)." >&2
    exit 1
fi

simulator_pid=""
cleanup() { [ -n "$simulator_pid" ] && kill "$simulator_pid" 2>/dev/null; wait 2>/dev/null || true; }
trap cleanup EXIT

if $simulator; then
    ready=$(mktemp)
    build/tools/phonesim/lumo-phone-sim --listen 127.0.0.1 --port 8123 > "$ready" &
    simulator_pid=$!
    # It listens once its test picture is encoded; a failure (the port taken, say) ends it at once.
    for _ in $(seq 300); do
        grep -q "^Listening on" "$ready" && break
        if ! kill -0 "$simulator_pid" 2>/dev/null; then
            echo "The phone simulator did not start (is port 8123 taken?); starting without it." >&2
            simulator_pid=""
            break
        fi
        sleep 0.1
    done
    rm -f "$ready"
    [ -n "$simulator_pid" ] && echo "Phone simulator on 127.0.0.1:8123: choose Connection > Connect..., WiFi, OK." >&2
fi
build/app/lumo-webcam
