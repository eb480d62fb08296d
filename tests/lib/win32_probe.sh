#!/usr/bin/env bash
# The 32-bit probe of scripts/lib/win32.sh against stand-in loaders: a kernel that runs no
# 32-bit code (an ELF of a machine no kernel runs, which fails as a 32-bit ELF fails there:
# exit 126, "Exec format error"), a working loader, and loaders that fail in other ways,
# which must not pass for a machine without 32-bit. Ends with "N passed, N failed".
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# An ELF whose machine field says EM_NONE: execve refuses it with ENOEXEC.
cp /bin/true "$scratch/foreign-elf"
printf '\x00\x00' | dd of="$scratch/foreign-elf" bs=1 seek=18 conv=notrunc status=none
# Loaders that note every start in $scratch/starts.
printf '#!/bin/sh\necho start >>"%s/starts"\necho wine-8.0\n' "$scratch" >"$scratch/working"
printf '#!/bin/sh\necho "wine: could not load ntdll.so" >&2\nexit 1\n' >"$scratch/broken"
printf '#!/bin/sh\necho wine-8.0\n' >"$scratch/not-executable"
chmod +x "$scratch/working" "$scratch/broken"

# The bash -c scripts below expand their own arguments.
# shellcheck disable=SC2016
# probe LOADER MODE: "STATUS RUNS PROBE" of win32_probe in a fresh run, then its reason.
probe() {
  env -u BRENNOW_WIN32_RUNS -u BRENNOW_WIN32_PROBE -u BRENNOW_WIN32_REASON \
    BRENNOW_WINE32_LOADER="$1" BRENNOW_WIN32="$2" bash -c '
      source "$0/scripts/lib/win32.sh"
      win32_probe 2>/dev/null
      echo "$? $BRENNOW_WIN32_RUNS $BRENNOW_WIN32_PROBE"
      echo "$BRENNOW_WIN32_REASON"' "$root"
}

passed=0 failed=0
expect() { # expect WHAT EXPECTED ACTUAL
  if [ "$2" = "$3" ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAIL $1: expected [$2], got [$3]"
  fi
}

# loader, BRENNOW_WIN32, expected "status runs probe", a word the reason must hold
cases=(
  "foreign-elf||0 no ok|Exec format error"
  "working||0 yes ok|"
  "broken||1 no failed|could not load ntdll.so"
  "not-executable||1 no failed|exit 126"
  "missing||1 no failed|exit 127"
  "working|skip|0 no ok|BRENNOW_WIN32=skip"
  "foreign-elf|skip|0 no ok|BRENNOW_WIN32=skip"
  "working|require|0 yes ok|"
  "foreign-elf|require|1 no failed|BRENNOW_WIN32=require, but this machine runs no 32-bit"
  "working|sometimes|1 no failed|expected skip or require"
)
for entry in "${cases[@]}"; do
  IFS='|' read -r loader mode expected word <<<"$entry"
  answer=$(probe "$scratch/$loader" "$mode")
  expect "$loader, BRENNOW_WIN32=$mode" "$expected" "$(head -1 <<<"$answer")"
  reason=$(tail -n +2 <<<"$answer")
  if [ -n "$word" ]; then
    holds=no
    [[ $reason == *"$word"* ]] && holds=yes
    expect "$loader, BRENNOW_WIN32=$mode: reason [$reason] holds [$word]" yes "$holds"
  else
    expect "$loader, BRENNOW_WIN32=$mode: no reason" "" "$reason"
  fi
done

# BRENNOW_WIN32=skip never starts the loader; one probe serves the run and the scripts it starts.
rm -f "$scratch/starts"
probe "$scratch/working" skip >/dev/null
touch "$scratch/starts"
expect "starts of the loader with skip" 0 "$(wc -l <"$scratch/starts")"
# shellcheck disable=SC2016
env -u BRENNOW_WIN32_RUNS -u BRENNOW_WIN32_PROBE -u BRENNOW_WIN32_REASON -u BRENNOW_WIN32 \
  BRENNOW_WINE32_LOADER="$scratch/working" bash -c '
    source "$0/scripts/lib/win32.sh"
    win32_probe && win32_probe && bash -c "source \"\$0/scripts/lib/win32.sh\"; win32_probe" "$0"' "$root"
expect "starts of the loader for three probes in two processes" 1 "$(wc -l <"$scratch/starts")"

# Where 32-bit programs do not run, w32 refuses before starting Wine.
# shellcheck disable=SC2016
refusal=$(env BRENNOW_WIN32_RUNS=no BRENNOW_WIN32_PROBE=ok BRENNOW_WIN32_REASON="a reason" \
  BRENNOW_ROOT="$root" bash -c 'source "$0/scripts/lib/wine.sh"; w32 regsvr32 /s x.dll; echo "exit $?"' "$root" 2>&1)
expect "w32 without 32-bit" "w32 regsvr32: 32-bit programs do not run here (a reason)
exit 126" "$refusal"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
