# Windows Installer packages with wixl. Source it, then call package_msi.
# shellcheck shell=bash

# package_msi ARCH BINDIR OUTPUT: packs BINDIR's brennow.dll, brennow.chm and brennow-check.exe
# into OUTPUT for ARCH (x86 or x64). The version comes from brennow.dll's version resource.
package_msi() {
  local arch=$1 bindir=$2 output=$3
  local wxs="$BRENNOW_ROOT/packaging/brennow.wxs"
  local version major minor build revision
  version=$("$BRENNOW_ROOT/packaging/file-version.pl" "$bindir/brennow.dll") || return 1
  IFS=. read -r major minor build revision <<<"$version"
  # The installer compares only the first three fields of a product version; the component
  # counts its builds in the fourth ("1.00.0007") and leaves the third at 0.
  if [ "$build" -ne 0 ]; then
    echo "package: brennow.dll $version: the third field must be 0 to be packaged" >&2
    return 1
  fi
  mkdir -p "$(dirname "$output")"
  output=$(realpath "$output")
  rm -f "$output"
  # wixl takes only relative source paths: run it in the folder of the files.
  (cd "$bindir" && wixl -a "$arch" -D Arch="$arch" -D Version="$major.$minor.$revision" \
    -D BinDir=. -o "$output" "$wxs") || return 1
  # wixl leaves the File table's versions empty. The DLL's version makes it a versioned file;
  # the help file and the runner, which have none of their own, are its companions: the
  # installer replaces them with it.
  local file
  msibuild "$output" -q "UPDATE \`File\` SET \`Version\` = '$version' WHERE \`File\` = 'brennow.dll'" || return 1
  for file in brennow.chm brennow_check.exe; do
    msibuild "$output" -q "UPDATE \`File\` SET \`Version\` = 'brennow.dll' WHERE \`File\` = '$file'" || return 1
  done
}
