#!/usr/bin/env bash
# Remakes the README's screenshots in docs/screenshots/: the desktop program runs under Xvfb with a
# small window manager (so the windows have their title bars), connected to the bundled phone
# simulator, with a settings store of its own. Keys are typed with xdotool, as a person would.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ -z "${LUMO_SCREENSHOTS_UNDER_XVFB:-}" ]; then
    scripts/install-packages.sh xvfb xauth xdotool imagemagick openbox x11-utils fonts-dejavu-core
    scripts/setup.sh
    LUMO_SCREENSHOTS_UNDER_XVFB=1 exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi

out=docs/screenshots
work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# The frame of the active window (title bar included), cut out of a picture of the whole screen.
shoot() {
    local id info x y w h left right top bottom
    sleep 0.7
    id=$(xdotool getactivewindow)
    info=$(xwininfo -id "$id")
    x=$(sed -n 's/.*Absolute upper-left X: *//p' <<<"$info")
    y=$(sed -n 's/.*Absolute upper-left Y: *//p' <<<"$info")
    w=$(sed -n 's/.*Width: *//p' <<<"$info")
    h=$(sed -n 's/.*Height: *//p' <<<"$info")
    read -r left right top bottom < <(xprop -id "$id" _NET_FRAME_EXTENTS | sed 's/.*= //; s/,//g')
    x=$((x - left)); y=$((y - top)); w=$((w + left + right)); h=$((h + top + bottom))
    import -window root -crop "${w}x${h}+${x}+${y}" +repage "$out/$1"
    echo "$out/$1: ${w}x${h}"
}

openbox >/dev/null 2>&1 &
pids+=($!)
build/tools/phonesim/lumo-phone-sim --listen 127.0.0.1 --port 8123 >"$work/sim.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do grep -q "^Listening on" "$work/sim.log" && break; sleep 0.1; done

export XDG_CONFIG_HOME="$work/config" LUMO_VIRTUAL_CAMERA="$work/camera.yuv"
build/app/lumo-webcam &
pids+=($!)
xdotool search --sync --name "^Lumo Webcam Client 2.19$" >/dev/null

# The transport dialog, WiFi chosen: the default address reaches the simulator.
xdotool key --delay 150 alt+c Return
xdotool search --sync --name "^Select transport$" windowactivate --sync
shoot transport-dialog.png
xdotool key --delay 120 Down Down Down Return

# Connected, with the Connection menu open over the window.
for _ in $(seq 50); do grep -q "^Connection from" "$work/sim.log" 2>/dev/null && break; sleep 0.1; done
sleep 1
xdotool key alt+c
shoot main-window.png
xdotool key Escape

# The About box.
xdotool key --delay 150 alt+h Down Return
xdotool search --sync --name "^Lumo Webcam Client$" windowactivate --sync >/dev/null
shoot about-box.png
xdotool key Return

# The window made larger, showing the simulator's moving picture and, in the status bar, the size, the
# frame rate and the camera the frames go to.
main=$(xdotool search --name "^Lumo Webcam Client 2.19$" | head -1)
xdotool windowsize --sync "$main" 640 440 windowactivate --sync "$main"
sleep 2.5
shoot preview.png

# Options > Reconnect automatically (the menu's last entry), then the phone goes away.
xdotool key --delay 150 alt+o Up Return
kill "${pids[1]}"
sleep 4
xdotool windowactivate --sync "$main"
shoot reconnecting.png

# Disconnect, then a connection that nothing answers: the error box with its details open.
xdotool key --delay 150 alt+c d
sleep 0.5
xdotool key --delay 150 alt+c c
xdotool search --sync --name "^Select transport$" windowactivate --sync >/dev/null
xdotool key Return
xdotool search --sync --name "^Lumo Webcam Client$" windowactivate --sync >/dev/null
xdotool key --delay 150 Tab space
shoot error-details.png
xdotool key Return
