#!/usr/bin/env bash
# Builds the Debian package, installs it on this machine with apt-get, runs both programs' --version,
# and removes it again, checking that nothing of it is left. This needs root on a Debian 12 system
# (a spare machine, VM or container) where lumo-webcam is not installed yet; scripts/test.sh checks
# the package's contents without installing it.
#
#   scripts/package-roundtrip.sh
#
# The recommended packages (v4l2loopback-dkms builds a kernel module) are not installed.
set -euo pipefail
cd "$(dirname "$0")/.."

sudo_cmd=""
[ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
if dpkg-query -W -f='${Status}' lumo-webcam 2>/dev/null | grep -q 'install ok installed'; then
    echo "lumo-webcam is installed already; this script would remove it. Remove it first." >&2
    exit 1
fi

scripts/setup.sh
scripts/install-packages.sh dpkg-dev file
out=$(mktemp -d)
installed=false
cleanup() {
    # A failed check still takes the package off again.
    if $installed; then DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get remove -y -q lumo-webcam >/dev/null || true; fi
    rm -rf "$out"
}
trap cleanup EXIT
cpack --config build/CPackConfig.cmake -B "$out" >/dev/null
deb=$(ls "$out"/lumo-webcam_*.deb)
version=$(dpkg-deb --field "$deb" Version)
# apt reads the file as its own user, which needs to reach it.
chmod 755 "$out"

step() { echo "== $*"; }
step "install $(basename "$deb")"
DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -q --no-install-recommends "$deb"
installed=true

step "run"
[ "$(lumo-webcam-cli --version)" = "lumo-webcam-cli $version" ]
[ "$(lumo-webcam --version)" = "lumo-webcam $version" ]
lumo-webcam-cli --version
command -v lumo-phone-sim >/dev/null && { echo "lumo-phone-sim is on PATH" >&2; exit 1; }
/usr/libexec/lumo-webcam/lumo-phone-sim --help >/dev/null
man -w lumo-webcam lumo-webcam-cli
# modprobe reads the module options ("-" and "_" are the same to it in names): "modprobe lumo-webcam"
# would load v4l2loopback with them.
modprobe -c | grep -Fx 'options lumo_webcam exclusive_caps=1 card_label="Lumo Webcam"'
files=$(dpkg-query -L lumo-webcam)

step "remove"
DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get remove -y -q lumo-webcam
installed=false
left=$(while read -r path; do if [ -f "$path" ]; then echo "$path"; fi; done <<<"$files")
[ -z "$left" ] || { echo "left behind:"$'\n'"$left" >&2; exit 1; }
hash -r
command -v lumo-webcam-cli >/dev/null && { echo "lumo-webcam-cli still on PATH" >&2; exit 1; }
echo "round trip of lumo-webcam $version passed"
