#!/usr/bin/env bash
# Renders the hand-drawn SVG images under resources/ into the PNGs that the program bundles and installs.
# The PNGs are committed, so building needs no SVG renderer; run this after changing an SVG and commit
# the result. Needs rsvg-convert (Debian package librsvg2-bin), which it installs when missing.
set -euo pipefail
cd "$(dirname "$0")/../resources"
../scripts/install-packages.sh librsvg2-bin

# render SVG SIZE PNG
render() {
    rsvg-convert --width "$2" --height "$2" --keep-aspect-ratio --output "$3" "$1"
    echo "$3 (${2}x$2)"
}

# Menu actions: 32 px for the menu, and the @2x copy that Qt picks by itself on HiDPI screens.
for image in new open; do
    render "images/$image.svg" 32 "images/$image.png"
    render "images/$image.svg" 64 "images/$image@2x.png"
done

# The words under the icon on the virtual camera's card.
rsvg-convert --width 720 --height 96 --output images/waiting.png images/waiting.svg
echo "images/waiting.png (720x96)"

# Application icon: the window icon comes from the 256 px one; the others go into the icon theme's size folders.
for size in 48 64 128 256; do
    render icons/lumo-webcam.svg "$size" "icons/lumo-webcam-$size.png"
done
