#!/usr/bin/env bash
# Builds the Debian package from a build folder with CPack and checks what it holds: the file list,
# the control fields, the desktop entry, the AppStream data, the man pages, stripped programs, and
# no lintian errors. Installing it needs root on a real system: scripts/package-roundtrip.sh does that.
#
#   packaging/check-package.sh BUILD_DIR VERSION
set -euo pipefail
build=$(cd "$1" && pwd)
version=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

cpack --config "$build/CPackConfig.cmake" -B "$work" >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; exit 1; }
deb=("$work"/lumo-webcam_"$version"_*.deb)
[ -f "${deb[0]}" ] || { cat "$work/cpack.log"; echo "FAIL: no lumo-webcam_${version}_*.deb" >&2; exit 1; }
echo "built $(basename "${deb[0]}") ($(stat -c %s "${deb[0]}") bytes)"

# Every file, and nothing else: no tests, no simulator on PATH, no headers or static libraries.
expected="./usr/bin/lumo-webcam
./usr/bin/lumo-webcam-cli
./lib/modprobe.d/lumo-webcam.conf
./usr/libexec/lumo-webcam/lumo-phone-sim
./usr/share/applications/lumo-webcam.desktop
./usr/share/bash-completion/completions/lumo-webcam-cli
./usr/share/doc/lumo-webcam/changelog.gz
./usr/share/doc/lumo-webcam/copyright
./usr/share/icons/hicolor/128x128/apps/lumo-webcam.png
./usr/share/icons/hicolor/256x256/apps/lumo-webcam.png
./usr/share/icons/hicolor/48x48/apps/lumo-webcam.png
./usr/share/icons/hicolor/64x64/apps/lumo-webcam.png
./usr/share/icons/hicolor/scalable/apps/lumo-webcam.svg
./usr/share/man/man1/lumo-webcam-cli.1.gz
./usr/share/man/man1/lumo-webcam.1.gz
./usr/share/metainfo/org.example.lumo_webcam.metainfo.xml"
actual=$(dpkg-deb --fsys-tarfile "${deb[0]}" | tar -t | grep -v '/$' | LC_ALL=C sort)
[ "$actual" = "$(LC_ALL=C sort <<<"$expected")" ] ||
    fail "file list differs:"$'\n'"$(diff <(LC_ALL=C sort <<<"$expected") <(echo "$actual"))"

field() { dpkg-deb --field "${deb[0]}" "$1"; }
[ "$(field Package)" = lumo-webcam ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version)"
[ "$(field Maintainer)" = "Lumo Webcam Client developers <lumo-webcam@quillmoor.invalid>" ] ||
    fail "Maintainer: $(field Maintainer)"
[ "$(field Recommends)" = "v4l2loopback-dkms, adb" ] || fail "Recommends: $(field Recommends)"
[ "$(field Suggests)" = bluez ] || fail "Suggests: $(field Suggests)"
# Depends comes from the programs' shared libraries.
depends=$(field Depends)
for library in libc6 libqt6core6 libqt6widgets6 libqt6dbus6 libqt6network6 libturbojpeg0 libbluetooth3; do
    grep -Eq "(^|, )$library( |,|$)" <<<"$depends" || fail "Depends lacks $library: $depends"
done

dpkg-deb -x "${deb[0]}" "$work/root"
root=$work/root
for program in usr/bin/lumo-webcam usr/bin/lumo-webcam-cli usr/libexec/lumo-webcam/lumo-phone-sim; do
    readelf -S "$root/$program" | grep -Eq '\.(debug_info|symtab) ' && fail "$program is not stripped"
done
desktop-file-validate "$root/usr/share/applications/lumo-webcam.desktop" || fail "desktop entry"
appstreamcli validate --no-net "$root/usr/share/metainfo/org.example.lumo_webcam.metainfo.xml" >"$work/as.log" ||
    fail "metainfo: $(cat "$work/as.log")"
for page in lumo-webcam lumo-webcam-cli; do
    file=$root/usr/share/man/man1/$page.1.gz
    zcat "$file" | grep -q "^\.TH \"$page\" \"1\"" || fail "$page.1.gz is no man page"
    # What lintian runs: groff's warnings about the page's markup.
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$file" 2>&1 >/dev/null) ||
        fail "$page.1.gz does not format"
    [ -z "$warnings" ] || fail "$page.1.gz: $warnings"
done
bash -n "$root/usr/share/bash-completion/completions/lumo-webcam-cli" || fail "completion is no bash"

# lintian leaves a temporary database of the ELF files behind; in the work folder it goes with it.
TMPDIR=$work lintian --fail-on error "${deb[0]}" >"$work/lintian.log" 2>&1 || fail "lintian:"$'\n'"$(cat "$work/lintian.log")"
echo "lintian: $(grep -c '^W: ' "$work/lintian.log" || true) warnings"

[ "$failures" -eq 0 ] && echo "package checks passed"
exit $((failures > 0))
