#!/usr/bin/env bash
# The Windows Installer packages under Wine, each run in a prefix of its own.
#   msi.sh win32|win64: the package of that bitness: silent install, a script host's check
#     through the installed component, the same registry as regsvr32 writes, an upgrade to the
#     next version, and a removal that leaves nothing behind.
#   msi.sh both: both packages side by side; removing one leaves the other working.
# Ends with "N passed, N failed".
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
export BRENNOW_ROOT=$root
cd "$root" || exit 1
mode=${1:-}
case "$mode" in
  win32 | win64 | both) ;;
  *) echo "usage: $0 win32|win64|both" >&2; exit 2 ;;
esac

# shellcheck source=../../scripts/lib/results.sh
source "$root/scripts/lib/results.sh"
# shellcheck source=../../scripts/lib/wine.sh
source "$root/scripts/lib/wine.sh"
# shellcheck source=../../scripts/lib/package.sh
source "$root/scripts/lib/package.sh"

suite="package-$mode"
# The 32-bit package is installed and used by 32-bit programs.
if [ "$mode" != win64 ] && { ! win32_probe || ! win32_runs; }; then
  echo "msi.sh $mode needs a machine that runs 32-bit programs: $BRENNOW_WIN32_REASON"
  echo "0 passed, 1 failed"
  exit 1
fi
clsid='{AB26CB4D-4D32-4407-A460-6F3A900F6DF2}'
iid='{56052822-65B9-4909-B283-2A9D0925F921}'

# What a package must write as regsvr32 does, and remove again: "VIEW KEY", each key whole.
# VIEW is the registry view of the package's bitness (own) or a fixed one. The 64-bit DLL's
# RegisterTypeLib also writes the interface in the 32-bit view (win32-from-win64); the 32-bit
# DLL's writes it in the 64-bit view as well, which a 32-bit package cannot. The ProgID and the
# type library keys are one key for both views (shared), read through the 64-bit view: Wine's
# 64-bit reg.exe does not find them with /reg:32.
compare_keys=(
  "own HKCR\\CLSID\\$clsid"
  'shared HKCR\brennow.vmwarecom'
  'shared HKCR\TypeLib\{80CF4F73-BD0A-4905-BA51-FBF4B18C431A}'
  "own HKCR\\Interface\\$iid"
  "win32-from-win64 HKCR\\Interface\\$iid"
)
# Nothing of either bitness may stay behind.
removed_keys=("${compare_keys[@]}" "win64 HKCR\\Interface\\$iid" "win64 HKCR\\CLSID\\$clsid"
  "win32 HKCR\\CLSID\\$clsid" "win32 HKCR\\Interface\\$iid")

package_arch() { if [ "$1" = win64 ]; then echo x64; else echo x86; fi; }
program_files() { if [ "$1" = win64 ]; then echo 'Program Files'; else echo 'Program Files (x86)'; fi; }
product_name() { if [ "$1" = win64 ]; then echo 'Corvalen VMware Check (64-bit)'; else echo 'Corvalen VMware Check (32-bit)'; fi; }
package_of() { echo "build/packages/brennow-$(package_arch "$1").msi"; }
next_package_of() { echo "build/packages/next-$1/brennow-$(package_arch "$1").msi"; }
installed_file() { echo "$WINEPREFIX/drive_c/$(program_files "$1")/Corvalen/brennow/$2"; }
# The product version of a DLL: major.minor.revision of its file version.
product_version() { packaging/file-version.pl "$1" | awk -F. '{ print $1 "." $2 "." $4 }'; }

# registry_snapshot TREE KEYS...: the keys' exported contents, each after a "== VIEW KEY" line.
# The 64-bit reg.exe reads either view.
registry_snapshot() {
  local tree=$1 entry view key out
  shift
  out=$(mktemp -u)
  for entry in "$@"; do
    view=${entry%% *} key=${entry#* }
    case "$view" in
      own) view=$tree ;;
      shared) view=win64 ;;
      win32-from-win64) [ "$tree" = win64 ] || continue; view=win32 ;;
    esac
    echo "== $view $key"
    wreg "$view" export "$key" "$(winpath "$(dirname "$out")")\\$(basename "$out").reg" /y >/dev/null 2>&1 &&
      iconv -f UTF-16 -t UTF-8 "$out.reg" | tr -d '\r' | grep -v '^Windows Registry Editor'
    rm -f "$out.reg"
  done
}

