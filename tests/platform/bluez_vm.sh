#!/usr/bin/env bash
# bluez_vm.sh VM_DIR TEST FILE... - runs TEST (bluez_vm_test) in the BlueZ VM of VM_DIR/bluez after
# its guest script has set up the real stack: two virtual controllers, bluetoothd, the system bus and
# the pairing of the "PC" hci1 with the "phone" hci0. TEST and the FILEs it needs (the simulator, the
# headless front end, Qt's offscreen platform plugin for the transport dialog) go into the guest with
# their libraries; programs land in /usr/local/bin. Exit status: the guest's (0 when every check
# passed), or 125 when the VM cannot run here (the first run needs root and the Debian mirror), which
# CTest counts as skipped.
set -euo pipefail
VM=$1 TEST=$2
shift 2
skip() { echo "bluez_vm: SKIPPED: $*"; exit 125; }
[ -x "$VM/bluez/run.sh" ] || skip "no BlueZ VM recipe at $VM/bluez"
command -v cpio >/dev/null || skip "cpio is missing (scripts/setup.sh installs it)"
# The recipe builds its BlueZ overlay on first use; done here, a machine without the mirror skips.
W=${BLUEZ_VM_WORK:-/tmp/bluez-vm}
mkdir -p "$W"
[ -s "$W/bluez.cpio" ] || bash "$VM/bluez/make-bluez-overlay.sh" "$W/bluez.cpio" ||
    skip "the BlueZ packages could not be downloaded"

TMP=$(mktemp -d "${TMPDIR:-/tmp}/bluez-vm-test.XXXXXX")
trap 'rm -rf "$TMP"' EXIT
bash "$VM/make-overlay.sh" "$TMP/lumo.cpio" "$TEST" "$@"

# What the PC's BlueZ knew before the test (its controller's address is btvirt's fixed one): a
# device it has seen but not paired with, and one paired without ever telling its name.
store=$TMP/seed/var/lib/bluetooth/00:AA:01:01:00:01
mkdir -p "$store/00:AA:01:00:00:77" "$store/00:AA:01:00:00:88"
printf '[General]\nName=Unpaired Gadget\nSupportedTechnologies=BR/EDR;\n' >"$store/00:AA:01:00:00:77/info"
printf '[General]\nSupportedTechnologies=BR/EDR;\n\n[LinkKey]\nKey=00112233445566778899AABBCCDDEEFF\nType=4\nPINLength=0\n' \
    >"$store/00:AA:01:00:00:88/info"
(cd "$TMP/seed" && find . -mindepth 1 | LC_ALL=C sort | cpio -o -H newc -R 0:0 --quiet) >"$TMP/seed.cpio"

bin=/usr/local/bin
export BLUEZ_VM_OVERLAY="$TMP/lumo.cpio $TMP/seed.cpio"
export VCAM_VM_ENV="LUMO_PHONE_SIM=$bin/lumo-phone-sim LUMO_WEBCAM_CLI=$bin/lumo-webcam-cli QT_QPA_PLATFORM=offscreen"
# The echo server of the recipe's own checks gets another name, so that the simulator's record is the
# only "Bluetooth Camera Server" on the phone. Not exec'd: the trap must still remove the overlays
# (100 MB a run) once the VM is done.
status=0
bash "$VM/bluez/run.sh" --name "Lumo Echo" --phone-name "Lumo Test Phone" -- "$bin/$(basename "$TEST")" || status=$?
exit "$status"
