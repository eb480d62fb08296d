# vSphere simulators for tests, the demo and the benchmark: each listens on a free loopback port and is
# stopped by its process id on every exit path. Source it (BRENNOW_ROOT set), then:
#   sim_start NAME [vsphere-sim options...]   starts one, exports SIM_URL_<NAME> (e.g. https://127.0.0.1:40123/sdk)
#   sim_stop_all                              stops every one started here and removes what they left
# BRENNOW_SIM_CPUS (a taskset CPU list) places the simulators on those processors (the benchmark).
# shellcheck shell=bash

: "${BRENNOW_SIM_START_SECONDS:=180}" # ten thousand machines take 30-60 s on a busy machine
_sim_pids=()
_sim_outs=()
_sim_trapped=

# The stop joins whatever EXIT trap the caller already has, so that a later Ctrl-C or failure still
# stops the simulators.
_sim_install_trap() {
  [ -n "$_sim_trapped" ] && return
  _sim_trapped=1
  local previous
  previous=$(trap -p EXIT | sed -e "s/^trap -- '//" -e "s/' EXIT$//")
  # shellcheck disable=SC2064
  trap "sim_stop_all; $previous" EXIT
  [ -n "$(trap -p INT)" ] || trap 'exit 130' INT
  [ -n "$(trap -p TERM)" ] || trap 'exit 143' TERM
}

sim_start() {
  local name=$1
  shift
  local program="$BRENNOW_ROOT/build/sim/vsphere-sim"
  [ -x "$program" ] || { echo "vsphere-sim.sh: $program is not built (scripts/build sim)" >&2; return 1; }
  case " $* " in *" -listen "*) echo "vsphere-sim.sh: simulators listen on loopback only" >&2; return 1 ;; esac
  _sim_install_trap
  local out
  out=$(mktemp "${TMPDIR:-/tmp}/vsphere-sim-url.XXXXXX")
  local place=()
  [ -n "${BRENNOW_SIM_CPUS:-}" ] && place=(taskset -c "$BRENNOW_SIM_CPUS")
  "${place[@]}" "$program" -listen 127.0.0.1:0 "$@" >"$out" 2>"$out.err" &
  local pid=$!
  _sim_pids+=("$pid")
  _sim_outs+=("$out")
  local url="" waited=0
  while [ "$waited" -lt $((BRENNOW_SIM_START_SECONDS * 10)) ]; do
    url=$(head -n 1 "$out")
    case "$url" in http://* | https://*) break ;; esac
    url=""
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
    waited=$((waited + 1))
  done
  if [ -z "$url" ]; then
    echo "vsphere-sim.sh: simulator $name did not start: $(head -c 500 "$out.err")" >&2
    return 1
  fi
  export "SIM_URL_$name=$url"
}

# Stops by process id: SIGTERM, a bounded wait, then SIGKILL; a killed simulator cannot remove its
# temporary folder (named after its pid), so that is removed here.
sim_stop_all() {
  local pid i
  for pid in "${_sim_pids[@]}"; do
    kill -TERM "$pid" 2>/dev/null || true
  done
  for pid in "${_sim_pids[@]}"; do
    for i in $(seq 1 50); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    rm -rf /dev/shm/vsphere-sim-"$pid"-* "${TMPDIR:-/tmp}"/vsphere-sim-"$pid"-*
  done
  for i in "${_sim_outs[@]}"; do
    rm -f "$i" "$i.err"
  done
  _sim_pids=()
  _sim_outs=()
}

# sim_sessions URL: the number of live sessions on the simulator at URL.
sim_sessions() {
  curl -sk --max-time 10 "${1%/sdk}/brennow/sessions"
}