# The products of a bitness as Programs and Features lists them: "name version" lines.
installed_products() {
  local tree=$1
  wreg "$tree" query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null |
    tr -d '\r' | awk '/^HKEY/ { if (name != "") print name " " version; name = ""; version = "" }
      $1 == "DisplayName" { $1 = ""; $2 = ""; name = substr($0, 3) }
      $1 == "DisplayVersion" { version = $3 }
      END { if (name != "") print name " " version }' | grep -F "$(product_name "$tree")" || true
}

expect_equal() { # expect_equal WHAT EXPECTED ACTUAL
  [ "$2" = "$3" ] && return 0
  echo "$1: expected [$2], got [$3]"
  return 1
}

msi_run() { # msi_run TREE /i|/x PACKAGE [PROPERTY=VALUE...]
  local tree=$1 option=$2 package=$3
  shift 3
  w "$tree" msiexec "$option" "$(winpath "$package")" "$@" /qn || { echo "msiexec $option $package $* failed"; return 1; }
}

# The packages, and for the upgrade one of the next version: the same files, the DLL's
# revision one higher.
build_packages() {
  local tree next_dir
  for tree in "$@"; do
    "$root/scripts/package" "$(package_arch "$tree")" || return 1
    next_dir=$(dirname "$(next_package_of "$tree")")
    rm -rf "$next_dir" && mkdir -p "$next_dir" &&
      cp "build/$tree/brennow.dll" "build/$tree/brennow.chm" "build/$tree/brennow-check.exe" "$next_dir/" &&
      tests/package/next-version.pl "$next_dir/brennow.dll" &&
      package_msi "$(package_arch "$tree")" "$next_dir" "$(next_package_of "$tree")" || return 1
  done
}

# What deployment tools read from a package: "FIELD VALUE" lines of its summary information,
# properties and file versions (the help file and the runner take the DLL's, as companions).
# The upgrade codes are fixed for good: a changed one would not upgrade.
package_facts() { # package_facts PACKAGE
  msiinfo suminfo "$1" | sed -n 's/^\(Author\|Subject\|Template\): /\1 /p; s/^Comments: ..*/Comments filled in/p'
  msiinfo export "$1" Property | tr '\t' ' ' | tr -d '\r' | grep -E '^(ALLUSERS|ProductVersion|UpgradeCode) '
  msiinfo export "$1" File | tr -d '\r' | awk -F'\t' 'NR > 3 { print "File " $3 " " $5 }'
}
expected_facts() { # expected_facts TREE
  local platform=Intel upgrade_code='{4F0E9E55-7C1B-4C7B-9C8D-2B8C1E6A0A32}'
  [ "$1" = win64 ] && platform=x64 upgrade_code='{4F0E9E55-7C1B-4C7B-9C8D-2B8C1E6A0A64}'
  printf '%s\n' "Subject $(product_name "$1")" "Author Corvalen" "Comments filled in" \
    "Template $platform;1033" "ALLUSERS 1" "ProductVersion $(product_version "build/$1/brennow.dll")" \
    "UpgradeCode $upgrade_code" "File brennow.dll $(packaging/file-version.pl "build/$1/brennow.dll")" \
    "File brennow.chm brennow.dll" "File brennow-check.exe brennow.dll"
}
package_described() { # package_described TREE
  diff <(expected_facts "$1") <(package_facts "$(package_of "$1")")
}

install_package() { # install_package TREE PACKAGE
  local tree=$1 file
  msi_run "$tree" /i "$2" || return 1
  for file in brennow.dll brennow.chm brennow-check.exe; do
    [ -f "$(installed_file "$tree" "$file")" ] || { echo "$file is not in $(program_files "$tree")"; return 1; }
  done
  expect_equal "installed products" "$(product_name "$tree") $(product_version "build/$tree/brennow.dll")" \
    "$(installed_products "$tree")"
}

script_check() { # script_check TREE: cscript of that bitness
  BRENNOW_STANDIN_INVENTORY=$(winpath standin/sample-inventory.txt) \
    w "$1" cscript //nologo "$(winpath tests/package/installed.vbs)"
}

