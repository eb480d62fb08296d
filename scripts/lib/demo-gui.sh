# The settings dialog and the virtual-machine picker at work: scripts/demo --gui.
# Sourced by scripts/demo once its Wine prefix is ready (brennow.dll and the stand-in
# server registered for the demo's first bitness, win32 where 32-bit programs run, else
# win64; BRENNOW_STANDIN_INVENTORY naming the sample inventory).
# Opens the settings dialog for esx01.example.test with the account monitor / s3cret!,
# presses "...", picks a machine in the picker by double-click and presses OK. The
# display is the demo's private Xvfb, so what the windows looked like is kept as pictures:
# build/screenshots/demo-settings.png and build/screenshots/demo-picker.png.
# shellcheck shell=bash
# From scripts/demo: root, arches, the colours bold/dim/red/plain, step, w (scripts/lib/wine.sh).
# shellcheck disable=SC2154

gui_host=esx01.example.test
gui_user=monitor
gui_password='s3cret!'
gui_machine=db01
export BRENNOW_SCREENSHOTS="$root/build/screenshots"
mkdir -p "$BRENNOW_SCREENSHOTS"
rm -f "$BRENNOW_SCREENSHOTS/demo-settings.png" "$BRENNOW_SCREENSHOTS/demo-picker.png"

gui_arch=${arches[0]}
gui_bits=32
[ "$gui_arch" = win64 ] && gui_bits=64

echo
step "The settings dialog and its picker (${gui_bits}-bit component, stand-in inventory standin/sample-inventory.txt)"
# The stored password is Base64 of its single-byte codes (plain ASCII here).
set +e
w "$gui_arch" "build/$gui_arch/settings_demo.exe" "$gui_host" "$gui_user" \
  "$(printf '%s' "$gui_password" | base64 -w0)" "$gui_machine" | sed 's/\r$//; s/^/   /'
gui_status=${PIPESTATUS[0]}
set -e

echo
if [ "$gui_status" -eq 0 ]; then
  printf '   %sPictures%s   %s\n' "$dim" "$plain" "build/screenshots/demo-settings.png"
  printf '              %s\n' "build/screenshots/demo-picker.png"
else
  printf '   %sThe demo did not run through (exit code %d).%s\n' "$red" "$gui_status" "$plain"
fi
echo
[ "$gui_status" -eq 0 ]
