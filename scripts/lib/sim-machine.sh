# Sourced by scripts that run devicedetect-host against a simulated machine.
#   sim_machine_start BIN_DIR [ARGS...]
#                               makes a private sandbox, points the module at it
#                               and starts BIN_DIR/phonesim machine (with ARGS)
#   free_loopback_port tcp|udp  prints a port that is free on 127.0.0.1
#   sim CMD...                  sends one command to the simulated machine
#   sim_machine_stop            ends the machine and removes the sandbox
# Everything lives in one temporary folder; the adb program may never start a
# server of its own, so adb goes to the simulator only.

sim_machine_start() {
  local bin=$1
  shift
  sandbox=$(mktemp -d "${TMPDIR:-/tmp}/devicedetect-sim.XXXXXX")
  mkdir -p "$sandbox"/{sys,dev,lock,data,config,home}
  export DEVICEDETECT_SYSFS_ROOT=$sandbox/sys DEVICEDETECT_DEV_ROOT=$sandbox/dev
  export DEVICEDETECT_LOCK_DIR=$sandbox/lock XDG_DATA_HOME=$sandbox/data
  export XDG_CONFIG_HOME=$sandbox/config HOME=$sandbox/home
  export DEVICEDETECT_LOG_FILE=$sandbox/DeviceDetect.log
  cat >"$sandbox/adb" <<'SH'
#!/bin/sh
for word in "$@"; do case "$word" in start-server|fork-server) exit 1;; esac; done
exec adb "$@"
SH
  chmod +x "$sandbox/adb"
  export DEVICEDETECT_ADB=$sandbox/adb
  mkfifo "$sandbox/sim.in"
  "$bin/phonesim" machine --sysfs "$sandbox/sys" --dev "$sandbox/dev" \
    --port-file "$sandbox/adb.port" "$@" <"$sandbox/sim.in" >"$sandbox/sim.out" 2>&1 &
  SIM_PID=$!
  exec 3>"$sandbox/sim.in"
  for _ in $(seq 200); do [[ -s "$sandbox/adb.port" ]] && break; sleep 0.05; done
  [[ -s "$sandbox/adb.port" ]] || { echo "phonesim machine did not start" >&2; return 1; }
  export ANDROID_ADB_SERVER_PORT=$(cat "$sandbox/adb.port")
}

sim() { echo "$*" >&3; }

free_loopback_port() {
  python3 -c '
import socket, sys
kind = socket.SOCK_DGRAM if sys.argv[1] == "udp" else socket.SOCK_STREAM
with socket.socket(socket.AF_INET, kind) as s:
    s.bind(("127.0.0.1", 0))
    print(s.getsockname()[1])' "$1"
}

sim_machine_stop() {
  if [[ -n "${SIM_PID:-}" ]]; then
    sim quit 2>/dev/null || true
    exec 3>&- 2>/dev/null || true
    for _ in $(seq 40); do kill -0 "$SIM_PID" 2>/dev/null || break; sleep 0.05; done
    kill "$SIM_PID" 2>/dev/null || true
    wait "$SIM_PID" 2>/dev/null || true
    SIM_PID=
  fi
  [[ -n "${sandbox:-}" ]] && rm -rf "$sandbox"
  sandbox=
}
