# Counting results over all suites. Source it; call the run_* functions; then summary.
# shellcheck shell=bash

total_passed=0
total_failed=0
total_skipped=0
failed_suites=()
skipped_suites=()
skip_reasons=()
: "${BRENNOW_LOGS:=$BRENNOW_ROOT/build/test-logs}"
mkdir -p "$BRENNOW_LOGS"

_count() { # _count SUITE PASSED FAILED
  total_passed=$((total_passed + $2))
  total_failed=$((total_failed + $3))
  [ "$3" -eq 0 ] || failed_suites+=("$1")
  printf '  %-44s %4d passed, %d failed\n' "$1" "$2" "$3"
}

_log_for() { echo "$BRENNOW_LOGS/$(echo "$1" | tr '/ ' '__').log"; }

# run_gtest SUITE COMMAND...: a GoogleTest program; its own summary lines are counted.
# A program that dies before printing them counts as one failure.
run_gtest() {
  local suite=$1; shift
  local log rc
  log=$(_log_for "$suite")
  "$@" >"$log" 2>&1
  rc=$?
  local passed failed
  passed=$(grep -E '^\[  PASSED  \] [0-9]+ test' "$log" | tail -1 | grep -oE '[0-9]+' | head -1)
  failed=$(grep -E '^\[  FAILED  \] [0-9]+ test' "$log" | tail -1 | grep -oE '[0-9]+' | head -1)
  passed=${passed:-0}
  failed=${failed:-0}
  if [ "$rc" -ne 0 ] && [ "$failed" -eq 0 ]; then failed=1; fi
  if ! grep -qE '^\[==========\] [0-9]+ tests? from .* ran' "$log" && [ "$failed" -eq 0 ]; then failed=1; fi
  _count "$suite" "$passed" "$failed"
  [ "$failed" -eq 0 ] || { _gtest_failures "$log"; echo "    --- $log (tail) ---"; tail -n 30 "$log" | sed 's/^/    /'; }
}

# The failure messages of a GoogleTest log, each up to the end of its test (60 lines at most):
# the tail alone may show only the tests that ran after the one that failed.
_gtest_failures() {
  grep -q ': Failure$' "$1" || return 0
  echo "    --- $1 (failures) ---"
  awk '/: Failure$/ { on = 1 } on { print } /^\[  FAILED  \] / { on = 0 }' "$1" | head -n 60 | sed 's/^/    /'
}

# run_counted SUITE COMMAND...: a program that prints its own "N passed, N failed" line
# (script tests). A missing line counts as one failure: Wine's cscript exits 0 on errors.
run_counted() {
  local suite=$1; shift
  local log rc line
  log=$(_log_for "$suite")
  "$@" >"$log" 2>&1
  rc=$?
  line=$(grep -aE '[0-9]+ passed, [0-9]+ failed' "$log" | tail -1)
  local passed failed
  passed=$(echo "$line" | grep -oE '[0-9]+ passed' | grep -oE '[0-9]+')
  failed=$(echo "$line" | grep -oE '[0-9]+ failed' | grep -oE '[0-9]+')
  if [ -z "$line" ]; then passed=0; failed=1; fi
  if [ "$rc" -ne 0 ] && [ "${failed:-0}" -eq 0 ]; then failed=1; fi
  _count "$suite" "${passed:-0}" "${failed:-0}"
  [ "$failed" -eq 0 ] || { echo "    --- $log (tail) ---"; tail -n 30 "$log" | sed 's/^/    /'; }
}

# run_check SUITE COMMAND...: one test that passes when the command exits 0; returns its
# outcome. The command runs in this shell: what it sets stays set.
run_check() {
  local suite=$1; shift
  local log
  log=$(_log_for "$suite")
  if "$@" >"$log" 2>&1; then _count "$suite" 1 0; else
    _count "$suite" 0 1
    echo "    --- $log (tail) ---"; tail -n 30 "$log" | sed 's/^/    /'
    return 1
  fi
}

# run_skipped SUITE REASON: a suite that cannot run on this machine. It counts as skipped,
# never as passed; the summary names it under its reason.
run_skipped() {
  local suite=$1 reason=$2 known
  total_skipped=$((total_skipped + 1))
  skipped_suites+=("$reason"$'\t'"$suite")
  printf '  %-44s skipped\n' "$suite"
  for known in "${skip_reasons[@]}"; do [ "$known" = "$reason" ] && return 0; done
  skip_reasons+=("$reason")
}

# The skipped suites of one reason, joined by ", ".
_skipped_for() {
  local entry names=""
  for entry in "${skipped_suites[@]}"; do
    [ "${entry%%$'\t'*}" = "$1" ] && names+="${names:+, }${entry#*$'\t'}"
  done
  echo "$names"
}

summary() {
  if [ ${#failed_suites[@]} -gt 0 ]; then
    echo "failed suites: ${failed_suites[*]}"
  fi
  local reason
  for reason in "${skip_reasons[@]}"; do
    echo "skipped suites ($reason): $(_skipped_for "$reason")"
  done
  if [ "$total_skipped" -gt 0 ]; then
    echo "$total_passed passed, $total_failed failed, $total_skipped skipped"
  else
    echo "$total_passed passed, $total_failed failed"
  fi
  [ "$total_failed" -eq 0 ]
}
