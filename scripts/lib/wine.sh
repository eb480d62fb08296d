# Wine test and demo environment: a throwaway win64 prefix under build/, a private
# Xvfb display, and cleanup on every exit path. Source it, then call wine_setup NAME.
# Prefixes are booted and driven by the 64-bit loader; the 32-bit loader starts 32-bit
# programs only, and only where this machine runs them (scripts/lib/win32.sh).
# shellcheck shell=bash

# shellcheck source=win32.sh
source "$(dirname "${BASH_SOURCE[0]}")/win32.sh"

WINE64_LOADER=/usr/lib/wine/wine64
: "${BRENNOW_WINE_TIMEOUT:=120}"

_wine_cleanup() {
  if [ -n "${WINEPREFIX:-}" ] && [ -d "$WINEPREFIX" ]; then
    WINEPREFIX="$WINEPREFIX" timeout 20 wineserver -k >/dev/null 2>&1 || true
    [ -n "${BRENNOW_KEEP_PREFIX:-}" ] || rm -rf "$WINEPREFIX"
  fi
  if [ -n "${_xvfb_pid:-}" ]; then
    kill "$_xvfb_pid" >/dev/null 2>&1 || true
    wait "$_xvfb_pid" 2>/dev/null || true
  fi
}

_start_xvfb() {
  local n
  for n in $(seq 90 140); do
    [ -e "/tmp/.X$n-lock" ] && continue
    Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
    _xvfb_pid=$!
    local i
    for i in $(seq 1 50); do
      [ -e "/tmp/.X11-unix/X$n" ] && { export DISPLAY=":$n"; return 0; }
      kill -0 "$_xvfb_pid" 2>/dev/null || break
      sleep 0.1
    done
  done
  echo "wine.sh: could not start Xvfb" >&2
  return 1
}

# A template prefix is made once per checkout (wineboot takes ~20 s); each run copies it.
_template_prefix() {
  local template="$1/prefixes/template"
  mkdir -p "$1/prefixes"
  # Several runs may start at once: one makes the template, the others wait for it.
  exec {lock_fd}>"$1/prefixes/.template.lock"
  flock "$lock_fd"
  if [ ! -f "$template/.ready" ]; then
    rm -rf "$template"
    mkdir -p "$template"
    # A boot cut off by the timeout leaves a prefix without its settings: no ready mark then,
    # so the next run boots it again instead of copying a broken template.
    if ! WINEPREFIX="$template" WINEARCH=win64 timeout 180 "$WINE64_LOADER" wineboot -i >/dev/null 2>&1; then
      echo "wine.sh: wineboot failed or timed out" >&2
      WINEPREFIX="$template" timeout 20 wineserver -k >/dev/null 2>&1 || true
      flock -u "$lock_fd"
      exec {lock_fd}>&-
      return 1
    fi
    WINEPREFIX="$template" timeout 60 "$WINE64_LOADER" reg add 'HKCU\Software\Wine\X11 Driver' \
      /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
    WINEPREFIX="$template" timeout 20 wineserver -w >/dev/null 2>&1 || true
    WINEPREFIX="$template" timeout 20 wineserver -k >/dev/null 2>&1 || true
    touch "$template/.ready"
  fi
  flock -u "$lock_fd"
  exec {lock_fd}>&-
  echo "$template"
}

# wine_setup NAME: fresh prefix build/prefixes/NAME-PID, Xvfb, cleanup trap.
wine_setup() {
  local build="$BRENNOW_ROOT/build"
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="
  export WINEARCH=win64
  # w32 answers from the probe; a script that did not ask yet has it asked here.
  win32_probe 2>/dev/null || true
  local template
  template=$(_template_prefix "$build") || return 1
  export WINEPREFIX="$build/prefixes/$1-$$"
  rm -rf "$WINEPREFIX"
  cp -a "$template" "$WINEPREFIX"
  # Debian's Wine does not load its own Tahoma and Marlett: give the prefix copies, so
  # dialogs use the system font they were designed for and frames draw their buttons.
  local font
  for font in tahoma.ttf tahomabd.ttf marlett.ttf; do
    [ -f "/usr/share/wine/fonts/$font" ] && cp "/usr/share/wine/fonts/$font" "$WINEPREFIX/drive_c/windows/Fonts/"
  done
  trap _wine_cleanup EXIT
  trap 'exit 130' INT TERM
  _start_xvfb
  # One server for the prefix's whole life: a program started while the server of the one
  # before is shutting down can fail to start without a word.
  timeout 20 wineserver -p >/dev/null 2>&1 || true
}

# Runs a 32-bit Windows program; refuses where this machine runs none.
w32() {
  if ! win32_runs; then
    echo "w32 $1: 32-bit programs do not run here (${BRENNOW_WIN32_REASON:-not probed})" >&2
    return 126
  fi
  timeout "$BRENNOW_WINE_TIMEOUT" wine "$@"
}
# Runs a 64-bit Windows program.
w64() { timeout "$BRENNOW_WINE_TIMEOUT" "$WINE64_LOADER" "$@"; }
# w ARCH PROGRAM ARGS: ARCH is win32 or win64.
w() { local arch=$1; shift; if [ "$arch" = win64 ]; then w64 "$@"; else w32 "$@"; fi; }

# w_trusting PEM ARCH PROGRAM ARGS: runs PROGRAM as w does, with the certificates in PEM among the
# system's trusted roots, and BRENNOW_TRUSTED_ROOTS=1 to tell it so. Wine reads its roots from the
# host's bundle, so a private mount namespace gets a bundle that holds them too; where that cannot
# be made (no mount namespace, no bundle), PROGRAM runs as w runs it.
w_trusting() {
  local pem=$1 bundle=/etc/ssl/certs/ca-certificates.crt
  shift
  if [ -f "$bundle" ] && [ -f "$pem" ] && unshare -m true 2>/dev/null; then
    local merged="$WINEPREFIX/trusted-roots.pem"
    cat "$bundle" "$pem" >"$merged"
    # shellcheck disable=SC2016
    unshare -m bash -c 'mount --bind "$1" "$2" && shift 2 &&
      source "$BRENNOW_ROOT/scripts/lib/wine.sh" && BRENNOW_TRUSTED_ROOTS=1 w "$@"' \
      _ "$merged" "$bundle" "$@"
  else
    w "$@"
  fi
}

# wreg VIEW ARGS: the 64-bit reg.exe on the registry view of VIEW (win32 or win64).
wreg() {
  local view=/reg:64
  [ "$1" = win32 ] && view=/reg:32
  shift
  w64 reg "$@" "$view"
}

# Windows path of a Unix path inside the prefix's Z: drive.
winpath() { echo "Z:$(realpath "$1" | sed 's#/#\\#g')"; }

# Registers a DLL with the regsvr32 of its own bitness.
register_dll() {
  local arch=$1 dll=$2
  w "$arch" regsvr32 /s "$(winpath "$dll")"
}
unregister_dll() {
  local arch=$1 dll=$2
  w "$arch" regsvr32 /s /u "$(winpath "$dll")"
}