upgrade() { # upgrade TREE
  local tree=$1 next_dll
  next_dll="$(dirname "$(next_package_of "$tree")")/brennow.dll"
  msi_run "$tree" /i "$(next_package_of "$tree")" || return 1
  expect_equal "installed products" "$(product_name "$tree") $(product_version "$next_dll")" \
    "$(installed_products "$tree")" &&
    expect_equal "installed brennow.dll" "$(packaging/file-version.pl "$next_dll")" \
      "$(packaging/file-version.pl "$(installed_file "$tree" brennow.dll)")"
}

# remove TREE PACKAGE: the product goes, its files and folders with it.
remove() {
  local tree=$1 folder
  folder="$WINEPREFIX/drive_c/$(program_files "$tree")/Corvalen"
  msi_run "$tree" /x "$2" || return 1
  expect_equal "installed products" "" "$(installed_products "$tree")" &&
    { [ ! -e "$folder" ] || { echo "left behind:"; find "$folder"; false; }; }
}

nothing_left() { # nothing_left TREE
  expect_equal "registry" "$(registry_snapshot "$1" "${removed_keys[@]}" | grep '^==')" \
    "$(registry_snapshot "$1" "${removed_keys[@]}")"
}

# regsvr32 of the same files in the same folder must give what the package wrote.
same_registry_as_regsvr32() { # same_registry_as_regsvr32 TREE SNAPSHOT_AFTER_INSTALL
  local tree=$1 folder registered
  folder=$(dirname "$(installed_file "$tree" brennow.dll)")
  mkdir -p "$folder" && cp "build/$tree/brennow.dll" "build/$tree/brennow.chm" "$folder/" &&
    w "$tree" regsvr32 /s "C:\\$(program_files "$tree")\\Corvalen\\brennow\\brennow.dll" || return 1
  registered=$(registry_snapshot "$tree" "${compare_keys[@]}")
  diff -u <(echo "$2") <(echo "$registered") &&
    echo "the package's registry rows equal regsvr32's: $(echo "$registered" | grep -c '^@\|^"') values"
}

one_package() {
  local tree=$1 installed
  run_check "$suite/install" install_package "$tree" "$(package_of "$tree")"
  installed=$(registry_snapshot "$tree" "${compare_keys[@]}")
  run_counted "$suite/installed.vbs" script_check "$tree"
  run_check "$suite/upgrade" upgrade "$tree"
  run_counted "$suite/installed.vbs after upgrade" script_check "$tree"
  run_check "$suite/remove" remove "$tree" "$(next_package_of "$tree")"
  run_check "$suite/nothing left in the registry" nothing_left "$tree"
  run_check "$suite/registry as regsvr32" same_registry_as_regsvr32 "$tree" "$installed"
}

# Both installed side by side. The ProgID and the type library's version key are one key for
# both bitnesses: removing one package takes them along, and a repair of the other that
# rewrites its machine registry entries writes them again (Wine's msiexec /fm fails).
side_by_side() {
  run_check "$suite/install x86" install_package win32 "$(package_of win32)"
  run_check "$suite/install x64" install_package win64 "$(package_of win64)"
  run_counted "$suite/installed.vbs 32-bit" script_check win32
  run_counted "$suite/installed.vbs 64-bit" script_check win64
  run_check "$suite/remove x86" remove win32 "$(package_of win32)"
  run_check "$suite/repair x64" msi_run win64 /i "$(package_of win64)" REINSTALL=ALL REINSTALLMODE=m
  run_counted "$suite/installed.vbs 64-bit after repair" script_check win64
  run_check "$suite/remove x64" remove win64 "$(package_of win64)"
  run_check "$suite/nothing left in the registry" nothing_left win64
}

echo "== $suite"
trees=("$mode")
[ "$mode" = both ] && trees=(win32 win64)
run_check "$suite/packages build" build_packages "${trees[@]}"
[ "$total_failed" -eq 0 ] || { summary; exit 1; }

for tree in "${trees[@]}"; do
  run_check "$suite/package described $tree" package_described "$tree"
done
wine_setup "$suite"
for tree in "${trees[@]}"; do
  run_check "$suite/register stand-in $tree" register_dll "$tree" "build/$tree/vmstandin.dll"
done
if [ "$mode" = both ]; then side_by_side; else one_package "$mode"; fi
summary
