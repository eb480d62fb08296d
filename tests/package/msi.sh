#!/usr/bin/env bash
# The Windows Installer package of one bitness under Wine, in a prefix of its own:
# silent install, a script host's check through the installed component, the same registry
# as regsvr32 writes, an upgrade to the next version, and a removal that leaves nothing.
# Usage: tests/package/msi.sh win32|win64. Ends with "N passed, N failed".
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
export BRENNOW_ROOT=$root
cd "$root"
tree=$1
case "$tree" in
  win32) arch=x86 program_files='Program Files (x86)' bitness=32-bit ;;
  win64) arch=x64 program_files='Program Files' bitness=64-bit ;;
  *) echo "usage: $0 win32|win64" >&2; exit 2 ;;
esac

# shellcheck source=../../scripts/lib/results.sh
source "$root/scripts/lib/results.sh"
# shellcheck source=../../scripts/lib/wine.sh
source "$root/scripts/lib/wine.sh"
# shellcheck source=../../scripts/lib/package.sh
source "$root/scripts/lib/package.sh"

suite="package-$tree"
package="build/packages/brennow-$arch.msi"
next_dir="build/packages/next-$tree"
next_package="$next_dir/brennow-$arch.msi"
folder_win="C:\\$program_files\\Corvalen\\brennow"
product="Corvalen VMware Check ($bitness)"

# What the package must write as regsvr32 does, and remove again: each key whole, in
# the registry view of the package's bitness, and for the 64-bit package also the interface
# in the 32-bit view (Wine's RegisterTypeLib registers interfaces in both views; a 32-bit
# package cannot write the 64-bit one).
compare_keys=(
  'own HKCR\CLSID\{AB26CB4D-4D32-4407-A460-6F3A900F6DF2}'
  'own HKCR\brennow.vmwarecom'
  'own HKCR\TypeLib\{80CF4F73-BD0A-4905-BA51-FBF4B18C431A}'
  'own HKCR\Interface\{56052822-65B9-4909-B283-2A9D0925F921}'
)
[ "$tree" = win64 ] && compare_keys+=('win32 HKCR\Interface\{56052822-65B9-4909-B283-2A9D0925F921}')
# Removal is checked in both views.
removed_keys=("${compare_keys[@]}" 'other HKCR\Interface\{56052822-65B9-4909-B283-2A9D0925F921}'
  'other HKCR\CLSID\{AB26CB4D-4D32-4407-A460-6F3A900F6DF2}')

view_arch() { # view_arch own|other|win32|win64
  case "$1" in
    own) echo "$tree" ;;
    other) if [ "$tree" = win64 ]; then echo win32; else echo win64; fi ;;
    *) echo "$1" ;;
  esac
}

# registry_snapshot KEYS...: the keys' exported contents, one "view key" heading each.
registry_snapshot() {
  local entry view key out
  out=$(mktemp)
  for entry in "$@"; do
    view=$(view_arch "${entry%% *}") key=${entry#* }
    echo "== $view $key"
    rm -f "$out.reg"
    w "$view" reg export "$key" "$(winpath "$out").reg" /y >/dev/null 2>&1 &&
      iconv -f UTF-16 -t UTF-8 "$out.reg" | tr -d '\r' | grep -v '^Windows Registry Editor'
  done
  rm -f "$out" "$out.reg"
}

# The installed products of this bitness as Add/Remove Programs lists them: "name version".
installed_products() {
  w "$tree" reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null |
    tr -d '\r' | awk '/^HKEY/ { if (name != "") print name " " version; name = ""; version = "" }
      $1 == "DisplayName" { $1 = ""; $2 = ""; name = substr($0, 3) }
      $1 == "DisplayVersion" { version = $3 }
      END { if (name != "") print name " " version }' | grep -F "$product" || true
}

installed_file() { echo "$WINEPREFIX/drive_c/$program_files/Corvalen/brennow/$1"; }

expect_equal() { # expect_equal WHAT EXPECTED ACTUAL
  [ "$2" = "$3" ] && return 0
  echo "$1: expected [$2], got [$3]"
  return 1
}

build_packages() {
  "$root/scripts/package" "$arch" || return 1
  rm -rf "$next_dir" && mkdir -p "$next_dir" &&
    cp "build/$tree/brennow.dll" "build/$tree/brennow.chm" "build/$tree/brennow-check.exe" "$next_dir/" &&
    "$root/tests/package/next-version.pl" "$next_dir/brennow.dll" &&
    package_msi "$arch" "$next_dir" "$next_package"
}

msi_run() { w "$tree" msiexec "$@" /qn; }

install_first() {
  msi_run /i "$(winpath "$package")" || return 1
  local file
  for file in brennow.dll brennow.chm brennow-check.exe; do
    [ -f "$(installed_file "$file")" ] || { echo "$file is not in $folder_win"; return 1; }
  done
  expect_equal "installed products" "$product $version" "$(installed_products)"
}

script_check() {
  BRENNOW_STANDIN_INVENTORY=$(winpath standin/sample-inventory.txt) \
    w "$tree" cscript //nologo "$(winpath tests/package/installed.vbs)"
}

upgrade() {
  msi_run /i "$(winpath "$next_package")" || return 1
  expect_equal "installed products" "$product $next_version" "$(installed_products)" &&
    expect_equal "installed brennow.dll" "$next_file_version" \
      "$(packaging/file-version.pl "$(installed_file brennow.dll)")"
}

remove_all() {
  msi_run /x "$(winpath "$next_package")" || return 1
  expect_equal "installed products" "" "$(installed_products)" &&
    expect_equal "registry" "$(registry_snapshot "${removed_keys[@]}" | grep '^==')" \
      "$(registry_snapshot "${removed_keys[@]}")" &&
    { [ ! -e "$WINEPREFIX/drive_c/$program_files/Corvalen" ] ||
      { echo "left behind:"; find "$WINEPREFIX/drive_c/$program_files/Corvalen"; false; }; }
}

# regsvr32 of the same files in the same folder must give what the package wrote.
same_registry_as_regsvr32() {
  local folder
  folder=$(dirname "$(installed_file brennow.dll)")
  mkdir -p "$folder" && cp "build/$tree/brennow.dll" "build/$tree/brennow.chm" "$folder/" &&
    w "$tree" regsvr32 /s "$folder_win\\brennow.dll" || return 1
  local registered
  registered=$(registry_snapshot "${compare_keys[@]}")
  diff -u <(echo "$installed_registry") <(echo "$registered") &&
    echo "the package's registry rows equal regsvr32's: ${#compare_keys[@]} keys"
}

echo "== $suite"
run_check "$suite/packages build" build_packages
[ "$total_failed" -eq 0 ] || { summary; exit 1; }
version=$(packaging/file-version.pl "build/$tree/brennow.dll" | awk -F. '{ print $1 "." $2 "." $4 }')
next_file_version=$(packaging/file-version.pl "$next_dir/brennow.dll")
next_version=$(echo "$next_file_version" | awk -F. '{ print $1 "." $2 "." $4 }')

wine_setup "$suite"
run_check "$suite/register stand-in" register_dll "$tree" "build/$tree/vmstandin.dll"
run_check "$suite/install" install_first
installed_registry=$(registry_snapshot "${compare_keys[@]}")
run_counted "$suite/installed.vbs" script_check
run_check "$suite/upgrade" upgrade
run_counted "$suite/installed.vbs after upgrade" script_check
run_check "$suite/remove" remove_all
run_check "$suite/registry as regsvr32" same_registry_as_regsvr32
summary
