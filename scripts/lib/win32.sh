# Whether this machine runs 32-bit x86 programs. Some kernels run none at all (a 32-bit ELF
# fails with "Exec format error"), and then no 32-bit Windows program runs under Wine either.
# Source it, then call win32_probe once; win32_runs answers from then on.
#
#   BRENNOW_WIN32=skip     leave the 32-bit programs out, on any machine
#   BRENNOW_WIN32=require  a machine that cannot run them is a failure
#
# The answer is asked once per run and exported, so every script the run starts reuses it:
#   BRENNOW_WIN32_RUNS    yes or no
#   BRENNOW_WIN32_REASON  why not, one line (empty for yes)
#   BRENNOW_WIN32_PROBE   ok, or failed when the answer is not acceptable (BRENNOW_WIN32=require
#                         without 32-bit) or could not be had (the loader fails otherwise)
# shellcheck shell=bash

: "${BRENNOW_WINE32_LOADER:=/usr/lib/wine/wine}"

_win32_answer() { # _win32_answer RUNS PROBE REASON
  export BRENNOW_WIN32_RUNS=$1 BRENNOW_WIN32_PROBE=$2 BRENNOW_WIN32_REASON=$3
}

# Runs the 32-bit Wine loader's --version. bash itself execs it: a kernel without 32-bit
# execution then gives exit 126 and "Exec format error" (timeout's execvp would hand the
# file to /bin/sh instead, which fails in its own words).
_win32_ask_loader() {
  local output rc
  # shellcheck disable=SC2016
  output=$(timeout 20 bash -c 'exec "$0" --version' "$BRENNOW_WINE32_LOADER" 2>&1)
  rc=$?
  output=$(printf '%s' "$output" | tr '\n' ' ' | sed 's/ *$//')
  if [ "$rc" -eq 0 ]; then
    _win32_answer yes ok ""
  elif [ "$rc" -eq 126 ] && [[ $output == *"Exec format error"* ]]; then
    _win32_answer no ok "this machine runs no 32-bit x86 programs: $BRENNOW_WINE32_LOADER gives Exec format error"
  else
    _win32_answer no failed "the 32-bit Wine loader $BRENNOW_WINE32_LOADER failed (exit $rc): $output"
  fi
}

# win32_probe: sets the answer unless this run has one; returns 0 when it is acceptable.
# Prints the problem on stderr when it is not.
win32_probe() {
  if [ -z "${BRENNOW_WIN32_RUNS:-}" ]; then
    case "${BRENNOW_WIN32:-}" in
      skip) _win32_answer no ok "BRENNOW_WIN32=skip" ;;
      "" | require) _win32_ask_loader ;;
      *) _win32_answer no failed "BRENNOW_WIN32=${BRENNOW_WIN32}: expected skip or require" ;;
    esac
    if [ "${BRENNOW_WIN32:-}" = require ] && [ "$BRENNOW_WIN32_RUNS" = no ] &&
      [ "$BRENNOW_WIN32_PROBE" = ok ]; then
      _win32_answer no failed "BRENNOW_WIN32=require, but $BRENNOW_WIN32_REASON"
    fi
  fi
  [ "$BRENNOW_WIN32_PROBE" = ok ] && return 0
  echo "32-bit programs: $BRENNOW_WIN32_REASON" >&2
  return 1
}

# win32_runs: 0 when 32-bit programs are run on this machine (after win32_probe).
win32_runs() { [ "${BRENNOW_WIN32_RUNS:-}" = yes ]; }

# The Windows trees whose programs run here: win32 and win64, or win64 alone.
win32_trees() { if win32_runs; then echo win32 win64; else echo win64; fi; }
